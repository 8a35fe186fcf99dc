#include "analysis/Sibilance.h"
#include "dsp/Biquad.h"

#include <algorithm>
#include <cmath>

namespace tessaloom
{

namespace
{
constexpr float kSibilanceLowHz = 5000.0f;
constexpr float kSibilanceHighHz = 8000.0f;
constexpr float kSibilanceQ = 0.707f;
constexpr double kSibilanceMinNyquist = 8500.0;
constexpr float kSibilanceEdgeMarginHz = 100.0f;

bool sibilanceMeasurable (double sampleRate) { return sampleRate * 0.5 >= kSibilanceMinNyquist; }

// The band filters of one channel, fresh for every channel.
struct SibilanceBand
{
    juce_arithmetic::Biquad highPass, lowPass;
    inline float process (float x) noexcept { return lowPass.process (highPass.process (x)); }
};

// Allocates the two coefficient objects while designing; called once per measurement.
SibilanceBand designSibilanceBand (double sampleRate)
{
    const double nyquist = sampleRate * 0.5;
    const float lo = std::min ((float) nyquist - kSibilanceEdgeMarginHz, kSibilanceLowHz);
    const float hi = std::min ((float) nyquist - kSibilanceEdgeMarginHz, kSibilanceHighHz);
    return { juce_arithmetic::Biquad (*juce::dsp::IIR::Coefficients<float>::makeHighPass (sampleRate, lo, kSibilanceQ)),
             juce_arithmetic::Biquad (*juce::dsp::IIR::Coefficients<float>::makeLowPass (sampleRate, hi, kSibilanceQ)) };
}
} // namespace

// One channel's band filters and its running sum of squares, in sample order.
struct analysis_detail::SibilanceStream::Band
{
    SibilanceBand filter;
    double sum = 0.0;
};

analysis_detail::SibilanceStream::SibilanceStream (int numChannels, double sampleRate)
    : measurable (sibilanceMeasurable (sampleRate))
{
    if (! measurable || numChannels < 1)
        return;
    const auto band = designSibilanceBand (sampleRate);
    for (int c = 0; c < numChannels; ++c)
        bands.push_back (std::make_unique<Band> (Band { band, 0.0 })); // fresh state for every channel
}

analysis_detail::SibilanceStream::~SibilanceStream() = default;

void analysis_detail::SibilanceStream::addChannel (int c, const float* x, int numFrames)
{
    if (! measurable)
        return;
    // A local copy keeps the filter state and the sum in registers.
    auto filter = bands[(size_t) c]->filter;
    double s = bands[(size_t) c]->sum;
    for (int i = 0; i < numFrames; ++i)
    {
        const double y = filter.process (x[i]);
        s += y * y;
    }
    bands[(size_t) c]->filter = filter;
    bands[(size_t) c]->sum = s;
}

#if TESSALOOM_SSE2
namespace
{
// Two channels' bands in the four lanes of one register, [high-pass A,
// low-pass A, high-pass B, low-pass B], as a wavefront: at step t the
// high-pass lanes run sample t and the low-pass lanes sample t - 1, fed what
// their high-pass gave at step t - 1. Each lane does biquadStep's operations in
// its order, and each channel's sum adds its squares in sample order in its own
// double lane, so the sums are the scalar ones bit for bit. The first step has
// no low-pass sample and the last no high-pass one: those lanes keep their state.
void addPair (SibilanceBand& a, double& sumA, SibilanceBand& b, double& sumB, const float* xa, const float* xb,
              int numFrames) noexcept
{
    const auto lanes = [&a, &b] (auto field)
    {
        return _mm_setr_ps (field (a.highPass), field (a.lowPass), field (b.highPass), field (b.lowPass));
    };
    const __m128 b0 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.b0; });
    const __m128 b1 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.b1; });
    const __m128 b2 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.b2; });
    const __m128 a1 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.a1; });
    const __m128 a2 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.section.a2; });
    __m128 v1 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.v1; });
    __m128 v2 = lanes ([] (const juce_arithmetic::Biquad& f) { return f.v2; });
    __m128d sums = _mm_setr_pd (sumA, sumB);

    const __m128 highPassOnly = _mm_castsi128_ps (_mm_setr_epi32 (-1, 0, -1, 0));
    const __m128 lowPassOnly = _mm_castsi128_ps (_mm_setr_epi32 (0, -1, 0, -1));

    __m128 in = _mm_setr_ps (xa[0], 0.0f, xb != nullptr ? xb[0] : 0.0f, 0.0f);
    const auto step = [&] (int t, const __m128* active)
    {
        const __m128 out = _mm_add_ps (_mm_mul_ps (in, b0), v1);
        const __m128 n1 = _mm_add_ps (_mm_sub_ps (_mm_mul_ps (in, b1), _mm_mul_ps (out, a1)), v2);
        const __m128 n2 = _mm_sub_ps (_mm_mul_ps (in, b2), _mm_mul_ps (out, a2));
        if (active == nullptr)
        {
            v1 = n1;
            v2 = n2;
        }
        else
        {
            v1 = _mm_or_ps (_mm_and_ps (*active, n1), _mm_andnot_ps (*active, v1));
            v2 = _mm_or_ps (_mm_and_ps (*active, n2), _mm_andnot_ps (*active, v2));
        }
        if (t >= 1)
        {
            const __m128d y = _mm_cvtps_pd (_mm_shuffle_ps (out, out, _MM_SHUFFLE (3, 1, 3, 1)));
            sums = _mm_add_pd (sums, _mm_mul_pd (y, y));
        }
        const float nextA = t + 1 < numFrames ? xa[t + 1] : 0.0f;
        const float nextB = t + 1 < numFrames && xb != nullptr ? xb[t + 1] : 0.0f;
        // [next A, high-pass A, next B, high-pass B]
        in = _mm_unpacklo_ps (_mm_setr_ps (nextA, nextB, 0.0f, 0.0f), _mm_shuffle_ps (out, out, _MM_SHUFFLE (2, 0, 2, 0)));
    };

    step (0, &highPassOnly);
    for (int t = 1; t < numFrames; ++t)
        step (t, nullptr);
    step (numFrames, &lowPassOnly);

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
} // namespace
#endif

