#include "pipeline/stages/PreGain.h"

namespace tessaloom
{

namespace stages
{
std::optional<float> preGainDb (float targetLufs, float measuredLufs, bool bypassed)
{
    if (! isMeasured (measuredLufs) || bypassed)
        return std::nullopt;

    // Boosts are capped so a near-silent file is not blown up before the
    // dynamics stages; a file louder than the target comes down all the way.
    return juce::jmin (maxPreGainBoostDb, targetLufs - measuredLufs);
}

std::optional<GainSetting> designPreGain (const PreGainParameters& parameters)
{
    if (const auto gainDb = preGainDb (parameters.targetLufs, parameters.measuredLufs, parameters.bypassed))
        return gainSettingFor (*gainDb);
    return std::nullopt;
}
} // namespace stages

} // namespace tessaloom
