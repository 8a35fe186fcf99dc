#pragma once

#include <juce_core/juce_core.h>

#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
 #include <emmintrin.h>
#endif

namespace tessaloom
{

// How JUCE's writer puts a float sample into an integer file: the sample as a
// double, clipped to [-1, 1] and rounded (to the nearest, ties to even) onto 32
// bits; a file of fewer bits keeps the top ones. The writer's own loop does this
// one sample at a time through a double; here it is also four at a time, with
// the same operations, so that a file is written for a fraction of the cost and
// its bytes stay what JUCE writes.
namespace pcm_rounding
{
constexpr int kHighest = std::numeric_limits<int>::max(), kLowest = std::numeric_limits<int>::min();

inline int toPcm32 (float sample) noexcept
{
    const double s = sample;
    return s <= -1.0 ? kLowest : s >= 1.0 ? kHighest : juce::roundToInt (kHighest * s);
}

#if defined(__SSE2__)
// Four samples; the rounding conversion is the one the magic-number rounding of
// juce::roundToInt gives in the default mode. Not a number gives what the
// processor gives, not what JUCE's gives: see allFinite.
inline __m128i toPcm32 (__m128 x) noexcept
{
    const __m128d highest = _mm_set1_pd ((double) kHighest);
    const __m128i low = _mm_cvtpd_epi32 (_mm_mul_pd (_mm_cvtps_pd (x), highest));
    const __m128i high = _mm_cvtpd_epi32 (_mm_mul_pd (_mm_cvtps_pd (_mm_movehl_ps (x, x)), highest));
    const __m128i above = _mm_castps_si128 (_mm_cmpge_ps (x, _mm_set1_ps (1.0f)));
    const __m128i below = _mm_castps_si128 (_mm_cmple_ps (x, _mm_set1_ps (-1.0f)));
    const __m128i inside = _mm_andnot_si128 (_mm_or_si128 (above, below), _mm_unpacklo_epi64 (low, high));
    return _mm_or_si128 (inside, _mm_or_si128 (_mm_and_si128 (above, _mm_set1_epi32 (kHighest)),
                                               _mm_and_si128 (below, _mm_set1_epi32 (kLowest))));
}

// Ors into `notFinite` a mark for each lane that is not a number or infinite.
inline __m128 markNotFinite (__m128 notFinite, __m128 x) noexcept
{
    const __m128 difference = _mm_sub_ps (x, x); // not a number for not a number and the infinities
    return _mm_or_ps (notFinite, _mm_cmpunord_ps (difference, difference));
}

inline bool anyMarked (__m128 notFinite) noexcept { return _mm_movemask_ps (notFinite) != 0; }
#endif

// JUCE's conversion of numSamples samples; false when one was not finite, in
// which case `pcm` holds what JUCE's own loop gives for them all.
inline bool toPcm32 (const float* samples, int* pcm, int numSamples) noexcept
{
    int i = 0;
#if defined(__SSE2__)
    __m128 notFinite = _mm_setzero_ps();
    for (; i + 4 <= numSamples; i += 4)
    {
        const __m128 x = _mm_loadu_ps (samples + i);
        notFinite = markNotFinite (notFinite, x);
        _mm_storeu_si128 (reinterpret_cast<__m128i*> (pcm + i), toPcm32 (x));
    }
    if (anyMarked (notFinite))
    {
        for (int k = 0; k < numSamples; ++k)
            pcm[k] = toPcm32 (samples[k]);
        return false;
    }
#endif
    bool finite = true;
    for (; i < numSamples; ++i)
    {
        finite = finite && std::isfinite (samples[i]);
        pcm[i] = toPcm32 (samples[i]);
    }
    return finite;
}
} // namespace pcm_rounding

} // namespace tessaloom
