#pragma once

// Sibilance: the RMS of the 5 to 8 kHz band over all channels, through a
// second-order high-pass and low-pass (dsp/Biquad.h's section, JUCE's
// arithmetic), as a stream that takes the recording in blocks of any length.

#include "analysis/Measurements.h"
#include "dsp/Biquad.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <vector>

namespace tessaloom
{

namespace analysis_detail
{
// The band filters of one channel.
struct SibilanceBand
{
    juce_arithmetic::Biquad highPass, lowPass;
    inline float process (float x) noexcept { return lowPass.process (highPass.process (x)); }
};

#if TESSALOOM_SSE2
// Two channels' bands in the four lanes of one register, [high-pass A,
// low-pass A, high-pass B, low-pass B], as a wavefront: at step t the
// high-pass lanes run sample t and the low-pass lanes sample t - 1, fed what
// their high-pass gave at step t - 1. Each lane does biquadStep's operations in
// its order, and each channel's sum adds its squares in sample order in its own
// double lane, so the sums are the scalar ones bit for bit. The first step of a
// run has no low-pass sample and the last no high-pass one: those lanes keep
// their state. The steps are written here, apart from the loop that drives
// them, so that another filter's loop can run them beside its own recurrence.
struct SibilancePairSteps
{
    __m128 b0, b1, b2, a1, a2, v1, v2;
    __m128 in = _mm_setzero_ps(), out = _mm_setzero_ps();
    __m128d sums;

    SibilancePairSteps (const SibilanceBand& a, double sumA, const SibilanceBand& b, double sumB) noexcept
    {
        const auto lanes = [&a, &b] (auto field)
        {
            return _mm_setr_ps (field (a.highPass), field (a.lowPass), field (b.highPass), field (b.lowPass));
        };
        b0 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.b0; });
        b1 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.b1; });
        b2 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.b2; });
        a1 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.a1; });
        a2 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.a2; });
        v1 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.v1; });
        v2 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.v2; });
        sums = _mm_setr_pd (sumA, sumB);
    }

    void store (SibilanceBand& a, double& sumA, SibilanceBand& b, double& sumB) const noexcept
    {
        alignas (16) float w1[4], w2[4];
        _mm_store_ps (w1, v1);
        _mm_store_ps (w2, v2);
        a.highPass.v1 = w1[0]; a.lowPass.v1 = w1[1]; a.highPass.v2 = w2[0]; a.lowPass.v2 = w2[1];
        b.highPass.v1 = w1[2]; b.lowPass.v1 = w1[3]; b.highPass.v2 = w2[2]; b.lowPass.v2 = w2[3];
        alignas (16) double s[2];
        _mm_store_pd (s, sums);
        sumA = s[0];
        sumB = s[1];
    }

    static __m128 highPassOnly() noexcept { return _mm_castsi128_ps (_mm_setr_epi32 (-1, 0, -1, 0)); }
    static __m128 lowPassOnly() noexcept { return _mm_castsi128_ps (_mm_setr_epi32 (0, -1, 0, -1)); }

    // The first sample of a run.
    inline void begin (float xa, float xb) noexcept { in = _mm_setr_ps (xa, 0.0f, xb, 0.0f); }

    // One step on what `in` holds; addSquares: the low-pass lanes hold a sample.
    template <bool AllLanes, bool AddSquares>
    inline void compute (__m128 active) noexcept
    {
        out = _mm_add_ps (_mm_mul_ps (in, b0), v1);
        const __m128 n1 = _mm_add_ps (_mm_sub_ps (_mm_mul_ps (in, b1), _mm_mul_ps (out, a1)), v2);
        const __m128 n2 = _mm_sub_ps (_mm_mul_ps (in, b2), _mm_mul_ps (out, a2));
        if (AllLanes)
        {
            v1 = n1;
            v2 = n2;
        }
        else
        {
            v1 = _mm_or_ps (_mm_and_ps (active, n1), _mm_andnot_ps (active, v1));
            v2 = _mm_or_ps (_mm_and_ps (active, n2), _mm_andnot_ps (active, v2));
        }
        if (AddSquares)
        {
            const __m128d y = _mm_cvtps_pd (_mm_shuffle_ps (out, out, _MM_SHUFFLE (3, 1, 3, 1)));
            sums = _mm_add_pd (sums, _mm_mul_pd (y, y));
        }
    }

    // The next samples beside what the high-pass lanes gave: [next A, high-pass A, next B, high-pass B].
    inline void next (float xa, float xb) noexcept
    {
        in = _mm_unpacklo_ps (_mm_setr_ps (xa, xb, 0.0f, 0.0f), _mm_shuffle_ps (out, out, _MM_SHUFFLE (2, 0, 2, 0)));
    }

    // Steps of a run of n >= 1 samples: after begin (sample 0), stepFirst
    // (sample 1), step (samples 2 to n - 1), end (n).
    inline void stepFirst (float xa, float xb) noexcept { compute<false, false> (highPassOnly()); next (xa, xb); }
    inline void step (float xa, float xb) noexcept { compute<true, true> (_mm_setzero_ps()); next (xa, xb); }
    inline void end (int n) noexcept
    {
        if (n == 1)
            compute<false, false> (highPassOnly());
        else
            compute<true, true> (_mm_setzero_ps());
        next (0.0f, 0.0f);
        compute<false, true> (lowPassOnly());
    }
};
#endif

// The band's sum of squares, each channel's in sample order and the channels'
// sums added in channel order at the end; 0 and -144 below a 17 kHz sample
// rate. Reads only its own state and the block, so other streams may run
// beside it on the same block.
class SibilanceStream
{
public:
    SibilanceStream (int numChannels, double sampleRate);
    ~SibilanceStream();

    void add (const float* const* channels, int numFrames);
    // Adds channel c only; the channels are independent until finish.
    void addChannel (int c, const float* samples, int numFrames);
    void countFrames (int numFrames) noexcept { frames += numFrames; }
    SibilanceMeasurement finish() const;

    bool isMeasurable() const noexcept { return measurable; }
   #if TESSALOOM_SSE2
    // The steps of channels c and c + 1 (a lone last channel beside a spare
    // band fed zeros), for a loop that runs them itself; keep() puts them back.
    // Frames are counted apart (countFrames).
    SibilancePairSteps pairSteps (int c) const noexcept;
    void keep (int c, const SibilancePairSteps& steps) noexcept;
   #endif

private:
    struct Band;
    bool measurable = false;
    // One filter and running sum per channel, each in its own allocation, so
    // that channels filtered on different threads write apart.
    std::vector<std::unique_ptr<Band>> bands;
    juce::int64 frames = 0;
};
} // namespace analysis_detail

} // namespace tessaloom
