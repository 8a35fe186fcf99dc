#include "pipeline/stages/Gain.h"

#include "common/Levels.h"
#include "pipeline/stages/StageShape.h"

namespace stages
{
bool isMeasured (float lufs)
{
    return lufs > (float) kNotMeasuredLufs;
}

float gainFactor (float gainDb)
{
    return juce::Decibels::decibelsToGain (gainDb, minusInfinityDb);
}

GainSetting gainSettingFor (float gainDb)
{
    return { gainDb, gainFactor (gainDb) };
}

void applyGain (juce::AudioBuffer<float>& buffer, const std::optional<GainSetting>& setting)
{
    if (! setting)
        return;
    Gain gain (setting->factor);
    processWholeBuffer (gain, buffer);
}
} // namespace stages
