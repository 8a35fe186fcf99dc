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

using analysis_detail::SibilanceBand;

// Allocates the two coefficient objects while designing; called once per
// measurement. Fresh for every channel.
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
// Two channels' bands side by side (SibilancePairSteps), one run of numFrames >= 1 frames.
void addPair (SibilanceBand& a, double& sumA, SibilanceBand& b, double& sumB, const float* xa, const float* xb,
              int numFrames) noexcept
{
    analysis_detail::SibilancePairSteps steps (a, sumA, b, sumB);
    const auto at = [xb] (int t) { return xb != nullptr ? xb[t] : 0.0f; };
    steps.begin (xa[0], at (0));
    if (numFrames > 1)
        steps.stepFirst (xa[1], at (1));
    for (int t = 2; t < numFrames; ++t)
        steps.step (xa[t], at (t));
    steps.end (numFrames);
    steps.store (a, sumA, b, sumB);
}
} // namespace

analysis_detail::SibilancePairSteps analysis_detail::SibilanceStream::pairSteps (int c) const noexcept
{
    // A lone last channel shares the register with a spare band fed zeros.
    const auto& first = *bands[(size_t) c];
    const auto& second = (size_t) c + 1 < bands.size() ? *bands[(size_t) c + 1] : first;
    return SibilancePairSteps (first.filter, first.sum, second.filter, second.sum);
}

void analysis_detail::SibilanceStream::keep (int c, const SibilancePairSteps& steps) noexcept
{
    auto& first = *bands[(size_t) c];
    Band spare { first.filter, 0.0 };
    auto& second = (size_t) c + 1 < bands.size() ? *bands[(size_t) c + 1] : spare;
    steps.store (first.filter, first.sum, second.filter, second.sum);
}
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
