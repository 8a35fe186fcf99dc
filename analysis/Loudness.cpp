#include "analysis/AnalysisDetail.h"
#include "analysis/AudioAnalyzer.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace analysis_detail
{
namespace
{
// The two K-weighting stages of BS.1770 at 48 kHz, as tabled in the
// recommendation (direct form I, a0 = 1).
constexpr double kShelf48k[5] = { 1.53512485958697, -2.69169618940638, 1.19839281085285,
                                  -1.69065929318241, 0.73248077421585 };
constexpr double kHighPass48k[5] = { 1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621 };

// At other rates the stages are designed with JUCE: a +4 dB shelf at 1.5 kHz
// and a 38 Hz high-pass, close to the BS.1770 curve.
constexpr double kShelfHz = 1500.0;
constexpr float kShelfQ = 0.707f;
constexpr float kShelfGainDb = 4.0f;
constexpr double kHighPassHz = 38.0;
constexpr float kHighPassQ = 0.5f;

bool usesFixedCoefficients (double sampleRate) { return std::abs (sampleRate - 48000.0) < 1.0; }

// Direct form I in double; reads float input, hands back float output, keeps
// its output history in double.
struct DirectFormOneStage
{
    double b0, b1, b2, a1, a2;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;

    explicit DirectFormOneStage (const double (&c)[5]) : b0 (c[0]), b1 (c[1]), b2 (c[2]), a1 (c[3]), a2 (c[4]) {}

    inline float process (float in) noexcept
    {
        const double x = in;
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1; x1 = x;
        y2 = y1; y1 = y;
        return (float) y;
    }
};

// The arithmetic of a second-order juce::dsp::IIR::Filter<float> (transposed
// direct form II), operation for operation, so a result equals what the JUCE
// filter gives over the same samples. The state is not snapped to zero: JUCE
// snaps only at the end of a processed block, and here a block is a whole channel.
struct JuceBiquad
{
    float b0, b1, b2, a1, a2;
    float lv1 = 0.0f, lv2 = 0.0f;

    explicit JuceBiquad (const juce::dsp::IIR::Coefficients<float>& c)
    {
        jassert (c.getFilterOrder() == 2);
        const auto* raw = c.getRawCoefficients();
        b0 = raw[0]; b1 = raw[1]; b2 = raw[2]; a1 = raw[3]; a2 = raw[4];
    }

    inline float process (float input) noexcept
    {
        const float output = (input * b0) + lv1;
        lv1 = (input * b1) - (output * a1) + lv2;
        lv2 = (input * b2) - (output * a2);
        return output;
    }
};

// Both stages run per sample: stage 2 reads the same float results of stage 1
// as it would after a whole-channel pass, so fusing them changes nothing.
template <typename Stage>
struct KWeightingPair
{
    Stage shelf, highPass;
    inline void run (const float* in, float* out, int n) noexcept
    {
        for (int i = 0; i < n; ++i)
            out[i] = highPass.process (shelf.process (in[i]));
    }
};

using FixedKWeighting = KWeightingPair<DirectFormOneStage>;
using DesignedKWeighting = KWeightingPair<JuceBiquad>;

FixedKWeighting makeFixedKWeighting() { return { DirectFormOneStage (kShelf48k), DirectFormOneStage (kHighPass48k) }; }

struct DesignedKWeightingCoefficients
{
    juce::dsp::IIR::Coefficients<float>::Ptr shelf, highPass;
};

// Allocates the two coefficient objects; called once per measurement.
DesignedKWeightingCoefficients designKWeighting (double sampleRate)
{
    const float shelfGain = std::pow (10.0f, kShelfGainDb / 20.0f);
    return { juce::dsp::IIR::Coefficients<float>::makeHighShelf (sampleRate, (float) kShelfHz, kShelfQ, shelfGain),
             juce::dsp::IIR::Coefficients<float>::makeHighPass (sampleRate, (float) kHighPassHz, kHighPassQ) };
}

DesignedKWeighting makeDesignedKWeighting (const DesignedKWeightingCoefficients& c)
{
    return { JuceBiquad (*c.shelf), JuceBiquad (*c.highPass) };
}

//==============================================================================
// Adds the squares of x[0..n) (squared in double) into `active` consecutive block
// sums. Each block keeps its own running sum in sample order, so a block's total
// is exactly the sum taken over the block alone; the independent sums let the
// processor overlap their additions.
template <int Active>
inline void addSquaresFixed (const float* x, int n, double* sums) noexcept
{
    double s[Active];
    for (int a = 0; a < Active; ++a)
        s[a] = sums[a];

    for (int i = 0; i < n; ++i)
    {
        const double v = x[i];
        const double sq = v * v;
        for (int a = 0; a < Active; ++a)
            s[a] += sq;
    }

    for (int a = 0; a < Active; ++a)
        sums[a] = s[a];
}

inline void addSquares (const float* x, int n, double* sums, int active) noexcept
{
    switch (active)
    {
        case 0: return;
        case 1: addSquaresFixed<1> (x, n, sums); return;
        case 2: addSquaresFixed<2> (x, n, sums); return;
        case 3: addSquaresFixed<3> (x, n, sums); return;
        case 4: addSquaresFixed<4> (x, n, sums); return;
        case 5: addSquaresFixed<5> (x, n, sums); return;
        default:
            for (int i = 0; i < n; ++i)
            {
                const double v = x[i];
                const double sq = v * v;
                for (int a = 0; a < active; ++a)
                    sums[a] += sq;
            }
            return;
    }
}

// Walks [0, end of the last block) in runs inside which the same blocks are
// open; calls fn (from, to, firstOpenBlock, openCount).
template <typename Fn>
void forEachBlockRun (const LoudnessBlocks& b, Fn&& fn)
{
    int nextStart = 0; // index of the next block to open
    int nextEnd = 0;   // index of the next block to close
    int pos = 0;
    constexpr int none = std::numeric_limits<int>::max();

    while (nextEnd < b.numBlocks)
    {
        const int startPos = nextStart < b.numBlocks ? nextStart * b.hop : none;
        const int endPos = nextEnd * b.hop + b.blockSize;
        const int next = std::min (startPos, endPos);

        if (next > pos)
            fn (pos, next, nextEnd, nextStart - nextEnd);

        pos = next;
        if (startPos == next) ++nextStart;
        if (endPos == next) ++nextEnd;
    }
}

// Gating of the block powers, shared by both loudness paths; logs the result line.
double gateBlocks (const std::vector<double>& blockPower)
{
    std::vector<double> loudness;
    loudness.reserve (blockPower.size());
    for (const double z : blockPower)
        loudness.push_back (z > 1e-30 ? 10.0 * std::log10 (z) + kLoudnessOffsetLu : kNoLevelDb);

    const auto power = [] (double lufs) { return std::pow (10.0, (lufs - kLoudnessOffsetLu) / 10.0); };

    int absoluteCount = 0;
    double absoluteSum = 0.0;
    for (const double l : loudness)
        if (l > kAbsoluteGateLufs)
        {
            absoluteSum += power (l);
            ++absoluteCount;
        }

    if (absoluteCount == 0)
        return kNoLevelDb;

    const double threshold = 10.0 * std::log10 (absoluteSum / absoluteCount) + kLoudnessOffsetLu + kRelativeGateLu;

    int relativeCount = 0;
    double relativeSum = 0.0;
    for (const double l : loudness)
        if (l > kAbsoluteGateLufs && l > threshold)
        {
            relativeSum += power (l);
            ++relativeCount;
        }

    if (relativeCount == 0)
        return kNoLevelDb;

    const double integrated = 10.0 * std::log10 (relativeSum / relativeCount) + kLoudnessOffsetLu;

    juce::Logger::writeToLog ("[AudioAnalyzer/LUFS] Blocks: " + juce::String ((int) loudness.size())
                              + " | After abs gate: " + juce::String (absoluteCount)
                              + " | After rel gate: " + juce::String (relativeCount)
                              + " | Integrated: " + fmt (integrated, 1) + " LUFS");
    return integrated;
}

// Adds one channel's block sums, as mean squares, into the block powers.
void addChannelPowers (std::vector<double>& blockPower, const std::vector<double>& channelSums, int blockSize)
{
    for (size_t k = 0; k < blockPower.size(); ++k)
        blockPower[k] += channelSums[k] / (double) blockSize;
}

template <typename Weighting>
void accumulateWeightedChannel (Weighting weighting, const float* samples, const LoudnessBlocks& blocks,
                                std::vector<float>& scratch, std::vector<double>& channelSums)
{
    const int scratchSize = (int) scratch.size();
    forEachBlockRun (blocks, [&] (int from, int to, int firstOpen, int openCount)
    {
        for (int pos = from; pos < to; pos += scratchSize)
        {
            const int n = std::min (scratchSize, to - pos);
            weighting.run (samples + pos, scratch.data(), n);
            addSquares (scratch.data(), n, channelSums.data() + firstOpen, openCount);
        }
    });
}
} // namespace

LoudnessBlocks loudnessBlocksFor (int numSamples, double sampleRate)
{
    LoudnessBlocks b;
    b.blockSize = (int) (sampleRate * kLoudnessBlockSeconds);
    // Rates below 10 Hz would give a hop of 0; one sample keeps the walk finite.
    b.hop = std::max (1, (int) (sampleRate * kLoudnessHopSeconds));
    if (b.blockSize >= 1 && numSamples >= b.blockSize)
        b.numBlocks = (numSamples - b.blockSize) / b.hop + 1;
    return b;
}

double integratedLoudnessOfUnweighted (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const auto blocks = loudnessBlocksFor (buffer.getNumSamples(), sampleRate);
    if (blocks.numBlocks == 0)
        return kNoLevelDb;

    // Allocates one float per hop sample and two doubles per block.
    std::vector<double> blockPower ((size_t) blocks.numBlocks, 0.0);
    std::vector<double> channelSums ((size_t) blocks.numBlocks);
    std::vector<float> scratch ((size_t) std::min (blocks.hop, 4096));

    const bool fixed = usesFixedCoefficients (sampleRate);
    DesignedKWeightingCoefficients designed;
    if (! fixed)
        designed = designKWeighting (sampleRate);

    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        std::fill (channelSums.begin(), channelSums.end(), 0.0);
        const float* samples = buffer.getReadPointer (ch);

        if (fixed)
            accumulateWeightedChannel (makeFixedKWeighting(), samples, blocks, scratch, channelSums);
        else
            accumulateWeightedChannel (makeDesignedKWeighting (designed), samples, blocks, scratch, channelSums);

        addChannelPowers (blockPower, channelSums, blocks.blockSize);
    }

    return gateBlocks (blockPower);
}

