#include "pipeline/StageLog.h"
#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// Pre-gain: brings the working file's loudness to the target before the
// dynamics, from the analysis of the denoised file (measured, and logged, even
// when bypassed).

namespace steps
{
namespace
{
Designed<PreGainSettings> design (const Context& c, bool isBypassed)
{
    const stages::PreGainParameters p { c.config.targetLufs, (float) c.beforePreGain.result.integratedLUFS, isBypassed };
    const auto setting = stages::designPreGain (p);
    auto lines = analysisLines (c.beforePreGain);
    lines.addArray (linesFor (stages::PreGainReport { p.measuredLufs, setting }));
    if (! setting)
        return { lines, {}, {} };
    return { lines, pass::holding (std::make_shared<stages::Gain> (setting->factor)), { setting->gainDb } };
}
} // namespace

// clang-format off
const Shaping preGain {
    { "Stage 1.6: Pre-Gain Leveling (Target: {target} LUFS)", Header::always, 1, WhenBypassed::measureOnly, Switch::none,
      "PreGain", "PreGain" },
    designAndRecord<&ChainSettings::preGain, design> };
// clang-format on

juce::StringArray linesFor (const stages::PreGainReport& r)
{
    if (! r.applied)
        return {};
    return { "[AudioPipeline/PreGain] Input LUFS: " + juce::String (r.measuredLufs, 1) + " -> Applying "
                 + juce::String (r.applied->gainDb, 1) + "dB",
             stage_log::makeupGainLine (*r.applied) };
}

void PreGainSettings::addKeys (ReportKeys& keys) const
{
    keys.number ("preGainDb", gainDb);
}
} // namespace steps

} // namespace tessaloom
