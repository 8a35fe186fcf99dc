#include "analysis/Loudness.h"
#include "analysis/Sibilance.h"

#include <type_traits>

namespace tessaloom
{

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

analysis_detail::LoudnessBlocks analysis_detail::loudnessHopBlocks (double sampleRate)
{
    LoudnessBlocks b;
    b.blockSize = (int) (sampleRate * kLoudnessHopSeconds);
    b.hop = std::max (1, b.blockSize);
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
    // As run, and the same channels' samples through band's filters: in the
    // same loop where a group has that form, else one after the other.
    virtual void runWithBand (const float* const* channels, int pos, int n, float* out0, float* out1,
                              analysis_detail::SibilanceStream& band) noexcept
    {
        run (channels, pos, n, out0, out1);
        for (int c = first; c < first + count; ++c)
            band.addChannel (c, channels[c] + pos, n);
    }
    // As runWithBand, and the weighted samples' squares added into each
    // channel's openCount open block sums (sums[c - first]), in sample order.
    // Where a group adds them in its own loop no weighted copy is stored and
    // read back; the sums are the same either way.
    virtual void runWithBandIntoSums (const float* const* channels, int pos, int n, float* out0, float* out1,
                                      analysis_detail::SibilanceStream& band, double* const* sums, int openCount) noexcept;
};

namespace
{
// fn (std::integral_constant<int, k>) for openCount k up to the most a 400 ms
// block over 100 ms hops leaves open (plus one); false for more, which the
// caller handles with the stored copy.
template <typename Fn>
inline bool withOpenCount (int openCount, Fn&& fn)
{
    switch (openCount)
    {
        case 0: fn (std::integral_constant<int, 0>()); return true;
        case 1: fn (std::integral_constant<int, 1>()); return true;
        case 2: fn (std::integral_constant<int, 2>()); return true;
        case 3: fn (std::integral_constant<int, 3>()); return true;
        case 4: fn (std::integral_constant<int, 4>()); return true;
        case 5: fn (std::integral_constant<int, 5>()); return true;
        default: return false;
    }
}

#if TESSALOOM_SSE2
// kernels::addSquares with the open blocks' sums two to a register, [block
// 2k, block 2k + 1], and two samples squared at a time: every lane still adds
// its block's squares one by one in sample order, so each sum has the same
// bits (an odd count's spare lane is dropped).
template <int Active>
inline void addSquaresPaired (const float* x, int n, double* sums) noexcept
{
    constexpr int Pairs = (Active + 1) / 2;
    __m128d s[Pairs];
    for (int k = 0; k < Pairs; ++k)
        s[k] = _mm_setr_pd (sums[2 * k], 2 * k + 1 < Active ? sums[2 * k + 1] : 0.0);
    int i = 0;
    for (; i + 2 <= n; i += 2)
    {
        const __m128d v = _mm_cvtps_pd (_mm_castsi128_ps (_mm_loadl_epi64 (reinterpret_cast<const __m128i*> (x + i))));
        const __m128d sq = _mm_mul_pd (v, v);
        const __m128d first = _mm_unpacklo_pd (sq, sq), second = _mm_unpackhi_pd (sq, sq);
        for (int k = 0; k < Pairs; ++k)
            s[k] = _mm_add_pd (s[k], first);
        for (int k = 0; k < Pairs; ++k)
            s[k] = _mm_add_pd (s[k], second);
    }
    for (; i < n; ++i)
    {
        const __m128d v = _mm_set1_pd ((double) x[i]);
        const __m128d sq = _mm_mul_pd (v, v);
        for (int k = 0; k < Pairs; ++k)
            s[k] = _mm_add_pd (s[k], sq);
    }
    for (int k = 0; k < Pairs; ++k)
    {
        sums[2 * k] = _mm_cvtsd_f64 (s[k]);
        if (2 * k + 1 < Active)
            sums[2 * k + 1] = _mm_cvtsd_f64 (_mm_unpackhi_pd (s[k], s[k]));
    }
}
#endif

// The squares of a weighted run into its channel's open block sums.
inline void addRunSquares (const float* x, int n, double* sums, int openCount) noexcept
{
   #if TESSALOOM_SSE2
    if (openCount > 0 && withOpenCount (openCount, [&] (auto active)
        {
            if constexpr (decltype (active)::value > 0)
                addSquaresPaired<decltype (active)::value> (x, n, sums);
        }))
        return;
   #endif
    kernels::addSquares (x, n, sums, openCount);
}
} // namespace

void analysis_detail::LoudnessStream::Group::runWithBandIntoSums (const float* const* channels, int pos, int n, float* out0, float* out1,
                                                                  SibilanceStream& band, double* const* sums, int openCount) noexcept
{
    runWithBand (channels, pos, n, out0, out1, band);
    addRunSquares (out0, n, sums[0], openCount);
    if (count > 1)
        addRunSquares (out1, n, sums[1], openCount);
}

namespace
{
#if TESSALOOM_SSE2
// weigh (i) for every i in [0, n), and the band filters of the same channels
// stepped through the same samples in the same loop (SibilancePairSteps; a
// lone channel's pair lanes fed zeros). The two recurrences share nothing, so
// each gives its own bits; the processor overlaps their latencies.
template <bool Paired, typename Weigh>
inline void weighBesideBand (analysis_detail::SibilancePairSteps& band, const float* a, const float* b, int n, Weigh&& weigh) noexcept
{
    if (n <= 0)
        return;
    // A local copy stays in registers: the caller's escapes to a call after the loop.
    auto steps = band;
    const auto at = [b] (int t) { return Paired ? b[t] : 0.0f; };
    steps.begin (a[0], at (0));
    weigh (0);
    if (n > 1)
    {
        steps.stepFirst (a[1], at (1));
        for (int i = 1; i + 1 < n; ++i)
        {
            weigh (i);
            steps.step (a[i + 1], at (i + 1));
        }
        weigh (n - 1);
    }
    steps.end (n);
    band = steps;
}
#endif

template <typename Weighting>
struct OneChannel final : analysis_detail::LoudnessStream::Group
{
    Weighting weighting;
    OneChannel (int channel, Weighting w) : weighting (w) { first = channel; count = 1; }
    void run (const float* const* channels, int pos, int n, float* out0, float*) noexcept override
    {
        weighting.run (channels[first] + pos, out0, n);
    }

