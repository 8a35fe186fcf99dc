#include "pipeline/SampleChecks.h"

#include "common/Levels.h"
#include "pipeline/GainRules.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace
{
// An IEEE single is NaN or infinite exactly when all its exponent bits are set.
// Testing the bits keeps the loop branch-free, so it vectorises; it does not
// depend on the compiler honouring std::isfinite.
constexpr std::uint32_t exponentMask = 0x7f800000u;

std::int64_t countNonFiniteIn (const float* samples, int numSamples) noexcept
{
    std::int64_t count = 0;
    for (int i = 0; i < numSamples; ++i)
    {
        std::uint32_t bits;
        std::memcpy (&bits, samples + i, sizeof bits);
        count += (bits & exponentMask) == exponentMask ? 1 : 0;
    }
    return count;
}
} // namespace

int sample_checks::countNonFinite (const juce::AudioBuffer<float>& buffer)
{
    std::int64_t count = 0;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        count += countNonFiniteIn (buffer.getReadPointer (c), buffer.getNumSamples());

    // Several channels of 2^31 - 1 samples can hold more bad samples than an int
    // counts; saturate rather than wrap, since a wrap could reach 0 and pass.
    return (int) juce::jmin (count, (std::int64_t) std::numeric_limits<int>::max());
}

float sample_checks::peakLevelDbfs (const juce::AudioBuffer<float>& buffer)
{
    if (buffer.getNumChannels() == 0)
        return (float) kNoLevelDb;

    float peak = 0.0f;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
    {
        const auto range = juce::FloatVectorOperations::findMinAndMax (buffer.getReadPointer (c),
                                                                       buffer.getNumSamples());
        peak = juce::jmax (peak, std::abs (range.getStart()), std::abs (range.getEnd()));
    }

    if (! (peak > kSilenceAmplitudeF))
        return (float) kNoLevelDb;

    return juce::jmax (20.0f * std::log10 (peak), GainRules::minusInfinityDb);
}
