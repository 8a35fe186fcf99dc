#include "analysis/AnalysisKernels.h"
#include "analysis/AudioAnalyzer.h"

#include <cmath>

namespace kernels = analysis_detail::kernels;

SibilanceMeasurement AudioAnalyzer::measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    SibilanceMeasurement m;
    m.measurable = kernels::sibilanceMeasurable (sampleRate);
    if (! m.measurable)
        return m;

    // Filters each channel sample by sample; no copy of a channel is made.
    const auto band = kernels::designSibilanceBand (sampleRate);
    const int numSamples = buffer.getNumSamples();
    double sum = 0.0;
    juce::int64 count = 0;
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        kernels::SibilanceBand filter (band); // fresh state for every channel
        const float* x = buffer.getReadPointer (ch);
        double s = sum;
        for (int i = 0; i < numSamples; ++i)
        {
            const double y = filter.process (x[i]);
            s += y * y;
        }
        sum = s;
        count += numSamples;
    }

    if (count >= 1)
    {
        m.rmsLinear = std::sqrt (sum / (double) count);
        m.levelDbfs = m.rmsLinear > kSilenceAmplitude ? 20.0 * std::log10 (m.rmsLinear) : kNoLevelDb;
    }
    return m;
}
