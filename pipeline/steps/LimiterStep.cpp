#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// The peak limiter and the output trim after it (one bypass number for both):
// the trim is set from the peak the limiter left, measured in a pass of its own.

namespace steps
{
// clang-format off
const Row limiter {
    "Stage 6: True Peak Limiter", Header::always, 7, WhenBypassed::skip,
    Switch::none, "Limiter", "Limiter & Output Trim" };
// clang-format on

TrimDesign designTrim (float peakAfterLimiter)
{
    const float ceilingDb = stages::LimiterParameters().ceilingDb;
    TrimDesign d;
    d.trim = stages::designOutputTrim ({ peakAfterLimiter });
    d.settings.ceilingDbfs = ceilingDb;
    if (d.trim)
        d.settings.trimDb = d.trim->gainDb;
    d.lines = linesFor (stages::LimiterReport { ceilingDb });
    d.lines.addArray (linesFor (stages::OutputTrimReport { d.trim }));
    return d;
}

juce::StringArray linesFor (const stages::LimiterReport& r)
{
    return { "[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling=" + juce::String (r.ceilingDb, 1) + " dBTP)" };
}

juce::StringArray linesFor (const stages::OutputTrimReport& r)
{
    if (! r.applied)
        return {};
    return { "[AudioPipeline/OutputTrim] Dropped overall gain by " + juce::String (r.applied->gainDb, 2)
             + "dB to hit exact -5.5dB peak." };
}

void LimiterSettings::addKeys (ReportKeys& keys) const
{
    keys.number ("limiterCeilingDbfs", ceilingDbfs).number ("outputTrimDb", trimDb);
}
} // namespace steps

} // namespace tessaloom
