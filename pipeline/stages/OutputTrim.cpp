#include "pipeline/stages/OutputTrim.h"

namespace tessaloom
{

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
} // namespace stages

} // namespace tessaloom
