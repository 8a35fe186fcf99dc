#include "analysis/AnalysisKernels.h"
#include "analysis/AudioAnalyzer.h"

#include <cmath>

using analysis_detail::fmt;
namespace kernels = analysis_detail::kernels;

void analysis_detail::finishSibilance (const SibilanceSums& sums, double& sibilanceRms, double& sibilanceDbfs)
{
    sibilanceRms = 0.0;
    sibilanceDbfs = kNoLevelDb;

    if (! sums.measurable)
    {
        analysis_detail::log ("[AudioAnalyzer/Sibilance] Sample rate too low for 5-8kHz analysis");
        return;
    }

    if (sums.count >= 1)
    {
        sibilanceRms = std::sqrt (sums.sum / (double) sums.count);
        sibilanceDbfs = sibilanceRms > kSilenceAmplitude ? 20.0 * std::log10 (sibilanceRms) : kNoLevelDb;
    }

    analysis_detail::log ("[AudioAnalyzer/Sibilance] 5-8kHz RMS: " + fmt (sibilanceRms, 6) + " | "
                              + fmt (sibilanceDbfs, 1) + " dBFS");
}

analysis_detail::SibilanceSums analysis_detail::sibilanceSums (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    SibilanceSums sums;
    sums.measurable = kernels::sibilanceMeasurable (sampleRate);
    if (! sums.measurable)
        return sums;

    // Filters each channel sample by sample; no copy of a channel is made.
    const auto band = kernels::designSibilanceBand (sampleRate);
    const int numSamples = buffer.getNumSamples();
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        kernels::SibilanceBand filter (band); // fresh state for every channel
        const float* x = buffer.getReadPointer (ch);
        double s = sums.sum;
        for (int i = 0; i < numSamples; ++i)
        {
            const double y = filter.process (x[i]);
            s += y * y;
        }
        sums.sum = s;
        sums.count += numSamples;
    }
    return sums;
}

void AudioAnalyzer::measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate,
                                      double& sibilanceRms, double& sibilanceDbfs)
{
    analysis_detail::finishSibilance (analysis_detail::sibilanceSums (buffer, sampleRate), sibilanceRms, sibilanceDbfs);
}