    void runWithBand (const float* const* channels, int pos, int n, float* out0, float* out1,
                      analysis_detail::SibilanceStream& band) noexcept override
    {
       #if TESSALOOM_SSE2
        if constexpr (std::is_same_v<Weighting, kernels::FixedKWeighting>)
        {
            auto steps = band.pairSteps (first);
            auto local = weighting;
            const float* x = channels[first] + pos;
            weighBesideBand<false> (steps, x, nullptr, n, [&] (int i) { out0[i] = local.process (x[i]); });
            weighting = local;
            band.keep (first, steps);
            return;
        }
       #endif
        Group::runWithBand (channels, pos, n, out0, out1, band);
    }

    // A lone channel keeps the stored copy (Group::runWithBandIntoSums): its
    // loop with the sums in it took fewer instructions but more time.
};

#if TESSALOOM_SSE2
// The K-weighting of two channels side by side in the two lanes of one
// register. Every lane does the IEEE operations of the one-channel filter in
// the same order (SSE2 has no fused multiply-add), so each channel's output is
// bit for bit the same; the two independent recurrences cost about the time of one.
struct FixedKWeightingTwoChannels
{
    struct Stage
    {
        __m128d b0, b1, b2, a1, a2;
        __m128d x1 = _mm_setzero_pd(), x2 = _mm_setzero_pd(), y1 = _mm_setzero_pd(), y2 = _mm_setzero_pd();

        explicit Stage (const double (&c)[5])
            : b0 (_mm_set1_pd (c[0])), b1 (_mm_set1_pd (c[1])), b2 (_mm_set1_pd (c[2])), a1 (_mm_set1_pd (c[3])), a2 (_mm_set1_pd (c[4])) {}

