#include "analysis/AnalysisKernels.h"
#include "analysis/AudioAnalyzer.h"

namespace kernels = analysis_detail::kernels;

analysis_detail::LoudnessBlocks analysis_detail::loudnessBlocksFor (int numSamples, double sampleRate)
{
    LoudnessBlocks b;
    b.blockSize = (int) (sampleRate * kLoudnessBlockSeconds);
    // Rates below 10 Hz would give a hop of 0; one sample keeps the walk finite.
    b.hop = std::max (1, (int) (sampleRate * kLoudnessHopSeconds));
    if (b.blockSize >= 1 && numSamples >= b.blockSize)
        b.numBlocks = (numSamples - b.blockSize) / b.hop + 1;
    return b;
}

namespace
{
// A block whose mean square is at or below this holds no energy; its loudness
// is kNoLevelDb rather than the logarithm of a rounding residue.
constexpr double kSilentBlockPower = 1e-30;
} // namespace

LoudnessMeasurement analysis_detail::gateBlockPowers (const std::vector<double>& blockPower)
{
    LoudnessMeasurement m;
    m.numBlocks = (int) blockPower.size();

    std::vector<double> loudness;
    loudness.reserve (blockPower.size());
    for (const double z : blockPower)
        loudness.push_back (z > kSilentBlockPower ? 10.0 * std::log10 (z) + kLoudnessOffsetLu : kNoLevelDb);

    const auto power = [] (double lufs) { return std::pow (10.0, (lufs - kLoudnessOffsetLu) / 10.0); };

    double absoluteSum = 0.0;
    for (const double l : loudness)
        if (l > kAbsoluteGateLufs)
        {
            absoluteSum += power (l);
            ++m.blocksAfterAbsoluteGate;
        }

    if (m.blocksAfterAbsoluteGate == 0)
        return m;

    const double threshold = 10.0 * std::log10 (absoluteSum / m.blocksAfterAbsoluteGate) + kLoudnessOffsetLu + kRelativeGateLu;

    double relativeSum = 0.0;
    for (const double l : loudness)
        if (l > kAbsoluteGateLufs && l > threshold)
        {
            relativeSum += power (l);
            ++m.blocksAfterRelativeGate;
        }

    if (m.blocksAfterRelativeGate > 0)
        m.integratedLufs = 10.0 * std::log10 (relativeSum / m.blocksAfterRelativeGate) + kLoudnessOffsetLu;
    return m;
}

namespace
{
// Samples K-weighted at a time before they are summed into the gating blocks.
constexpr int kRunSamples = 4096;

// Runs `weighting` over channels [first, first + count) of the buffer, straight
// into per-channel gating sums, run by run.
template <typename RunFn>
void accumulateGatingSums (const analysis_detail::LoudnessBlocks& blocks, std::vector<double>* sums,
                           std::vector<float>* runs, int count, RunFn&& runWeighting)
{
    kernels::forEachBlockRun (blocks, [&] (int from, int to, int firstOpen, int openCount)
    {
        for (int pos = from; pos < to; pos += kRunSamples)
        {
            const int n = std::min (kRunSamples, to - pos);
            runWeighting (pos, n);
            for (int c = 0; c < count; ++c)
                kernels::addSquares (runs[c].data(), n, sums[c].data() + firstOpen, openCount);
        }
    });
}
} // namespace

std::vector<double> analysis_detail::kWeightedBlockPowers (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const auto blocks = loudnessBlocksFor (buffer.getNumSamples(), sampleRate);
    std::vector<double> blockPower ((size_t) blocks.numBlocks, 0.0);
    if (blocks.numBlocks == 0)
        return blockPower;

    std::vector<double> sums[2] = { std::vector<double> ((size_t) blocks.numBlocks), std::vector<double> ((size_t) blocks.numBlocks) };
    std::vector<float> runs[2] = { std::vector<float> ((size_t) kRunSamples), std::vector<float> ((size_t) kRunSamples) };

    const bool fixed = kernels::usesFixedKWeighting (sampleRate);
    kernels::BiquadPairCoefficients designed;
    if (! fixed)
        designed = kernels::designKWeighting (sampleRate);

    const int numChannels = buffer.getNumChannels();
    for (int ch = 0; ch < numChannels;)
    {
        for (auto& v : sums)
            std::fill (v.begin(), v.end(), 0.0);

        const float* a = buffer.getReadPointer (ch);
       #if TESSALOOM_ANALYSIS_SSE
        if (ch + 1 < numChannels)
        {
            const float* b = buffer.getReadPointer (ch + 1);
            const auto runPair = [&] (auto weighting)
            {
                accumulateGatingSums (blocks, sums, runs, 2, [&] (int pos, int n)
                {
                    weighting.run (a + pos, b + pos, runs[0].data(), runs[1].data(), n);
                });
            };
            if (fixed)
                runPair (kernels::FixedKWeightingTwoChannels());
            else
                runPair (kernels::DesignedKWeightingTwoChannels (designed));

            // Channel by channel into the block powers, as the one-channel path adds them.
            kernels::addChannelPowers (blockPower, sums[0], blocks.blockSize);
            kernels::addChannelPowers (blockPower, sums[1], blocks.blockSize);
            ch += 2;
            continue;
        }
       #endif
        const auto runOne = [&] (auto weighting)
        {
            accumulateGatingSums (blocks, sums, runs, 1, [&] (int pos, int n)
            {
                weighting.run (a + pos, runs[0].data(), n);
            });
        };
        if (fixed)
            runOne (kernels::makeFixedKWeighting());
        else
            runOne (kernels::makeDesignedKWeighting (designed));

        kernels::addChannelPowers (blockPower, sums[0], blocks.blockSize);
        ++ch;
    }
    return blockPower;
}

void AudioAnalyzer::applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const bool fixed = kernels::usesFixedKWeighting (sampleRate);
    kernels::BiquadPairCoefficients designed;
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
