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

NormalizationReport applyNormalizationGain (juce::AudioBuffer<float>& buffer,
                                            const NormalizationParameters& parameters)
{
    const auto setting = designNormalizationGain (parameters);
    applyGain (buffer, setting);
    return { parameters.measuredLufs, parameters.targetLufs, setting };
}
} // namespace stages
