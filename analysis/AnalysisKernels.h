#pragma once

// The inner loops of the analyzer, shared by the public measurements and the
// driver's single pass over each channel. Every kernel does the arithmetic of
// the measurement's definition operation for operation, so a fused loop gives
// the same bits as the plain one. The FFT frame at the end is shared by the
// spectral tilt and the grid hum.

#include "analysis/AnalysisDetail.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
 #include <emmintrin.h>
 #define TESSALOOM_ANALYSIS_SSE 1
#else
 #define TESSALOOM_ANALYSIS_SSE 0
#endif

namespace analysis_detail::kernels
{
//==============================================================================
// K-weighting.

// The two K-weighting stages of BS.1770 at 48 kHz, as tabled in the
// recommendation (direct form I, a0 = 1).
constexpr double kShelf48k[5] = { 1.53512485958697, -2.69169618940638, 1.19839281085285,
                                  -1.69065929318241, 0.73248077421585 };
constexpr double kHighPass48k[5] = { 1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621 };

// At other rates the stages are designed with JUCE: a +4 dB shelf at 1.5 kHz
// and a 38 Hz high-pass, close to the BS.1770 curve.
constexpr float kShelfHz = 1500.0f;
constexpr float kShelfQ = 0.707f;
constexpr float kShelfGainDb = 4.0f;
constexpr float kHighPassHz = 38.0f;
constexpr float kHighPassQ = 0.5f;

inline bool usesFixedKWeighting (double sampleRate) { return std::abs (sampleRate - 48000.0) < 1.0; }

// Direct form I in double; reads float input, hands back float output, keeps
// its output history in double.
struct DirectFormOneStage
{
    double b0, b1, b2, a1, a2;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;

    explicit DirectFormOneStage (const double (&c)[5]) : b0 (c[0]), b1 (c[1]), b2 (c[2]), a1 (c[3]), a2 (c[4]) {}

    inline float process (float in) noexcept
    {
        const double x = in;
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1; x1 = x;
        y2 = y1; y1 = y;
        return (float) y;
    }
};

// The arithmetic of a second-order juce::dsp::IIR::Filter<float> (transposed
// direct form II), operation for operation, so a result equals what the JUCE
// filter gives over the same samples. The state is not snapped to zero: JUCE
// snaps only at the end of a processed block, and here a block is a whole channel.
struct JuceBiquad
{
    float b0, b1, b2, a1, a2;
    float lv1 = 0.0f, lv2 = 0.0f;

    explicit JuceBiquad (const juce::dsp::IIR::Coefficients<float>& c)
    {
        jassert (c.getFilterOrder() == 2);
        const auto* raw = c.getRawCoefficients();
        b0 = raw[0]; b1 = raw[1]; b2 = raw[2]; a1 = raw[3]; a2 = raw[4];
    }

