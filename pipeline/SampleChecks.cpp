#include "pipeline/SampleChecks.h"

#include "common/Levels.h"
#include "dsp/JuceArithmetic.h"
#include "pipeline/stages/Gain.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace tessaloom
{

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

// Every step's output is checked, so the two figures come from one read. Over
// finite samples the largest |sample| is exactly max (|min|, |max|); a block
// that holds a NaN or an infinity takes its peak from peakMagnitude, so such a
// block reads as it always has.
void sample_checks::countAndPeak (const float* samples, int numSamples, std::int64_t& nonFinite, float& peak)
{
    std::int64_t count = 0;
    float blockPeak = 0.0f;
    int i = 0;
   #if TESSALOOM_SSE2
    {
        const __m128i exponent = _mm_set1_epi32 ((int) exponentMask);
        const __m128 magnitude = _mm_castsi128_ps (_mm_set1_epi32 (0x7fffffff));
        // Each lane counts down by one per bad sample; a run of up to 2^31 - 1
        // samples puts at most 2^29 in a lane, so the lanes never wrap.
        // Four sets of lanes, so that each maximum does not wait on the one
        // before: the largest of finite samples is the same in any order, and a
        // block with a bad sample takes its peak again below.
        __m128 highest[4] = { _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps() };
        __m128i bad[4] = { _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128() };
        const auto take = [&] (int set, const float* at)
        {
            const __m128 x = _mm_loadu_ps (at);
            const __m128i bits = _mm_and_si128 (_mm_castps_si128 (x), exponent);
            bad[set] = _mm_add_epi32 (bad[set], _mm_cmpeq_epi32 (bits, exponent));
            highest[set] = _mm_max_ps (highest[set], _mm_and_ps (x, magnitude));
        };
        for (; i + 16 <= numSamples; i += 16)
            for (int set = 0; set < 4; ++set)
                take (set, samples + i + 4 * set);
        for (; i + 4 <= numSamples; i += 4)
            take (0, samples + i);
        for (int set = 1; set < 4; ++set)
        {
            bad[0] = _mm_add_epi32 (bad[0], bad[set]);
            highest[0] = _mm_max_ps (highest[0], highest[set]);
        }
        alignas (16) std::int32_t counts[4];
        alignas (16) float peaks[4];
        _mm_store_si128 (reinterpret_cast<__m128i*> (counts), bad[0]);
        _mm_store_ps (peaks, highest[0]);
        for (int lane = 0; lane < 4; ++lane)
        {
            count -= counts[lane];
            blockPeak = juce::jmax (blockPeak, peaks[lane]);
        }
    }
   #endif
    for (; i < numSamples; ++i)
    {
        std::uint32_t bits;
        std::memcpy (&bits, samples + i, sizeof bits);
        count += (bits & exponentMask) == exponentMask ? 1 : 0;
        blockPeak = juce::jmax (blockPeak, std::abs (samples[i]));
    }

    if (count > 0)
        blockPeak = peakMagnitude (samples, numSamples);
    nonFinite += count;
    peak = juce::jmax (peak, blockPeak);
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

} // namespace tessaloom
