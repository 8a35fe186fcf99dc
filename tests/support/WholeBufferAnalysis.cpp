#include "support/WholeBufferAnalysis.h"

#include "analysis/AnalysisAccumulator.h"
#include "analysis/Sibilance.h"
#include "analysis/TiltAndHum.h"
#include "analysis/TruePeak.h"

namespace kernels = analysis_detail::kernels;

Analysis AudioAnalyzer::measure (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    // The whole buffer as one block: the measurements read it in place (no
    // copy but the frames the spectral measurements keep from the start).
    AnalysisAccumulator accumulator (buffer.getNumChannels(), sampleRate);
    accumulator.add (buffer, buffer.getNumSamples());
    return accumulator.finish();
}

AnalysisResult AudioAnalyzer::analyze (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const auto a = measure (buffer, sampleRate);
    writeLog (a);
    return a.result;
}

void AudioAnalyzer::applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate)
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

LoudnessMeasurement AudioAnalyzer::measureIntegratedLoudness (const juce::AudioBuffer<float>& kWeighted, double sampleRate)
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

TruePeakMeasurement AudioAnalyzer::measureTruePeak (const juce::AudioBuffer<float>& buffer)
{
    analysis_detail::TruePeakStream stream (buffer.getNumSamples() > 0 ? buffer.getNumChannels() : 0);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples());
    return stream.finish();
}

VoiceActivityMeasurement AudioAnalyzer::detectVoiceActivity (const juce::AudioBuffer<float>& buffer, int blockSize)
{
    const auto scan = analysis_detail::scanLevels (buffer, blockSize, false);
    return analysis_detail::voiceActivityFromScan (scan, buffer.getNumChannels());
}

SnrMeasurement AudioAnalyzer::measureSnr (const juce::AudioBuffer<float>& buffer, const std::vector<bool>& voiced, int blockSize)
{
    const auto scan = analysis_detail::scanLevels (buffer, blockSize, false);
    return analysis_detail::snrFromScan (scan, voiced, buffer.getNumChannels());
}

CrestFactorMeasurement AudioAnalyzer::measureCrestFactor (const juce::AudioBuffer<float>& buffer)
{
    const auto scan = analysis_detail::scanLevels (buffer, 0, true);
    return analysis_detail::crestFactorFromScan (scan, buffer.getNumChannels(), buffer.getNumSamples());
}

SpectralTiltMeasurement AudioAnalyzer::measureSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    return analysis_detail::spectralTiltOf (buffer, sampleRate);
}

SibilanceMeasurement AudioAnalyzer::measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    // Filters each channel sample by sample; no copy of a channel is made.
    analysis_detail::SibilanceStream stream (buffer.getNumChannels(), sampleRate);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples());
    return stream.finish();
}

GridHumMeasurement AudioAnalyzer::detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    return analysis_detail::gridHumOf (buffer, sampleRate);
}

std::vector<double> analysis_detail::kWeightedBlockPowers (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    LoudnessStream stream (buffer.getNumChannels(), sampleRate);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples());
    return stream.blockPowers();
}

analysis_detail::LevelScan analysis_detail::scanLevels (const juce::AudioBuffer<float>& buffer, int blockSize, bool withCrest)
{
    LevelStream stream (buffer.getNumChannels(), blockSize, withCrest);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples(), true);
    return stream.finish();
}
