#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// The downward expander: its threshold is the mapping's, re-referenced to the
// level after pre-gain (kept at its base when pre-gain is bypassed). No bypass
// number reaches it.

namespace steps
{
namespace
{
Designed<ExpanderSettings> design (const Context& c, bool)
{
    const float threshold = AutoMap::expanderThreshold (c.config.targetLufs, c.beforePreGain.result,
                                                        c.params.expanderThresholdDb, bypassed (preGain.row, c.config));
    const auto d = stages::designExpander ({ threshold }, c.sampleRate);
    return { linesFor (stages::ExpanderReport { d.thresholdDb, d.ratio }),
             pass::holding (std::make_shared<stages::Expander> (d, c.numChannels)), { d.thresholdDb, d.ratio } };
}
} // namespace

// clang-format off
const Shaping expander {
    { "Stage 1.8: Downward Expander", Header::always, 0, WhenBypassed::skip, Switch::none, "Expander", "Expander" },
    designAndRecord<&ChainSettings::expander, design> };
// clang-format on

juce::StringArray linesFor (const stages::ExpanderReport& r)
{
    return { "[AudioPipeline/Expander] Applied Downward Expander (Threshold=" + juce::String (r.thresholdDb, 1)
             + "dB, Ratio=" + juce::String (juce::roundToInt (r.ratio)) + ":1)" };
}

void ExpanderSettings::addKeys (ReportKeys& keys) const
{
    keys.number ("expanderThresholdDbfs", thresholdDbfs).number ("expanderRatio", ratio);
}
} // namespace steps

} // namespace tessaloom