    inline float process (float input) noexcept
    {
        const float output = (input * b0) + lv1;
        lv1 = (input * b1) - (output * a1) + lv2;
        lv2 = (input * b2) - (output * a2);
        return output;
    }
};

// Both stages run per sample: stage 2 reads the same float results of stage 1
// as it would after a whole-channel pass, so fusing them changes nothing.
template <typename Stage>
struct KWeightingPair
{
    Stage shelf, highPass;
    inline float process (float x) noexcept { return highPass.process (shelf.process (x)); }
    inline void run (const float* in, float* out, int n) noexcept
    {
        // A local copy keeps the state in registers: the output stores could
        // otherwise alias float members.
        auto local = *this;
        for (int i = 0; i < n; ++i)
            out[i] = local.process (in[i]);
        *this = local;
    }
};

using FixedKWeighting = KWeightingPair<DirectFormOneStage>;
using DesignedKWeighting = KWeightingPair<JuceBiquad>;

inline FixedKWeighting makeFixedKWeighting() { return { DirectFormOneStage (kShelf48k), DirectFormOneStage (kHighPass48k) }; }

struct BiquadPairCoefficients
{
    juce::dsp::IIR::Coefficients<float>::Ptr first, second;
};

// Allocates the two coefficient objects; called once per measurement.
inline BiquadPairCoefficients designKWeighting (double sampleRate)
{
    const float shelfGain = std::pow (10.0f, kShelfGainDb / 20.0f);
    return { juce::dsp::IIR::Coefficients<float>::makeHighShelf (sampleRate, kShelfHz, kShelfQ, shelfGain),
             juce::dsp::IIR::Coefficients<float>::makeHighPass (sampleRate, kHighPassHz, kHighPassQ) };
}

inline DesignedKWeighting makeDesignedKWeighting (const BiquadPairCoefficients& c)
{
    return { JuceBiquad (*c.first), JuceBiquad (*c.second) };
}

#if TESSALOOM_ANALYSIS_SSE
// Two channels side by side in the two lanes of one register. Every lane does
// the IEEE operations of the one-channel filter in the same order (SSE2 has no
// fused multiply-add), so each channel's output is bit for bit the same; the
// two independent recurrences cost about the time of one.
struct FixedKWeightingTwoChannels
{
    struct Stage
    {
        __m128d b0, b1, b2, a1, a2;
        __m128d x1 = _mm_setzero_pd(), x2 = _mm_setzero_pd(), y1 = _mm_setzero_pd(), y2 = _mm_setzero_pd();

        explicit Stage (const double (&c)[5])
            : b0 (_mm_set1_pd (c[0])), b1 (_mm_set1_pd (c[1])), b2 (_mm_set1_pd (c[2])), a1 (_mm_set1_pd (c[3])), a2 (_mm_set1_pd (c[4])) {}

        // b0·x + b1·x1 + b2·x2 - a1·y1 - a2·y2, left to right.
        inline __m128d process (__m128d x) noexcept
        {
            __m128d y = _mm_add_pd (_mm_mul_pd (b0, x), _mm_mul_pd (b1, x1));
            y = _mm_add_pd (y, _mm_mul_pd (b2, x2));
            y = _mm_sub_pd (y, _mm_mul_pd (a1, y1));
            y = _mm_sub_pd (y, _mm_mul_pd (a2, y2));
            x2 = x1; x1 = x;
            y2 = y1; y1 = y;
            return y;
        }
    };

    Stage shelf { kShelf48k }, highPass { kHighPass48k };

    inline void run (const float* a, const float* b, float* outA, float* outB, int n) noexcept
    {
        auto local = *this;
        for (int i = 0; i < n; ++i)
        {
            const __m128d x = _mm_cvtps_pd (_mm_setr_ps (a[i], b[i], 0.0f, 0.0f));
            // The shelf's output is rounded to float, as the high-pass reads it.
            const __m128d between = _mm_cvtps_pd (_mm_cvtpd_ps (local.shelf.process (x)));
            const __m128 y = _mm_cvtpd_ps (local.highPass.process (between));
            outA[i] = _mm_cvtss_f32 (y);
            outB[i] = _mm_cvtss_f32 (_mm_shuffle_ps (y, y, _MM_SHUFFLE (1, 1, 1, 1)));
        }
        *this = local;
    }
};

struct DesignedKWeightingTwoChannels
{
    struct Stage
    {
        __m128 b0, b1, b2, a1, a2;
        __m128 lv1 = _mm_setzero_ps(), lv2 = _mm_setzero_ps();

        explicit Stage (const juce::dsp::IIR::Coefficients<float>& c)
        {
            const auto* raw = c.getRawCoefficients();
            b0 = _mm_set1_ps (raw[0]); b1 = _mm_set1_ps (raw[1]); b2 = _mm_set1_ps (raw[2]);
            a1 = _mm_set1_ps (raw[3]); a2 = _mm_set1_ps (raw[4]);
        }

        // As JuceBiquad::process, lane by lane.
        inline __m128 process (__m128 input) noexcept
        {
            const __m128 output = _mm_add_ps (_mm_mul_ps (input, b0), lv1);
            lv1 = _mm_add_ps (_mm_sub_ps (_mm_mul_ps (input, b1), _mm_mul_ps (output, a1)), lv2);
            lv2 = _mm_sub_ps (_mm_mul_ps (input, b2), _mm_mul_ps (output, a2));
            return output;
        }
    };

