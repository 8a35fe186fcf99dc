#include "pipeline/SampleChecks.h"

#include "common/Levels.h"
#include "pipeline/stages/Gain.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace
{
// An IEEE single is NaN or infinite exactly when all its exponent bits are set.
// Testing the bits keeps the loop branch-free, so it vectorises; it does not
// depend on the compiler honouring std::isfinite.
constexpr std::uint32_t exponentMask = 0x7f800000u;
} // namespace

std::int64_t sample_checks::countNonFinite (const float* samples, int numSamples)
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

float sample_checks::peakMagnitude (const float* samples, int numSamples)
{
    const auto range = juce::FloatVectorOperations::findMinAndMax (samples, numSamples);
    return juce::jmax (std::abs (range.getStart()), std::abs (range.getEnd()));
}

int sample_checks::saturatingCount (std::int64_t count)
{
    // Several channels of 2^31 - 1 samples can hold more bad samples than an int
    // counts; saturate rather than wrap, since a wrap could reach 0 and pass.
    return (int) juce::jmin (count, (std::int64_t) std::numeric_limits<int>::max());
}

float sample_checks::peakLevelDbfs (float peak, int numChannels)
{
    if (numChannels == 0 || ! (peak > kSilenceAmplitudeF))
        return (float) kNoLevelDb;
    return juce::jmax (20.0f * std::log10 (peak), stages::minusInfinityDb);
}
