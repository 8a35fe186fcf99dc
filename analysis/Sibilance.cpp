#include "analysis/Sibilance.h"
#include "dsp/Biquad.h"

#include <algorithm>
#include <cmath>

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

void analysis_detail::SibilanceStream::add (const float* const* channels, int numFrames)
{
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
        m.levelDbfs = m.rmsLinear > kSilenceAmplitude ? 20.0 * std::log10 (m.rmsLinear) : kNoLevelDb;
    }
    return m;
}