void analysis_detail::SibilanceStream::add (const float* const* channels, int numFrames)
{
   #if TESSALOOM_SSE2
    if (measurable && numFrames > 0)
    {
        for (size_t c = 0; c < bands.size(); c += 2)
        {
            // A lone last channel shares the register with a spare band fed zeros.
            auto& first = *bands[c];
            const bool paired = c + 1 < bands.size();
            Band spare { first.filter, 0.0 };
            auto& second = paired ? *bands[c + 1] : spare;
            addPair (first.filter, first.sum, second.filter, second.sum, channels[c], paired ? channels[c + 1] : nullptr, numFrames);
        }
        countFrames (numFrames);
        return;
    }
   #endif
    for (size_t c = 0; c < bands.size(); ++c)
        addChannel ((int) c, channels[c], numFrames);
    countFrames (numFrames);
}

// The channels' sums are added in channel order at the end, so that each
// channel's sum can run on by itself from block to block.
SibilanceMeasurement analysis_detail::SibilanceStream::finish() const
{
    SibilanceMeasurement m;
    m.measurable = measurable;
    if (! measurable)
        return m;

    double sum = 0.0;
    for (const auto& b : bands)
        sum += b->sum;
    const auto count = (juce::int64) bands.size() * frames;

    if (count >= 1)
    {
        m.rmsLinear = std::sqrt (sum / (double) count);
        m.levelDbfs = levelDbfs (m.rmsLinear);
    }
    return m;
}

} // namespace tessaloom
