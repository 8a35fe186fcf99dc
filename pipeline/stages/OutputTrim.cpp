#include "pipeline/stages/OutputTrim.h"

#include "pipeline/GainRules.h"

namespace stages
{
std::optional<GainSetting> designOutputTrim (const OutputTrimParameters& parameters)
{
    const auto factor = GainRules::outputTrimGain (parameters.samplePeak);
    if (! factor)
        return std::nullopt;
    return GainSetting { juce::Decibels::gainToDecibels (*factor, GainRules::minusInfinityDb), *factor };
}
} // namespace stages
