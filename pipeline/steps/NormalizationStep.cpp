#include "pipeline/StageLog.h"
#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// Normalization: the gain that brings the shaped file onto the target, from
// its loudness measured over the whole of it (so in a pass of its own).

namespace steps
{
// clang-format off
const Row normalization {
    "Stage 5: Broadcast Normalization (Target: {target} LUFS)", Header::always, 6, WhenBypassed::measureOnly,
    Switch::none, "Final Normalization", "Final Normalization" };
// clang-format on

NormalizationDesign designNormalization (const Context& c, const Analysis& shaped)
{
    NormalizationDesign d;
    d.parameters = { c.config.targetLufs, (float) shaped.result.integratedLUFS, bypassed (normalization, c.config) };
    d.gain = stages::designNormalizationGain (d.parameters);
    d.settings.measuredLufs = d.parameters.measuredLufs;
    if (d.gain)
        d.settings.gainDb = d.gain->gainDb;
    d.lines = analysisLines (shaped);
    d.lines.addArray (linesFor (stages::NormalizationReport { d.parameters.measuredLufs, d.parameters.targetLufs, d.gain }));
    return d;
}

juce::StringArray linesFor (const stages::NormalizationReport& r)
{
    if (! r.applied)
        return {};
    return { "[AudioPipeline/Normalization] Current LUFS: " + juce::String (r.measuredLufs, 1) + " -> Target: "
                 + juce::String (r.targetLufs, 1) + " (Final tweak: " + juce::String (r.applied->gainDb, 1) + "dB)",
             stage_log::makeupGainLine (*r.applied) };
}

void NormalizationSettings::addKeys (ReportKeys& keys, bool chainRan) const
{
    keys.number ("normalizationMeasuredLufs", chainRan ? std::optional<double> (measuredLufs) : std::nullopt)
        .number ("normalizationGainDb", gainDb);
}
} // namespace steps

} // namespace tessaloom