    Stage shelf, highPass;

    explicit DesignedKWeightingTwoChannels (const BiquadPairCoefficients& c) : shelf (*c.first), highPass (*c.second) {}

    inline void run (const float* a, const float* b, float* outA, float* outB, int n) noexcept
    {
        auto local = *this;
        for (int i = 0; i < n; ++i)
        {
            const __m128 y = local.highPass.process (local.shelf.process (_mm_setr_ps (a[i], b[i], 0.0f, 0.0f)));
            outA[i] = _mm_cvtss_f32 (y);
            outB[i] = _mm_cvtss_f32 (_mm_shuffle_ps (y, y, _MM_SHUFFLE (1, 1, 1, 1)));
        }
        *this = local;
    }
};
#endif

//==============================================================================
// Gating blocks.

// Adds the squares of x[0..n) (squared in double) into `active` consecutive block
// sums. Each block keeps its own running sum in sample order, so a block's total
// is exactly the sum taken over the block alone; the independent sums let the
// processor overlap their additions.
template <int Active>
inline void addSquaresFixed (const float* x, int n, double* sums) noexcept
{
    double s[Active];
    for (int a = 0; a < Active; ++a)
        s[a] = sums[a];

    for (int i = 0; i < n; ++i)
    {
        const double v = x[i];
        const double sq = v * v;
        for (int a = 0; a < Active; ++a)
            s[a] += sq;
    }

    for (int a = 0; a < Active; ++a)
        sums[a] = s[a];
}

inline void addSquares (const float* x, int n, double* sums, int active) noexcept
{
    switch (active)
    {
        case 0: return;
        case 1: addSquaresFixed<1> (x, n, sums); return;
        case 2: addSquaresFixed<2> (x, n, sums); return;
        case 3: addSquaresFixed<3> (x, n, sums); return;
        case 4: addSquaresFixed<4> (x, n, sums); return;
        case 5: addSquaresFixed<5> (x, n, sums); return;
        default:
            for (int i = 0; i < n; ++i)
            {
                const double v = x[i];
                const double sq = v * v;
                for (int a = 0; a < active; ++a)
                    sums[a] += sq;
            }
            return;
    }
}

// Walks [0, end of the last block) in runs inside which the same blocks are
// open; calls fn (from, to, firstOpenBlock, openCount).
template <typename Fn>
void forEachBlockRun (const LoudnessBlocks& b, Fn&& fn)
{
    int nextStart = 0; // index of the next block to open
    int nextEnd = 0;   // index of the next block to close
    int pos = 0;
    constexpr int none = std::numeric_limits<int>::max();

    while (nextEnd < b.numBlocks)
    {
        const int startPos = nextStart < b.numBlocks ? nextStart * b.hop : none;
        const int endPos = nextEnd * b.hop + b.blockSize;
        const int next = std::min (startPos, endPos);

        if (next > pos)
            fn (pos, next, nextEnd, nextStart - nextEnd);

        pos = next;
        if (startPos == next) ++nextStart;
        if (endPos == next) ++nextEnd;
    }
}

// Adds one channel's block sums, as mean squares, into the block powers.
inline void addChannelPowers (std::vector<double>& blockPower, const std::vector<double>& channelSums, int blockSize)
{
    for (size_t k = 0; k < blockPower.size(); ++k)
        blockPower[k] += channelSums[k] / (double) blockSize;
}

//==============================================================================
// Voice-activity blocks and crest factor.

template <bool Crest>
inline void scanRun (const float* x, int n, double& blockSum, double& sumOfSquares, float& peak) noexcept
{
    // Two separate running sums, each in sample order: the block's and the
    // channel's. They are independent, so the processor overlaps them.
    double b = blockSum, s = sumOfSquares;
    float p = peak;
    for (int i = 0; i < n; ++i)
    {
        const double v = x[i];
        const double sq = v * v;
        b += sq;
        if constexpr (Crest)
        {
            s += sq;
            p = std::max (p, std::abs (x[i]));
        }
    }
    blockSum = b;
    sumOfSquares = s;
    peak = p;
}

//==============================================================================
// Sibilance band: 5 to 8 kHz, second-order high-pass and low-pass.

constexpr float kSibilanceLowHz = 5000.0f;
constexpr float kSibilanceHighHz = 8000.0f;
constexpr float kSibilanceQ = 0.707f;
constexpr double kSibilanceMinNyquist = 8500.0;
constexpr float kSibilanceEdgeMarginHz = 100.0f;

inline bool sibilanceMeasurable (double sampleRate) { return sampleRate * 0.5 >= kSibilanceMinNyquist; }

// Allocates the two coefficient objects; called once per measurement.
inline BiquadPairCoefficients designSibilanceBand (double sampleRate)
{
    const double nyquist = sampleRate * 0.5;
    const float lo = std::min ((float) nyquist - kSibilanceEdgeMarginHz, kSibilanceLowHz);
    const float hi = std::min ((float) nyquist - kSibilanceEdgeMarginHz, kSibilanceHighHz);
    return { juce::dsp::IIR::Coefficients<float>::makeHighPass (sampleRate, lo, kSibilanceQ),
             juce::dsp::IIR::Coefficients<float>::makeLowPass (sampleRate, hi, kSibilanceQ) };
}

// The band filters of one channel, fresh for every channel.
struct SibilanceBand
{
    JuceBiquad highPass, lowPass;
    explicit SibilanceBand (const BiquadPairCoefficients& c) : highPass (*c.first), lowPass (*c.second) {}
    inline float process (float x) noexcept { return lowPass.process (highPass.process (x)); }
};

//==============================================================================
// One FFT frame from the start of the file, for the spectral tilt and the grid hum.

constexpr double kNoBinDb = -120.0;              // level of a bin with no energy
// An unscaled bin magnitude at or below this holds no energy. Bins are not
// levels relative to full scale, so their floor is kNoBinDb, not kNoLevelDb.
constexpr double kEmptyBinMagnitude = 1e-10;

inline double binLevelDb (double magnitude) { return magnitude > kEmptyBinMagnitude ? 20.0 * std::log10 (magnitude) : kNoBinDb; }

// The order of the largest power-of-two frame, up to 2^maxOrder, that fits in
// numSamples; 0 for an empty buffer.
inline int frameOrder (int numSamples, int maxOrder)
{
    if (numSamples < 1)
        return 0;
    int order = 0;
    while (order < maxOrder && (2 << order) <= numSamples)
        ++order;
    return order;
}

// The magnitude spectrum (fftSize / 2 bins, unscaled) of the Hann-windowed mono
// mix of the first fftSize samples. Allocates the FFT, its 2·fftSize work array
// and the window table.
inline std::vector<float> startMagnitudes (const juce::AudioBuffer<float>& buffer, int order)
{
    const int fftSize = 1 << order;
    juce::dsp::FFT fft (order);
    std::vector<float> frame ((size_t) (2 * fftSize), 0.0f);

    const int numChannels = buffer.getNumChannels();
    for (int i = 0; i < fftSize; ++i)
    {
        float sum = 0.0f;
        for (int ch = 0; ch < numChannels; ++ch)
            sum += buffer.getSample (ch, i);
        frame[(size_t) i] = sum / (float) numChannels;
    }

    juce::dsp::WindowingFunction<float> window ((size_t) fftSize, juce::dsp::WindowingFunction<float>::hann, true);
    window.multiplyWithWindowingTable (frame.data(), (size_t) fftSize);
    fft.performRealOnlyForwardTransform (frame.data(), false);

    std::vector<float> magnitudes ((size_t) (fftSize / 2));
    for (int k = 0; k < fftSize / 2; ++k)
    {
        const float re = frame[(size_t) (2 * k)];
        const float im = frame[(size_t) (2 * k + 1)];
        magnitudes[(size_t) k] = std::sqrt (re * re + im * im);
    }
    return magnitudes;
}
} // namespace analysis_detail::kernels
