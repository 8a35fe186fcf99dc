#include "pipeline/stages/Gain.h"

#include "common/Levels.h"

namespace tessaloom
{

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
} // namespace stages

} // namespace tessaloom
