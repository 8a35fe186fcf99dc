#include "pipeline/stages/NormalizationGain.h"

namespace tessaloom
{

namespace stages
{
std::optional<float> normalizationDb (float targetLufs, float measuredLufs, bool bypassed)
{
    if (! isMeasured (measuredLufs) || bypassed)
        return std::nullopt;

    // No limit either way: the limiter that follows catches what a large boost raises.
    return targetLufs - measuredLufs;
}

std::optional<GainSetting> designNormalizationGain (const NormalizationParameters& parameters)
{
    if (const auto gainDb = normalizationDb (parameters.targetLufs, parameters.measuredLufs, parameters.bypassed))
        return gainSettingFor (*gainDb);
    return std::nullopt;
}
} // namespace stages

} // namespace tessaloom