static double gateWeightedBuffer (const juce::AudioBuffer<float>& kWeighted, double sampleRate)
{
    const auto blocks = loudnessBlocksFor (kWeighted.getNumSamples(), sampleRate);
    if (blocks.numBlocks == 0)
        return kNoLevelDb;

    std::vector<double> blockPower ((size_t) blocks.numBlocks, 0.0);
    std::vector<double> channelSums ((size_t) blocks.numBlocks);

    for (int ch = 0; ch < kWeighted.getNumChannels(); ++ch)
    {
        std::fill (channelSums.begin(), channelSums.end(), 0.0);
        const float* samples = kWeighted.getReadPointer (ch);
        forEachBlockRun (blocks, [&] (int from, int to, int firstOpen, int openCount)
        {
            addSquares (samples + from, to - from, channelSums.data() + firstOpen, openCount);
        });
        addChannelPowers (blockPower, channelSums, blocks.blockSize);
    }

    return gateBlocks (blockPower);
}

static void kWeightInPlace (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const bool fixed = usesFixedCoefficients (sampleRate);
    DesignedKWeightingCoefficients designed;
    if (! fixed)
        designed = designKWeighting (sampleRate);

    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        float* samples = buffer.getWritePointer (ch);
        if (fixed)
            makeFixedKWeighting().run (samples, samples, buffer.getNumSamples());
        else
            makeDesignedKWeighting (designed).run (samples, samples, buffer.getNumSamples());
    }
}
} // namespace analysis_detail

void AudioAnalyzer::applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    analysis_detail::kWeightInPlace (buffer, sampleRate);
}

double AudioAnalyzer::measureIntegratedLoudness (const juce::AudioBuffer<float>& kWeighted, double sampleRate)
{
    return analysis_detail::gateWeightedBuffer (kWeighted, sampleRate);
}
