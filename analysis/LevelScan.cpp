#include "analysis/LevelScan.h"
#include "dsp/JuceArithmetic.h"

#include <algorithm>
#include <cmath>

namespace tessaloom
{

using analysis_detail::LevelScan;

namespace
{
// A block is voiced when its RMS lies strictly above three times (about
// 9.5 dB over) the RMS of the block at the tenth percentile.
constexpr double kNoiseFloorPercentile = 0.1;
constexpr double kVoicedOverFloor = 3.0;
// Stands in for the power of a missing class of blocks (no voiced or no unvoiced ones).
constexpr double kNoPower = 1e-30;

// The crest factor's classes, by their upper bounds in dB.
constexpr double kCompressedBelowDb = 6.0;
constexpr double kWellCompressedBelowDb = 12.0;
constexpr double kModerateBelowDb = 18.0;

// Mean square of block k over all channels; 0 for a block without samples.
double blockPower (const LevelScan& scan, size_t k, int numChannels)
{
    if (k >= scan.blockSums.size())
        return 0.0;
    const auto denominator = (double) scan.blockLengths[k] * numChannels;
    return denominator >= 1.0 ? scan.blockSums[k] / denominator : 0.0;
}

template <bool Crest>
inline void scanRun (const float* x, int n, double& blockSum, double& sumOfSquares, float& peak) noexcept
{
   #if TESSALOOM_SSE2
    if constexpr (Crest)
    {
        // The two sums side by side, [block, channel]: both lanes add the same
        // squares in sample order, one addition per sample where there were
        // two. The peak is a maximum, which no order changes: four lanes, a
        // NaN kept out as std::max keeps it out (maxps hands back its second
        // operand, the running peak, when the sample is NaN).
        __m128d sums = _mm_setr_pd (blockSum, sumOfSquares);
        const __m128 magnitude = _mm_castsi128_ps (_mm_set1_epi32 (0x7fffffff));
        __m128 highest = _mm_set1_ps (peak);
        int i = 0;
        for (; i + 4 <= n; i += 4)
        {
            const __m128 v = _mm_loadu_ps (x + i);
            highest = _mm_max_ps (_mm_and_ps (v, magnitude), highest);
            const __m128d lo = _mm_cvtps_pd (v);
            const __m128d hi = _mm_cvtps_pd (_mm_movehl_ps (v, v));
            const __m128d sqLo = _mm_mul_pd (lo, lo), sqHi = _mm_mul_pd (hi, hi);
            sums = _mm_add_pd (sums, _mm_unpacklo_pd (sqLo, sqLo));
            sums = _mm_add_pd (sums, _mm_unpackhi_pd (sqLo, sqLo));
            sums = _mm_add_pd (sums, _mm_unpacklo_pd (sqHi, sqHi));
            sums = _mm_add_pd (sums, _mm_unpackhi_pd (sqHi, sqHi));
        }
        for (; i < n; ++i)
        {
            const __m128 v = _mm_set_ss (x[i]);
            highest = _mm_max_ps (_mm_and_ps (v, magnitude), highest); // the other lanes meet +0
            const __m128d d = _mm_cvtps_pd (v);
            const __m128d sq = _mm_mul_pd (d, d);
            sums = _mm_add_pd (sums, _mm_unpacklo_pd (sq, sq));
        }
        alignas (16) float lanes[4];
        _mm_store_ps (lanes, highest);
        float p = peak;
        for (const float lane : lanes)
            p = std::max (p, lane);
        blockSum = _mm_cvtsd_f64 (sums);
        sumOfSquares = _mm_cvtsd_f64 (_mm_unpackhi_pd (sums, sums));
        peak = p;
        return;
    }
   #endif
    // Two separate running sums, each in sample order: the block's and the
    // channel's. They are independent, so the processor overlaps them.
    double b = blockSum, s = sumOfSquares;
    float p = peak;
    for (int i = 0; i < n; ++i)
    {
        const double v = x[i];
        const double sq = v * v;
        b += sq;
        if constexpr (Crest)
        {
            s += sq;
            p = std::max (p, std::abs (x[i]));
        }
    }
    blockSum = b;
    sumOfSquares = s;
    peak = p;
}
} // namespace

analysis_detail::LevelStream::LevelStream (int channels, int size, bool crest)
    : numChannels (channels), blockSize (std::max (0, size)), withCrest (crest), channelSums ((size_t) channels, 0.0)
{
}

size_t analysis_detail::LevelStream::heldBytes() const noexcept
{
    return blockSums.capacity() * sizeof (double) + held.capacity() * sizeof (float);
}

// One whole block: its sum of squares runs through channel 0's samples, then
// channel 1's and so on, as the block's sum over the whole buffer does. Each
// channel's crest sum runs on in sample order.
void analysis_detail::LevelStream::scanBlock (const float* const* channels, int from, int length)
{
    double sum = 0.0;
    for (int c = 0; c < numChannels; ++c)
    {
        if (withCrest)
            scanRun<true> (channels[c] + from, length, sum, channelSums[(size_t) c], samplePeak);
        else
            scanRun<false> (channels[c] + from, length, sum, channelSums[(size_t) c], samplePeak);
    }
    blockSums.push_back (sum);
}

// Keeps samples of a block that the next call completes (at most one block).
void analysis_detail::LevelStream::hold (const float* const* channels, int from, int length)
{
    if (held.empty())
        held.resize ((size_t) numChannels * (size_t) blockSize);
    for (int c = 0; c < numChannels; ++c)
        std::copy (channels[c] + from, channels[c] + from + length, held.data() + (size_t) c * (size_t) blockSize + (size_t) heldFrames);
    heldFrames += length;
}

void analysis_detail::LevelStream::add (const float* const* channels, int numFrames, bool last)
{
    if (numFrames <= 0)
        return;
    frames += numFrames;
    if (blockSize < 1)
    {
        // No blocks: the crest factor's sums only.
        double unused = 0.0;
        for (int c = 0; c < numChannels && withCrest; ++c)
            scanRun<true> (channels[c], numFrames, unused, channelSums[(size_t) c], samplePeak);
        return;
    }

    int i = 0;
    if (heldFrames > 0)
    {
        i = std::min (numFrames, blockSize - heldFrames);
        hold (channels, 0, i);
        if (heldFrames < blockSize)
            return;
        scanHeld();
    }
    for (; numFrames - i >= blockSize; i += blockSize)
        scanBlock (channels, i, blockSize);
    if (i == numFrames)
        return;
    if (last)
        scanBlock (channels, i, numFrames - i); // the whole buffer's last block, no copy
    else
        hold (channels, i, numFrames - i);
}

void analysis_detail::LevelStream::scanHeld()
{
    std::vector<const float*> heldChannels ((size_t) numChannels);
    for (int c = 0; c < numChannels; ++c)
        heldChannels[(size_t) c] = held.data() + (size_t) c * (size_t) blockSize;
    scanBlock (heldChannels.data(), 0, heldFrames);
    heldFrames = 0;
}

analysis_detail::LevelScan analysis_detail::LevelStream::finish()
{
    if (heldFrames > 0)
        scanHeld();

    LevelScan scan;
    scan.blockSize = blockSize;
    scan.blockSums = std::move (blockSums);
    // Every block is whole but the last.
    scan.blockLengths.assign (scan.blockSums.size(), blockSize);
    if (! scan.blockLengths.empty())
        scan.blockLengths.back() = (int) (frames - (juce::int64) (scan.blockLengths.size() - 1) * blockSize);
    // The channels' sums are added in channel order, so that each one can run
    // on by itself from block to block.
    for (const double s : channelSums)
        scan.sumOfSquares += s;
    scan.samplePeak = samplePeak;
    return scan;
}

VoiceActivityMeasurement analysis_detail::voiceActivityFromScan (const LevelScan& scan, int numChannels)
{
    const size_t numBlocks = scan.blockSums.size();
    std::vector<double> rms (numBlocks);
    for (size_t k = 0; k < numBlocks; ++k)
        rms[k] = std::sqrt (blockPower (scan, k, numChannels));

    VoiceActivityMeasurement m;
    if (numBlocks > 0)
    {
        // Only the value at the percentile position is needed, not the whole order.
        // A block holding a NaN sample has a NaN RMS; it sorts last, so the
        // ordering stays strict and the selection cannot run off the array.
        auto sorted = rms;
        const auto p = std::max (0, (int) ((double) numBlocks * kNoiseFloorPercentile));
        const auto nanLast = [] (double a, double b) { return a < b || (! std::isnan (a) && std::isnan (b)); };
        std::nth_element (sorted.begin(), sorted.begin() + p, sorted.end(), nanLast);
        m.noiseFloorRms = sorted[(size_t) p];
    }

    m.thresholdRms = m.noiseFloorRms * kVoicedOverFloor;
    m.voicedBlocks.resize (numBlocks);
    for (size_t k = 0; k < numBlocks; ++k)
    {
        m.voicedBlocks[k] = rms[k] > m.thresholdRms;
        m.numVoiced += m.voicedBlocks[k] ? 1 : 0;
    }
    return m;
}

SnrMeasurement analysis_detail::snrFromScan (const LevelScan& scan, const std::vector<bool>& voiced, int numChannels)
{
    const size_t n = voiced.size();
    SnrMeasurement m;
    double signalSum = 0.0, noiseSum = 0.0;

    for (size_t k = 0; k < n; ++k)
    {
        const double power = blockPower (scan, k, numChannels);
        if (voiced[k])
        {
            signalSum += power;
            ++m.signalBlocks;
        }
        else
        {
            noiseSum += power;
            ++m.noiseBlocks;
        }
    }

    m.voicedPercent = n >= 1 ? (double) m.signalBlocks / (double) n * 100.0 : 0.0;
    const double signalPower = m.signalBlocks >= 1 ? signalSum / m.signalBlocks : kNoPower;
    const double noisePower = m.noiseBlocks >= 1 ? noiseSum / m.noiseBlocks : kNoPower;

    m.snrDb = 10.0 * std::log10 (signalPower / std::max (kNoPower, noisePower));
    m.noiseFloorDbfs = noisePower > kNoPower ? 10.0 * std::log10 (noisePower) : kNoLevelDb;
    return m;
}

CrestFactorMeasurement analysis_detail::crestFactorFromScan (const LevelScan& scan, int numChannels, int numSamples)
{
    CrestFactorMeasurement m;
    m.samplePeakLinear = scan.samplePeak;

    const auto count = (juce::int64) numChannels * numSamples;
    if (numChannels > 0 && count >= 1)
    {
        m.rmsLinear = std::sqrt (scan.sumOfSquares / (double) count);
        const double peak = m.samplePeakLinear;
        m.crestDb = (m.rmsLinear > kSilenceAmplitude && peak > kSilenceAmplitude) ? 20.0 * std::log10 (peak / m.rmsLinear) : 0.0;
    }

    m.dynamicsClass = crestClass (m.crestDb);
    return m;
}

const char* analysis_detail::crestClass (double crestDb)
{
    if (crestDb < kCompressedBelowDb) return "Heavily Compressed";
    if (crestDb < kWellCompressedBelowDb) return "Well-Compressed";
    if (crestDb < kModerateBelowDb) return "Moderate Dynamic Range";
    return "Wide Dynamic Range";
}

} // namespace tessaloom
