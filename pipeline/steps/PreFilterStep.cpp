#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// The pre-filter's log lines. The driver runs it before the noise reducer,
// outside the chain's table, so it has no row or settings record of its own.

namespace steps
{
juce::StringArray linesFor (const stages::PreFilterReport& r)
{
    juce::StringArray lines { "[AudioPipeline/PreFilter] Applied HPF at " + juce::String (juce::roundToInt (r.highPassHz))
                              + "Hz" };
    if (! r.notchedHz.empty())
    {
        juce::StringArray at;
        for (const float hz : r.notchedHz)
            at.add (juce::String (hz, 2));
        lines.add ("[AudioPipeline/PreFilter] Applied Mains Hum Notches at " + at.joinIntoString ("/") + "Hz (Measured)");
    }
    else if (r.humNotched)
        lines.add ("[AudioPipeline/PreFilter] Applied 50/100/150Hz Grid Hum Eradication (Gated)");
    return lines;
}
} // namespace steps

} // namespace tessaloom
