#include "support/WholeBufferAnalysis.h"

#include "analysis/AnalysisAccumulator.h"
#include "analysis/Sibilance.h"
#include "analysis/TiltAndHum.h"
#include "analysis/TruePeak.h"

namespace tessaloom
{

namespace kernels = analysis_detail::kernels;

Analysis whole_buffer_analysis::measure (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    // The whole buffer as one block: the measurements read it in place (no
    // copy but the frames the spectral measurements keep from the start).
    AnalysisAccumulator accumulator (buffer.getNumChannels(), sampleRate);
    accumulator.add (buffer, buffer.getNumSamples());
    return accumulator.finish();
}

AnalysisResult whole_buffer_analysis::analyze (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const auto a = measure (buffer, sampleRate);
    audio_analyzer::writeLog (a);
    return a.result;
}

void whole_buffer_analysis::applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const bool fixed = kernels::usesFixedKWeighting (sampleRate);
    kernels::KWeightingCoefficients designed;
    if (! fixed)
        designed = kernels::designKWeighting (sampleRate);

    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        float* samples = buffer.getWritePointer (ch);
        if (fixed)
            kernels::makeFixedKWeighting().run (samples, samples, buffer.getNumSamples());
        else
            kernels::makeDesignedKWeighting (designed).run (samples, samples, buffer.getNumSamples());
    }
}

LoudnessMeasurement whole_buffer_analysis::measureIntegratedLoudness (const juce::AudioBuffer<float>& kWeighted, double sampleRate)
{
    const auto blocks = analysis_detail::loudnessBlocksFor (kWeighted.getNumSamples(), sampleRate);
    if (blocks.numBlocks == 0)
        return {};

    std::vector<double> blockPower ((size_t) blocks.numBlocks, 0.0);
    std::vector<double> channelSums ((size_t) blocks.numBlocks);

    for (int ch = 0; ch < kWeighted.getNumChannels(); ++ch)
    {
        std::fill (channelSums.begin(), channelSums.end(), 0.0);
        const float* samples = kWeighted.getReadPointer (ch);
        kernels::forEachBlockRun (blocks, [&] (int from, int to, int firstOpen, int openCount)
        {
            kernels::addSquares (samples + from, to - from, channelSums.data() + firstOpen, openCount);
        });
        kernels::addChannelPowers (blockPower, channelSums, blocks.blockSize);
    }

    return analysis_detail::gateBlockPowers (blockPower);
}

TruePeakMeasurement whole_buffer_analysis::measureTruePeak (const juce::AudioBuffer<float>& buffer)
{
    analysis_detail::TruePeakStream stream (buffer.getNumSamples() > 0 ? buffer.getNumChannels() : 0);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples());
    return stream.finish();
}

VoiceActivityMeasurement whole_buffer_analysis::detectVoiceActivity (const juce::AudioBuffer<float>& buffer, int blockSize)
{
    const auto scan = whole_buffer_analysis::scanLevels (buffer, blockSize, false);
    return analysis_detail::voiceActivityFromScan (scan, buffer.getNumChannels());
}

SnrMeasurement whole_buffer_analysis::measureSnr (const juce::AudioBuffer<float>& buffer, const std::vector<bool>& voiced, int blockSize)
{
    const auto scan = whole_buffer_analysis::scanLevels (buffer, blockSize, false);
    return analysis_detail::snrFromScan (scan, voiced, buffer.getNumChannels());
}

CrestFactorMeasurement whole_buffer_analysis::measureCrestFactor (const juce::AudioBuffer<float>& buffer)
{
    const auto scan = whole_buffer_analysis::scanLevels (buffer, 0, true);
    return analysis_detail::crestFactorFromScan (scan, buffer.getNumChannels(), buffer.getNumSamples());
}

SpectralTiltMeasurement whole_buffer_analysis::measureSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    return analysis_detail::spectralTiltOf (buffer, sampleRate);
}

SibilanceMeasurement whole_buffer_analysis::measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    // Filters each channel sample by sample; no copy of a channel is made.
    analysis_detail::SibilanceStream stream (buffer.getNumChannels(), sampleRate);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples());
    return stream.finish();
}

GridHumMeasurement whole_buffer_analysis::detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    return analysis_detail::gridHumOf (buffer, sampleRate);
}

std::vector<double> whole_buffer_analysis::kWeightedBlockPowers (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    analysis_detail::LoudnessStream stream (buffer.getNumChannels(), sampleRate);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples());
    return stream.blockPowers();
}

analysis_detail::LevelScan whole_buffer_analysis::scanLevels (const juce::AudioBuffer<float>& buffer, int blockSize, bool withCrest)
{
    analysis_detail::LevelStream stream (buffer.getNumChannels(), blockSize, withCrest);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples(), true);
    return stream.finish();
}

} // namespace tessaloom
