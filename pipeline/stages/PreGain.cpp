#include "pipeline/stages/PreGain.h"

#include "pipeline/GainRules.h"

namespace stages
{
std::optional<GainSetting> designPreGain (const PreGainParameters& parameters)
{
    if (const auto gainDb = GainRules::preGainDb (parameters.targetLufs, parameters.measuredLufs, parameters.bypassed))
        return gainSettingFor (*gainDb);
    return std::nullopt;
}
} // namespace stages
