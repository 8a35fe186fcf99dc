#include "pipeline/stages/NormalizationGain.h"

#include "pipeline/GainRules.h"

namespace stages
{
std::optional<GainSetting> designNormalizationGain (const NormalizationParameters& parameters)
{
    if (const auto gainDb = GainRules::normalizationDb (parameters.targetLufs, parameters.measuredLufs,
                                                        parameters.bypassed))
        return gainSettingFor (*gainDb);
    return std::nullopt;
}
} // namespace stages
