#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <optional>

namespace tessaloom
{

// A constant gain: the processor the three level stages (pre-gain,
// normalization gain, output trim) share. It does what
// juce::AudioBuffer::applyGain does: a factor of exactly 1 leaves the samples
// alone, 0 clears them, anything else multiplies.
namespace stages
{
// Gains in dB and their printouts bottom out here (JUCE's minus infinity).
constexpr float minusInfinityDb = -100.0f;

// true when a loudness counts as measured (above -140 LUFS).
bool isMeasured (float lufs);

// The linear factor of a gain in dB: 10^(dB/20), or 0 at -100 dB and below.
float gainFactor (float gainDb);

// A gain in dB and the linear factor it is applied as.
struct GainSetting
{
    float gainDb = 0.0f;
    float factor = 1.0f;
};

// The factor of a gain in dB: 10^(dB/20), or 0 at -100 dB and below.
GainSetting gainSettingFor (float gainDb);

class Gain
{
public:
    explicit Gain (float factor) : gain (factor) {}

    void processChannel (int, float* samples, int numSamples) const noexcept
    {
        jassert (numSamples >= 0 && (samples != nullptr || numSamples == 0)); // a negative length, or a length with no samples behind it
        if (numSamples <= 0 || gain == 1.0f)
            return;
        if (gain == 0.0f)
            juce::FloatVectorOperations::clear (samples, numSamples);
        else
            juce::FloatVectorOperations::multiply (samples, gain, numSamples);
    }

private:
    float gain;
};
} // namespace stages

} // namespace tessaloom
