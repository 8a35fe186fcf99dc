#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// The de-esser: its threshold follows the target and the sibilance the
// analysis found, re-referenced to the level after pre-gain.

namespace steps
{
namespace
{
Designed<DeEsserSettings> design (const Context& c, bool)
{
    const auto d = stages::designDeEsser ({ AutoMap::deEsserThreshold (c.config.targetLufs, c.beforePreGain.result) },
                                          c.sampleRate);
    return { linesFor (stages::DeEsserReport { d.thresholdDb }),
             pass::holding (std::make_shared<stages::DeEsser> (d, c.numChannels)), { d.thresholdDb } };
}
} // namespace

// clang-format off
const Shaping deEsser {
    { "Stage 1.7: Dynamic De-esser", Header::always, 2, WhenBypassed::skip, Switch::none, "De-esser", "De-esser" },
    designAndRecord<&ChainSettings::deEsser, design> };
// clang-format on

juce::StringArray linesFor (const stages::DeEsserReport& r)
{
    return { "[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=" + juce::String (r.thresholdDb, 1)
             + "dB)" };
}

void DeEsserSettings::addKeys (ReportKeys& keys) const
{
    keys.number ("deEsserThresholdDbfs", thresholdDbfs);
}
} // namespace steps

} // namespace tessaloom