        // b0·x + b1·x1 + b2·x2 - a1·y1 - a2·y2, left to right.
        inline __m128d process (__m128d x) noexcept
        {
            __m128d y = _mm_add_pd (_mm_mul_pd (b0, x), _mm_mul_pd (b1, x1));
            y = _mm_add_pd (y, _mm_mul_pd (b2, x2));
            y = _mm_sub_pd (y, _mm_mul_pd (a1, y1));
            y = _mm_sub_pd (y, _mm_mul_pd (a2, y2));
            x2 = x1; x1 = x;
            y2 = y1; y1 = y;
            return y;
        }
    };

    Stage shelf { kernels::kShelf48k }, highPass { kernels::kHighPass48k };

    // [a[i], b[i]] weighted, as floats in the two low lanes.
    inline __m128 weigh (int i, const float* a, const float* b) noexcept
    {
        const __m128d x = _mm_cvtps_pd (_mm_setr_ps (a[i], b[i], 0.0f, 0.0f));
        // The shelf's output is rounded to float, as the high-pass reads it.
        const __m128d between = _mm_cvtps_pd (_mm_cvtpd_ps (shelf.process (x)));
        return _mm_cvtpd_ps (highPass.process (between));
    }

    inline void at (int i, const float* a, const float* b, float* outA, float* outB) noexcept
    {
        const __m128 y = weigh (i, a, b);
        outA[i] = _mm_cvtss_f32 (y);
        outB[i] = _mm_cvtss_f32 (_mm_shuffle_ps (y, y, _MM_SHUFFLE (1, 1, 1, 1)));
    }

    inline void run (const float* a, const float* b, float* outA, float* outB, int n) noexcept
    {
        auto local = *this;
        for (int i = 0; i < n; ++i)
            local.at (i, a, b, outA, outB);
        *this = local;
    }

    inline void runWithBand (const float* a, const float* b, float* outA, float* outB, int n,
                             analysis_detail::SibilancePairSteps& band) noexcept
    {
        auto local = *this;
        weighBesideBand<true> (band, a, b, n, [&] (int i) { local.at (i, a, b, outA, outB); });
        *this = local;
    }
};

struct DesignedKWeightingTwoChannels
{
    juce_arithmetic::BiquadLanes shelf, highPass;

    explicit DesignedKWeightingTwoChannels (const kernels::KWeightingCoefficients& c) : shelf (*c.shelf), highPass (*c.highPass) {}

    inline void at (int i, const float* a, const float* b, float* outA, float* outB) noexcept
    {
        const __m128 y = highPass.process (shelf.process (_mm_setr_ps (a[i], b[i], 0.0f, 0.0f)));
        outA[i] = _mm_cvtss_f32 (y);
        outB[i] = _mm_cvtss_f32 (_mm_shuffle_ps (y, y, _MM_SHUFFLE (1, 1, 1, 1)));
    }

    inline void run (const float* a, const float* b, float* outA, float* outB, int n) noexcept
    {
        auto local = *this;
        for (int i = 0; i < n; ++i)
            local.at (i, a, b, outA, outB);
        *this = local;
    }

    inline void runWithBand (const float* a, const float* b, float* outA, float* outB, int n,
                             analysis_detail::SibilancePairSteps& band) noexcept
    {
        auto local = *this;
        weighBesideBand<true> (band, a, b, n, [&] (int i) { local.at (i, a, b, outA, outB); });
        *this = local;
    }
};
#endif

#if TESSALOOM_SSE2
// A lone channel's two designed stages (JUCE's section in single precision)
// side by side in two of the four float lanes, [shelf, high-pass], as a
// wavefront: at step t the shelf lane runs sample t and the high-pass lane
// sample t - 1, fed the shelf's output of step t - 1. Each lane does the
// section's operations in its order, so every output is the one-channel
// filter's bit for bit. The first step has no high-pass sample and the last no
// shelf one: those lanes keep their state. (The fixed 48 kHz stages stay one
// after another: there the next sample's sum starts with b0 times the shelf's
// output rounded to float, so a wavefront would wait on two conversions and
// the whole sum every step; it took a quarter fewer instructions and more time.)
struct DesignedKWeightingWavefront
{
    __m128 b0, b1, b2, a1, a2;
    __m128 v1 = _mm_setzero_ps(), v2 = _mm_setzero_ps();

