#include "pipeline/stages/Gain.h"

#include "pipeline/GainRules.h"
#include "pipeline/stages/StageShape.h"

namespace stages
{
GainSetting gainSettingFor (float gainDb)
{
    return { gainDb, GainRules::gainFactor (gainDb) };
}

void applyGain (juce::AudioBuffer<float>& buffer, const std::optional<GainSetting>& setting)
{
    if (! setting)
        return;
    Gain gain (setting->factor);
    processWholeBuffer (gain, buffer);
}
} // namespace stages
