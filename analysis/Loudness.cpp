#include "analysis/AnalysisKernels.h"
#include "analysis/AnalysisStreams.h"
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
} // namespace

// One or two channels K-weighted together (two side by side where the
// processor allows); each channel's output equals the one-channel filter's.
struct analysis_detail::LoudnessStream::Group
{
    int first = 0, count = 1;
    virtual ~Group() = default;
    virtual void run (const float* const* channels, int pos, int n, float* out0, float* out1) noexcept = 0;
};

namespace
{
template <typename Weighting>
struct OneChannel final : analysis_detail::LoudnessStream::Group
{
    Weighting weighting;
    OneChannel (int channel, Weighting w) : weighting (w) { first = channel; count = 1; }
    void run (const float* const* channels, int pos, int n, float* out0, float*) noexcept override
    {
        weighting.run (channels[first] + pos, out0, n);
    }
};

#if TESSALOOM_ANALYSIS_SSE
template <typename Weighting>
struct TwoChannels final : analysis_detail::LoudnessStream::Group
{
    Weighting weighting;
    TwoChannels (int channel, Weighting w) : weighting (w) { first = channel; count = 2; }
    void run (const float* const* channels, int pos, int n, float* out0, float* out1) noexcept override
    {
        weighting.run (channels[first] + pos, channels[first + 1] + pos, out0, out1, n);
    }
};
#endif

// The channels in pairs where two run side by side, the rest one by one.
std::vector<std::unique_ptr<analysis_detail::LoudnessStream::Group>> makeWeightingGroups (int numChannels, double sampleRate)
{
    std::vector<std::unique_ptr<analysis_detail::LoudnessStream::Group>> groups;
    const bool fixed = kernels::usesFixedKWeighting (sampleRate);
    kernels::BiquadPairCoefficients designed;
    if (! fixed && numChannels > 0)
        designed = kernels::designKWeighting (sampleRate);

    for (int ch = 0; ch < numChannels;)
    {
       #if TESSALOOM_ANALYSIS_SSE
        if (ch + 1 < numChannels)
        {
            if (fixed)
                groups.push_back (std::make_unique<TwoChannels<kernels::FixedKWeightingTwoChannels>> (ch, kernels::FixedKWeightingTwoChannels()));
            else
                groups.push_back (std::make_unique<TwoChannels<kernels::DesignedKWeightingTwoChannels>> (
                    ch, kernels::DesignedKWeightingTwoChannels (designed)));
            ch += 2;
            continue;
        }
       #endif
        if (fixed)
            groups.push_back (std::make_unique<OneChannel<kernels::FixedKWeighting>> (ch, kernels::makeFixedKWeighting()));
        else
            groups.push_back (std::make_unique<OneChannel<kernels::DesignedKWeighting>> (ch, kernels::makeDesignedKWeighting (designed)));
        ++ch;
    }
    return groups;
}
} // namespace

analysis_detail::LoudnessStream::LoudnessStream (int channels, double sampleRate)
    : LoudnessStream (channels, sampleRate, loudnessBlocksFor (0, sampleRate))
{
}

analysis_detail::LoudnessStream::LoudnessStream (int channels, double sampleRate, LoudnessBlocks geometry)
    : blocks (geometry), numChannels (channels)
{
    if (blocks.blockSize < 1)
        return; // no gating block fits: nothing to weight
    groups = makeWeightingGroups (numChannels, sampleRate);
    // Blocks open at one position: the block length over the hop, rounded up, and one opening.
    maxOpen = blocks.blockSize / blocks.hop + 2;
    openSums.assign ((size_t) (numChannels * maxOpen), 0.0);
    for (auto& r : runs)
        r.resize ((size_t) kRunSamples);
}

analysis_detail::LoudnessStream::~LoudnessStream() = default;

size_t analysis_detail::LoudnessStream::heldBytes() const noexcept
{
    return powers.capacity() * sizeof (double);
}

// Walks the block's frames in runs inside which the same gating blocks are
// open, as the whole-buffer walk does; a block closes when its last frame is
// in, opens at its first. The walk's position survives from block to block.
void analysis_detail::LoudnessStream::add (const float* const* channels, int numFrames)
{
    if (blocks.blockSize < 1)
        return;

    int i = 0;
    while (i < numFrames)
    {
        const juce::int64 startPos = nextStart * blocks.hop;
        const juce::int64 endPos = nextEnd * blocks.hop + blocks.blockSize;
        const juce::int64 next = std::min ({ startPos, endPos, position + (numFrames - i) });
        if (next > position)
        {
            const int n = (int) (next - position);
            addRange (channels, i, i + n);
            i += n;
            position = next;
        }
        if (endPos == position)
            closeBlock();
        if (startPos == position)
        {
            const auto slot = (size_t) (nextStart - nextEnd);
            for (int c = 0; c < numChannels; ++c)
                openSums[(size_t) (c * maxOpen) + slot] = 0.0;
            ++nextStart;
        }
    }
}

void analysis_detail::LoudnessStream::addRange (const float* const* channels, int from, int to)
{
    const int openCount = (int) (nextStart - nextEnd);
    for (int pos = from; pos < to; pos += kRunSamples)
    {
        const int n = std::min (kRunSamples, to - pos);
        for (auto& g : groups)
        {
            g->run (channels, pos, n, runs[0].data(), runs[1].data());
            for (int c = 0; c < g->count; ++c)
                kernels::addSquares (runs[c].data(), n, openSums.data() + (size_t) ((g->first + c) * maxOpen), openCount);
        }
    }
}

// The oldest open block is complete: its channels' mean squares, added in
// channel order as the whole-buffer sum adds them, make its power.
void analysis_detail::LoudnessStream::closeBlock()
{
    double power = 0.0;
    for (int c = 0; c < numChannels; ++c)
    {
        double* sums = openSums.data() + (size_t) (c * maxOpen);
        power += sums[0] / (double) blocks.blockSize;
        std::copy (sums + 1, sums + maxOpen, sums);
    }
    powers.push_back (power);
    ++nextEnd;
}

std::vector<double> analysis_detail::kWeightedBlockPowers (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    LoudnessStream stream (buffer.getNumChannels(), sampleRate);
    stream.add (buffer.getArrayOfReadPointers(), buffer.getNumSamples());
    return stream.blockPowers();
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
