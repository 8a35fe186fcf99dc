#pragma once

// Loudness: BS.1770 K-weighting and gated integrated loudness, and the
// loudness range (EBU Tech 3342) on the same weighting and sums. The
// constants, the kernels, the stream that takes a recording in blocks, and the
// range accumulator on top of it. The designed K-weighting runs dsp/Biquad.h's
// section (JUCE's arithmetic, see dsp/JuceArithmetic.h).

#include "analysis/Measurements.h"
#include "dsp/Biquad.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace tessaloom
{

namespace analysis_detail
{
// BS.1770 gating constants.
constexpr double kLoudnessBlockSeconds = 0.4;     // 400 ms gating block
constexpr double kLoudnessHopSeconds = 0.1;       // 75 % overlap
constexpr double kLoudnessOffsetLu = -0.691;      // K-weighting offset of BS.1770
constexpr double kAbsoluteGateLufs = -70.0;
constexpr double kRelativeGateLu = -10.0;

struct LoudnessBlocks
{
    int blockSize = 0;
    int hop = 1;
    int numBlocks = 0; // 0: too short to measure
};

// The 400 ms gating blocks of numSamples frames.
LoudnessBlocks loudnessBlocksFor (int numSamples, double sampleRate);

// The 100 ms pieces short-term windows are made of: blocks one hop long, back to back.
LoudnessBlocks loudnessHopBlocks (double sampleRate);

// Gated integration of the per-block powers (mean squares summed over the channels).
LoudnessMeasurement gateBlockPowers (const std::vector<double>& blockPower);

// The surround channels' weight in BS.1770's sum of the channels.
constexpr double kSurroundChannelWeight = 1.41;

// BS.1770's channel weights for a file of this layout, where the layout is
// known to be 5.1 (six channels, one of them the LFE: a WAV's channel mask, or
// six channels with no mask, which are taken in the standard order L R C LFE
// Ls Rs): 1.0 for the front channels, 1.41 for the surrounds, 0 for the LFE.
// Empty otherwise (every channel weighs 1.0, as in the chain's own analysis).
std::vector<double> bs1770ChannelWeights (const juce::AudioChannelSet& layout);

namespace kernels
{
//==============================================================================
// K-weighting.

// The two K-weighting stages of BS.1770 at 48 kHz, as tabled in the
// recommendation (direct form I, a0 = 1).
constexpr double kShelf48k[5] = { 1.53512485958697, -2.69169618940638, 1.19839281085285,
                                  -1.69065929318241, 0.73248077421585 };
constexpr double kHighPass48k[5] = { 1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621 };

// At other rates the stages are designed with JUCE: a +4 dB shelf at 1.5 kHz
// and a 38 Hz high-pass, close to the BS.1770 curve.
constexpr float kShelfHz = 1500.0f;
constexpr float kShelfQ = 0.707f;
constexpr float kShelfGainDb = 4.0f;
constexpr float kHighPassHz = 38.0f;
constexpr float kHighPassQ = 0.5f;

inline bool usesFixedKWeighting (double sampleRate) { return std::abs (sampleRate - 48000.0) < 1.0; }

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

// Both stages run per sample: stage 2 reads the same float results of stage 1
// as it would after a whole-channel pass, so fusing them changes nothing.
template <typename Stage>
struct KWeightingPair
{
    Stage shelf, highPass;
    inline float process (float x) noexcept { return highPass.process (shelf.process (x)); }
    inline void run (const float* in, float* out, int n) noexcept
    {
        // A local copy keeps the state in registers: the output stores could
        // otherwise alias float members.
        auto local = *this;
        for (int i = 0; i < n; ++i)
            out[i] = local.process (in[i]);
        *this = local;
    }
};

using FixedKWeighting = KWeightingPair<DirectFormOneStage>;
using DesignedKWeighting = KWeightingPair<juce_arithmetic::Biquad>;

inline FixedKWeighting makeFixedKWeighting() { return { DirectFormOneStage (kShelf48k), DirectFormOneStage (kHighPass48k) }; }

struct KWeightingCoefficients
{
    juce::dsp::IIR::Coefficients<float>::Ptr shelf, highPass;
};

// Allocates the two coefficient objects; called once per measurement.
inline KWeightingCoefficients designKWeighting (double sampleRate)
{
    const float shelfGain = std::pow (10.0f, kShelfGainDb / 20.0f);
    return { juce::dsp::IIR::Coefficients<float>::makeHighShelf (sampleRate, kShelfHz, kShelfQ, shelfGain),
             juce::dsp::IIR::Coefficients<float>::makeHighPass (sampleRate, kHighPassHz, kHighPassQ) };
}

inline DesignedKWeighting makeDesignedKWeighting (const KWeightingCoefficients& c)
{
    return { juce_arithmetic::Biquad (*c.shelf), juce_arithmetic::Biquad (*c.highPass) };
}

//==============================================================================
// Gating blocks.

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

// Adds one channel's block sums, as mean squares, into the block powers.
inline void addChannelPowers (std::vector<double>& blockPower, const std::vector<double>& channelSums, int blockSize)
{
    for (size_t k = 0; k < blockPower.size(); ++k)
        blockPower[k] += channelSums[k] / (double) blockSize;
}
} // namespace kernels

//==============================================================================
// Gating-block powers of the K-weighted channels, taken in blocks of any
// length, in order. The channels are K-weighted in short runs (two side by
// side where the processor allows) straight into the block sums, so no
// K-weighted copy is made; the powers equal those of each channel K-weighted
// whole and summed block by block, bit for bit. Reads only its own state and
// the block, so other streams may run beside it on the same block.
class SibilanceStream;

class LoudnessStream
{
public:
    LoudnessStream (int numChannels, double sampleRate);
    // Blocks of another length and hop, with the same weighting and sums.
    LoudnessStream (int numChannels, double sampleRate, LoudnessBlocks geometry);
    ~LoudnessStream();

    void add (const float* const* channels, int numFrames);
    // The same, and the block into band (of as many channels) in the same
    // loops: the K-weighting's and the band filters' recurrences are each
    // bound by the latency of their operations, so the processor overlaps the
    // two. Each gives the bits it gives alone. The band's frames are counted
    // apart (SibilanceStream::countFrames).
    void add (const float* const* channels, int numFrames, SibilanceStream& band);

    // The powers of the gating blocks completed so far; once every frame is
    // in, those of the whole recording.
    const std::vector<double>& blockPowers() const noexcept { return powers; }
    // Each channel's weight in the sum (bs1770ChannelWeights); empty, the
    // default, is 1.0 for every channel. Set before the first block.
    void setChannelWeights (std::vector<double> weights) { channelWeights = std::move (weights); }
    // Forgets the powers handed out so far: a reader that takes them as they
    // come keeps the stream's memory flat however long the recording.
    void dropBlockPowers() noexcept { powers.clear(); }
    size_t heldBytes() const noexcept;

    struct Group;

private:
    void addWalk (const float* const* channels, int numFrames, SibilanceStream* band);
    void addRange (const float* const* channels, int from, int to, SibilanceStream* band);
    void closeBlock();

    LoudnessBlocks blocks;
    int numChannels = 0;
    std::vector<std::unique_ptr<Group>> groups;
    std::vector<double> openSums; // per channel, the running sums of the open blocks, oldest first
    int maxOpen = 0;
    std::vector<float> runs[2];
    juce::int64 position = 0, nextStart = 0, nextEnd = 0;
    std::vector<double> powers;
    std::vector<double> channelWeights;
};
} // namespace analysis_detail

// Loudness range (EBU Tech 3342) of a recording handed over in blocks of any
// length, in order: the spread between the 10th and 95th percentiles of the
// short-term loudness (3 s windows every 100 ms) that passes an absolute gate
// at -70 LUFS and a relative gate 20 LU below their mean power. Uses the
// integrated loudness's K-weighting and sums; holds a double per 100 ms.
class LoudnessRangeAccumulator
{
public:
    LoudnessRangeAccumulator (int numChannels, double sampleRate);
    ~LoudnessRangeAccumulator();

    void add (const float* const* channels, int numFrames);
    // As LoudnessStream's; set before the first block.
    void setChannelWeights (std::vector<double> weights);

    // The range in LU; empty when the recording is shorter than one window or
    // no window passes the gates.
    std::optional<double> finish() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace tessaloom