    explicit DesignedKWeightingWavefront (const kernels::KWeightingCoefficients& c)
    {
        const auto s = juce_arithmetic::BiquadSection::of (*c.shelf);
        const auto h = juce_arithmetic::BiquadSection::of (*c.highPass);
        b0 = _mm_setr_ps (s.b0, h.b0, 0.0f, 0.0f); b1 = _mm_setr_ps (s.b1, h.b1, 0.0f, 0.0f);
        b2 = _mm_setr_ps (s.b2, h.b2, 0.0f, 0.0f); a1 = _mm_setr_ps (s.a1, h.a1, 0.0f, 0.0f);
        a2 = _mm_setr_ps (s.a2, h.a2, 0.0f, 0.0f);
    }

    inline void run (const float* in, float* out, int n) noexcept
    {
        if (n <= 0)
            return;
        auto l = *this;
        const __m128 shelfOnly = _mm_castsi128_ps (_mm_setr_epi32 (-1, 0, 0, 0));
        const __m128 highPassOnly = _mm_castsi128_ps (_mm_setr_epi32 (0, -1, 0, 0));
        __m128 x = _mm_set_ss (in[0]);

        const auto step = [&] (int t, const __m128* active)
        {
            const __m128 y = _mm_add_ps (_mm_mul_ps (x, l.b0), l.v1);
            const __m128 n1 = _mm_add_ps (_mm_sub_ps (_mm_mul_ps (x, l.b1), _mm_mul_ps (y, l.a1)), l.v2);
            const __m128 n2 = _mm_sub_ps (_mm_mul_ps (x, l.b2), _mm_mul_ps (y, l.a2));
            if (active == nullptr)
            {
                l.v1 = n1;
                l.v2 = n2;
            }
            else
            {
                l.v1 = _mm_or_ps (_mm_and_ps (*active, n1), _mm_andnot_ps (*active, l.v1));
                l.v2 = _mm_or_ps (_mm_and_ps (*active, n2), _mm_andnot_ps (*active, l.v2));
            }
            if (t >= 1)
                out[t - 1] = _mm_cvtss_f32 (_mm_shuffle_ps (y, y, _MM_SHUFFLE (1, 1, 1, 1)));
            // [next sample, the shelf's output]
            x = _mm_unpacklo_ps (_mm_set_ss (t + 1 < n ? in[t + 1] : 0.0f), y);
        };

        step (0, &shelfOnly);
        for (int t = 1; t < n; ++t)
            step (t, nullptr);
        step (n, &highPassOnly);
        *this = l;
    }
};

template <typename Weighting>
struct TwoChannels final : analysis_detail::LoudnessStream::Group
{
    Weighting weighting;
    TwoChannels (int channel, Weighting w) : weighting (w) { first = channel; count = 2; }
    void run (const float* const* channels, int pos, int n, float* out0, float* out1) noexcept override
    {
        weighting.run (channels[first] + pos, channels[first + 1] + pos, out0, out1, n);
    }

    void runWithBand (const float* const* channels, int pos, int n, float* out0, float* out1,
                      analysis_detail::SibilanceStream& band) noexcept override
    {
        auto steps = band.pairSteps (first);
        weighting.runWithBand (channels[first] + pos, channels[first + 1] + pos, out0, out1, n, steps);
        band.keep (first, steps);
    }

