#include "pipeline/GainRules.h"

#include "common/Levels.h"

#include <juce_audio_basics/juce_audio_basics.h>

bool GainRules::isMeasured (float lufs)
{
    return lufs > (float) kNotMeasuredLufs;
}

float GainRules::gainFactor (float gainDb)
{
    return juce::Decibels::decibelsToGain (gainDb, minusInfinityDb);
}

std::optional<float> GainRules::preGainDb (float targetLufs, float measuredLufs, bool bypassed)
{
    if (! isMeasured (measuredLufs) || bypassed)
        return std::nullopt;

    // Boosts are capped so a near-silent file is not blown up before the
    // dynamics stages; a file louder than the target comes down all the way.
    return juce::jmin (maxPreGainBoostDb, targetLufs - measuredLufs);
}

std::optional<float> GainRules::normalizationDb (float targetLufs, float measuredLufs, bool bypassed)
{
    if (! isMeasured (measuredLufs) || bypassed)
        return std::nullopt;

    // No limit either way: the limiter that follows catches what a large boost raises.
    return targetLufs - measuredLufs;
}

std::optional<float> GainRules::outputTrimGain (float samplePeak)
{
    if (! (samplePeak > outputTrimFloor))
        return std::nullopt;
    return outputPeakTarget / samplePeak;
}
