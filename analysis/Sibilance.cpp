#include "analysis/AnalysisKernels.h"
#include "analysis/AnalysisStreams.h"
#include "analysis/AudioAnalyzer.h"

#include <cmath>

namespace kernels = analysis_detail::kernels;

// One channel's band filters and its running sum of squares, in sample order.
struct analysis_detail::SibilanceStream::Band
{
    kernels::SibilanceBand filter;
    double sum = 0.0;
};

analysis_detail::SibilanceStream::SibilanceStream (int numChannels, double sampleRate)
    : measurable (kernels::sibilanceMeasurable (sampleRate))
{
    if (! measurable || numChannels < 1)
        return;
    const auto band = kernels::designSibilanceBand (sampleRate);
    for (int c = 0; c < numChannels; ++c)
        bands.push_back (std::make_unique<Band> (Band { kernels::SibilanceBand (band), 0.0 })); // fresh state for every channel
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

SibilanceMeasurement AudioAnalyzer::measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    // Filters each channel sample by sample; no copy of a channel is made.
    analysis_detail::SibilanceStream stream (buffer.getNumChannels(), sampleRate);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples());
    return stream.finish();
}