    void runWithBandIntoSums (const float* const* channels, int pos, int n, float* out0, float* out1,
                              analysis_detail::SibilanceStream& band, double* const* sums, int openCount) noexcept override
    {
        if constexpr (std::is_same_v<Weighting, FixedKWeightingTwoChannels>)
        {
            const float* a = channels[first] + pos;
            const float* b = channels[first + 1] + pos;
            const bool done = withOpenCount (openCount, [&] (auto active)
            {
                constexpr int Active = decltype (active)::value;
                // Block k's two sums side by side, [channel a, channel b]: each
                // lane adds its channel's squares in sample order, as addSquares does.
                __m128d s[Active > 0 ? Active : 1];
                for (int k = 0; k < Active; ++k)
                    s[k] = _mm_setr_pd (sums[0][k], sums[1][k]);
                auto steps = band.pairSteps (first);
                auto local = weighting;
                weighBesideBand<true> (steps, a, b, n, [&] (int i)
                {
                    const __m128d v = _mm_cvtps_pd (local.weigh (i, a, b));
                    const __m128d sq = _mm_mul_pd (v, v);
                    for (int k = 0; k < Active; ++k)
                        s[k] = _mm_add_pd (s[k], sq);
                });
                weighting = local;
                band.keep (first, steps);
                for (int k = 0; k < Active; ++k)
                {
                    sums[0][k] = _mm_cvtsd_f64 (s[k]);
                    sums[1][k] = _mm_cvtsd_f64 (_mm_unpackhi_pd (s[k], s[k]));
                }
            });
            if (done)
                return;
        }
        Group::runWithBandIntoSums (channels, pos, n, out0, out1, band, sums, openCount);
    }
};
#endif

// The channels in pairs where two run side by side, the rest one by one.
std::vector<std::unique_ptr<analysis_detail::LoudnessStream::Group>> makeWeightingGroups (int numChannels, double sampleRate)
{
    std::vector<std::unique_ptr<analysis_detail::LoudnessStream::Group>> groups;
    const bool fixed = kernels::usesFixedKWeighting (sampleRate);
    kernels::KWeightingCoefficients designed;
    if (! fixed && numChannels > 0)
        designed = kernels::designKWeighting (sampleRate);

    for (int ch = 0; ch < numChannels;)
    {
       #if TESSALOOM_SSE2
        if (ch + 1 < numChannels)
        {
            if (fixed)
                groups.push_back (std::make_unique<TwoChannels<FixedKWeightingTwoChannels>> (ch, FixedKWeightingTwoChannels()));
            else
                groups.push_back (std::make_unique<TwoChannels<DesignedKWeightingTwoChannels>> (
                    ch, DesignedKWeightingTwoChannels (designed)));
            ch += 2;
            continue;
        }
        // A lone channel: the designed stages side by side (see DesignedKWeightingWavefront).
        if (fixed)
            groups.push_back (std::make_unique<OneChannel<kernels::FixedKWeighting>> (ch, kernels::makeFixedKWeighting()));
        else
            groups.push_back (std::make_unique<OneChannel<DesignedKWeightingWavefront>> (ch, DesignedKWeightingWavefront (designed)));
       #else
        if (fixed)
            groups.push_back (std::make_unique<OneChannel<kernels::FixedKWeighting>> (ch, kernels::makeFixedKWeighting()));
        else
            groups.push_back (std::make_unique<OneChannel<kernels::DesignedKWeighting>> (ch, kernels::makeDesignedKWeighting (designed)));
       #endif
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
    addWalk (channels, numFrames, nullptr);
}

void analysis_detail::LoudnessStream::add (const float* const* channels, int numFrames, SibilanceStream& band)
{
    if (! band.isMeasurable())
        return add (channels, numFrames);
    if (blocks.blockSize < 1)
    {
        // Nothing to weight: the band by itself.
        for (int c = 0; c < numChannels; ++c)
            band.addChannel (c, channels[c], numFrames);
        return;
    }
    addWalk (channels, numFrames, &band);
}

void analysis_detail::LoudnessStream::addWalk (const float* const* channels, int numFrames, SibilanceStream* band)
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
            addRange (channels, i, i + n, band);
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

void analysis_detail::LoudnessStream::addRange (const float* const* channels, int from, int to, SibilanceStream* band)
{
    const int openCount = (int) (nextStart - nextEnd);
    for (int pos = from; pos < to; pos += kRunSamples)
    {
        const int n = std::min (kRunSamples, to - pos);
        for (auto& g : groups)
        {
            double* sums[2] = { openSums.data() + (size_t) (g->first * maxOpen),
                                openSums.data() + (size_t) ((g->first + g->count - 1) * maxOpen) };
            if (band != nullptr)
            {
                g->runWithBandIntoSums (channels, pos, n, runs[0].data(), runs[1].data(), *band, sums, openCount);
                continue;
            }
            g->run (channels, pos, n, runs[0].data(), runs[1].data());
            for (int c = 0; c < g->count; ++c)
                kernels::addSquares (runs[c].data(), n, sums[c], openCount);
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
        if (channelWeights.empty())
            power += sums[0] / (double) blocks.blockSize;
        else
            power += channelWeights[(size_t) c] * (sums[0] / (double) blocks.blockSize);
        std::copy (sums + 1, sums + maxOpen, sums);
    }
    powers.push_back (power);
    ++nextEnd;
}

//==============================================================================
// Loudness range.

namespace
{
constexpr int kHopsPerWindow = 30;            // 3 s short-term windows of 100 ms hops
constexpr double kRangeRelativeGateLu = -20.0;
constexpr double kLowPercentile = 0.10, kHighPercentile = 0.95;
} // namespace

struct LoudnessRangeAccumulator::State
{
    State (int channels, double rate) : hops (channels, rate, analysis_detail::loudnessHopBlocks (rate)) {}
    analysis_detail::LoudnessStream hops;
};

LoudnessRangeAccumulator::LoudnessRangeAccumulator (int numChannels, double sampleRate)
    : state (std::make_unique<State> (numChannels, sampleRate))
{
}

LoudnessRangeAccumulator::~LoudnessRangeAccumulator() = default;

void LoudnessRangeAccumulator::add (const float* const* channels, int numFrames)
{
    state->hops.add (channels, numFrames);
}

void LoudnessRangeAccumulator::setChannelWeights (std::vector<double> weights)
{
    state->hops.setChannelWeights (std::move (weights));
}

std::vector<double> analysis_detail::bs1770ChannelWeights (const juce::AudioChannelSet& layout)
{
    if (layout.size() != 6 || layout.getChannelIndexForType (juce::AudioChannelSet::LFE) < 0)
        return {};
    std::vector<double> weights;
    for (int c = 0; c < layout.size(); ++c)
    {
        switch (layout.getTypeOfChannel (c))
        {
            case juce::AudioChannelSet::LFE:
            case juce::AudioChannelSet::LFE2:
                weights.push_back (0.0);
                break;
            case juce::AudioChannelSet::leftSurround:
            case juce::AudioChannelSet::rightSurround:
            case juce::AudioChannelSet::leftSurroundSide:
            case juce::AudioChannelSet::rightSurroundSide:
                weights.push_back (kSurroundChannelWeight);
                break;
            default:
                weights.push_back (1.0);
                break;
        }
    }
    return weights;
}

std::optional<double> LoudnessRangeAccumulator::finish() const
{
    using namespace analysis_detail;
    const auto& hopPowers = state->hops.blockPowers(); // mean squares of each hop, summed over the channels
    if ((int) hopPowers.size() < kHopsPerWindow)
        return std::nullopt;

    // Each window's power is the mean of its hops' (equal lengths), taken as a running sum.
    std::vector<double> windows;
    windows.reserve (hopPowers.size() - kHopsPerWindow + 1);
    double running = 0.0;
    for (size_t i = 0; i < hopPowers.size(); ++i)
    {
        running += hopPowers[i];
        if (i + 1 >= (size_t) kHopsPerWindow)
        {
            windows.push_back (std::max (0.0, running) / kHopsPerWindow);
            running -= hopPowers[i + 1 - kHopsPerWindow];
        }
    }

    const auto loudness = [] (double power) { return 10.0 * std::log10 (power) + kLoudnessOffsetLu; };
    const double absoluteGatePower = std::pow (10.0, (kAbsoluteGateLufs - kLoudnessOffsetLu) / 10.0);

    std::vector<double> gated;
    double sum = 0.0;
    for (const double p : windows)
        if (p > absoluteGatePower)
        {
            gated.push_back (p);
            sum += p;
        }
    if (gated.empty())
        return std::nullopt;

    const double relativeGate = loudness (sum / (double) gated.size()) + kRangeRelativeGateLu;
    std::vector<double> kept;
    for (const double p : gated)
        if (loudness (p) > relativeGate)
            kept.push_back (p);
    if (kept.empty())
        return std::nullopt;

    std::sort (kept.begin(), kept.end());
    const auto at = [&] (double fraction) { return kept[(size_t) ((double) (kept.size() - 1) * fraction + 0.5)]; };
    return loudness (at (kHighPercentile)) - loudness (at (kLowPercentile));
}

} // namespace tessaloom
