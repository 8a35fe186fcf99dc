#include "pipeline/stages/OutputTrim.h"

namespace stages
{
std::optional<float> outputTrimGain (float samplePeak)
{
    if (! (samplePeak > outputTrimFloor))
        return std::nullopt;
    return outputPeakTarget / samplePeak;
}

std::optional<GainSetting> designOutputTrim (const OutputTrimParameters& parameters)
{
    const auto factor = outputTrimGain (parameters.samplePeak);
    if (! factor)
        return std::nullopt;
    return GainSetting { juce::Decibels::gainToDecibels (*factor, minusInfinityDb), *factor };
}

float measureSamplePeak (const juce::AudioBuffer<float>& buffer)
{
    float peak = 0.0f;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        peak = juce::jmax (peak, buffer.getMagnitude (c, 0, buffer.getNumSamples()));
    return peak;
}

OutputTrimReport applyOutputTrim (juce::AudioBuffer<float>& buffer)
{
    const auto setting = designOutputTrim ({ measureSamplePeak (buffer) });
    applyGain (buffer, setting);
    return { setting };
}
} // namespace stages
