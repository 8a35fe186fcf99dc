#include "pipeline/stages/TruePeakLimiter.h"

#include <algorithm>
#include <cmath>

namespace tessaloom
{

namespace stages
{
namespace
{
// Frames a resting run takes in at once: at most, and at first after a frame
// that could reach the threshold.
constexpr int kRestingChunk = 1024;
constexpr int kShortestRestingChunk = 32;

int nextPowerOfTwo (int n)
{
    int p = 1;
    while (p < n)
        p <<= 1;
    return p;
}
} // namespace

TruePeakLimiterDesign designTruePeakLimiter (const TruePeakLimiterParameters& parameters, double sampleRate)
{
    TruePeakLimiterDesign d;
    d.ceilingDbtp = parameters.ceilingDbtp;
    d.threshold = juce::Decibels::decibelsToGain (parameters.ceilingDbtp - parameters.marginDb, -200.0f);
    // The ramp is at least as long as the interpolator's reach, so the delay line holds what it reads.
    d.lookahead = std::max (TruePeakLimiterDesign::taps / 2, (int) std::lround (sampleRate * parameters.lookaheadMs / 1000.0));
    const double releaseSamples = sampleRate * parameters.releaseMs / 1000.0;
    d.releaseCoefficient = releaseSamples > 0.0 ? (float) std::exp (-1.0 / releaseSamples) : 0.0f;

    auto kernel = true_peak_parts::designInterpolation();
    d.interpolation = std::move (kernel.rows);
    d.interpolationGainBound = kernel.gainBound;
    return d;
}

TruePeakLimiter::TruePeakLimiter (const TruePeakLimiterDesign& d, int channels)
    : design (d), numChannels (std::max (0, channels)), interpolator (design.interpolation),
      gate (TruePeakLimiterDesign::taps + 1), hold (design.lookahead), ramp (design.lookahead, design.releaseCoefficient)
{
    jassert (channels >= 0); // a count of channels, not a failure code
    jassert (design.lookahead >= TruePeakLimiterDesign::taps / 2); // a design from designTruePeakLimiter: the delay line must hold what the interpolation reads
    constexpr int K = TruePeakLimiterDesign::taps;
    static_assert (K + 1 == true_peak_parts::kGateWindow, "the gate reads a frame and the K before it");
    // Room for a run of resting frames taken in at once before the frames a latency behind them leave.
    // A power of two, so that a position wraps with a mask, not a division per frame.
    ringSize = nextPowerOfTwo (design.latency() + K + 2 + kRestingChunk);
    rings.assign ((size_t) numChannels * (size_t) ringSize * 2, 0.0f);
    framePeaks.assign ((size_t) ringSize, 0.0f);
    peakOfGainFrame.assign ((size_t) ringSize, 0.0f);
    restingChunkFrames = kShortestRestingChunk;
    windowScratch.assign ((size_t) (2 * (kRestingChunk + K)), 0.0f);
}

float TruePeakLimiter::peakOfFrame (juce::int64 n) const noexcept
{
    // The sample itself and the points between it and the next, over every channel.
    constexpr int K = TruePeakLimiterDesign::taps;
    const int start = (int) ((n - (K / 2 - 1)) & (ringSize - 1));
    float peak = 0.0f;
    for (int c = 0; c < numChannels; ++c)
        peak = std::max (peak, interpolator.peakOfSpan (rings.data() + (size_t) c * (size_t) ringSize * 2 + (size_t) start));
    return peak;
}

// One frame in: the frame K/2 before it gets its peak and needed gain.
void TruePeakLimiter::push (const float* const* in, int index, bool silent) noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    const float windowPeak = take (in, index, silent);
    const juce::int64 n = pushed - 1 - K / 2;
    if (n >= 0)
        decide (n, windowPeak);
}

// Stores the frame and returns the gate: the largest |sample| of the frames
// the points of the frame K/2 before it read (frames m - K .. m, every sample
// the points of frames n - 1 and n read).
float TruePeakLimiter::take (const float* const* in, int index, bool silent) noexcept
{
    const juce::int64 m = pushed++;
    const int slot = (int) (m & (ringSize - 1));
    float framePeak = 0.0f;
    for (int c = 0; c < numChannels; ++c)
    {
        const float v = silent ? 0.0f : in[c][index];
        float* ring = rings.data() + (size_t) c * (size_t) ringSize * 2;
        ring[slot] = v;
        ring[slot + ringSize] = v;
        framePeak = std::max (framePeak, std::abs (v));
    }
    framePeaks[(size_t) slot] = framePeak;
    gate.push (m, framePeak);
    return gate.value();
}

void TruePeakLimiter::decide (juce::int64 n, float windowPeak) noexcept
{
    const int mask = ringSize - 1;
    const float reach = windowPeak * design.interpolationGainBound;
    float needed = 1.0f, estimate = reach;
    if (reach > design.threshold)
    {
        const float e = peakOfFrame (n);
        estimate = std::max (previousPeak, e);
        previousPeak = e;
        if (estimate > design.threshold)
            needed = design.threshold / estimate;
    }
    else
    {
        previousPeak = 0.0f; // under the threshold, which is all the next frame needs to know
    }
    peakOfGainFrame[(size_t) (n & mask)] = estimate;

    // The hold: the smallest needed gain over the look-ahead [n - W + 1, n].
    hold.push (n, needed);
    ramp.follow (hold.value());
}

// Calls span (slot, offset, length) for the runs of consecutive ring slots
// that the frames from .. from + n - 1 take in a ring of ringSize slots.
template <typename Span>
void forEachSpan (int ringSize, juce::int64 from, int n, Span&& span)
{
    for (int done = 0; done < n;)
    {
        const int slot = (int) ((from + done) & (ringSize - 1));
        const int length = std::min (n - done, ringSize - slot);
        span (slot, done, length);
        done += length;
    }
}

// A chunk of resting frames at once: the frames whose points all stay under
// the threshold, from the start of the chunk up to the first that may not, go
// in and out as the frame-by-frame path would take them, with each step done
// for the whole prefix (the peaks, the gate, the output). Returns
// how many frames it took; 0 when the first frame may reach the threshold.
int TruePeakLimiter::restingChunk (float* const* channels, int i, int count, int& written, double gain, double db) noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    const int gated = restingPrefix (channels, i, count);
    if (gated == 0)
        return 0;
    const juce::int64 first = pushed;
    takeResting (channels, i, gated);
    letOutResting (channels, written, gated, gain, db);
    settle (first + gated - 1 - K / 2, gated);
    return gated;
}

// How many of the chunk's frames, from its first, cannot reach the threshold.
// Leaves the frame peaks of the K frames before the chunk and of the chunk's
// in windowScratch, followed by each frame's gate.
int TruePeakLimiter::restingPrefix (const float* const* channels, int i, int count) noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    float* peaks = windowScratch.data();
    forEachSpan (ringSize, pushed - K, K, [&] (int slot, int offset, int length)
                 { std::copy (framePeaks.begin() + slot, framePeaks.begin() + slot + length, peaks + offset); });
    float* chunkPeaks = peaks + K;
    std::fill (chunkPeaks, chunkPeaks + count, 0.0f);
    for (int c = 0; c < numChannels; ++c)
    {
        const float* x = channels[c] + i;
        for (int k = 0; k < count; ++k)
            chunkPeaks[k] = std::max (chunkPeaks[k], std::abs (x[k]));
    }

    // Frame first + k decides the gain of frame first + k - K/2 from the peaks
    // of frames first + k - K .. first + k. Peaks are never NaN (std::max
    // drops one), so the order of the maxima does not matter.
    float* windows = windowScratch.data() + kRestingChunk + K;
    true_peak_parts::gateWindowMaxima (peaks, count, windows);
    float loudest = 0.0f;
    for (int k = 0; k < count; ++k)
        loudest = std::max (loudest, windows[k]);
    if (loudest * design.interpolationGainBound <= design.threshold)
        return count;
    int gated = 0;
    while (gated < count && windows[gated] * design.interpolationGainBound <= design.threshold)
        ++gated;
    return gated;
}

// The resting prefix in: its samples into the rings, its frames' peaks, the
// gain frames' estimates, and the gate as the frame-by-frame path leaves it.
void TruePeakLimiter::takeResting (const float* const* channels, int i, int gated) noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    const juce::int64 first = pushed;
    const float* chunkPeaks = windowScratch.data() + K;
    const float* windows = windowScratch.data() + kRestingChunk + K;
    forEachSpan (ringSize, first - K / 2, gated, [&] (int slot, int offset, int length)
    {
        for (int k = 0; k < length; ++k)
            peakOfGainFrame[(size_t) (slot + k)] = windows[offset + k] * design.interpolationGainBound;
    });
    forEachSpan (ringSize, first, gated, [&] (int slot, int offset, int length)
    {
        for (int c = 0; c < numChannels; ++c)
        {
            const float* x = channels[c] + i + offset;
            float* ring = rings.data() + (size_t) c * (size_t) ringSize * 2 + (size_t) slot;
            std::copy (x, x + length, ring);
            std::copy (x, x + length, ring + ringSize);
        }
        std::copy (chunkPeaks + offset, chunkPeaks + offset + length, framePeaks.begin() + slot);
    });
    pushed = first + gated;

    // Only the last window's frames matter to the gate: pushed again, they leave it as the frames one by one would.
    gate.clear();
    for (juce::int64 m = pushed - 1 - K; m < pushed; ++m)
        gate.push (m, framePeaks[(size_t) (m & (ringSize - 1))]);
}

// The frames that leave while the prefix goes in: one a frame taken in, once
// the latency is filled, all at the same gain. The largest estimate times the
// gain is the largest of the products, as rounding keeps the order.
void TruePeakLimiter::letOutResting (float* const* channels, int& written, int gated, double gain, double db) noexcept
{
    const float g = (float) gain;
    const int leaving = (int) std::max<juce::int64> (0, std::min<juce::int64> (gated, pushed - emitted - latency()));
    float largestEstimate = 0.0f;
    forEachSpan (ringSize, emitted, leaving, [&] (int slot, int offset, int length)
    {
        for (int c = 0; c < numChannels; ++c)
        {
            const float* ring = rings.data() + (size_t) c * (size_t) ringSize * 2 + (size_t) slot;
            float* out = channels[c] + written + offset;
            for (int k = 0; k < length; ++k)
                out[k] = ring[k] * g;
        }
        for (int k = 0; k < length; ++k)
            largestEstimate = std::max (largestEstimate, peakOfGainFrame[(size_t) (slot + k)]);
    });
    if (leaving > 0)
    {
        outputPeak = std::max (outputPeak, gain * (double) largestEstimate);
        if (gain < 1.0)
        {
            largestReductionDb = std::max (largestReductionDb, db);
            for (int k = 0; k < leaving; ++k)
                reductionSumDb += db; // one by one, as the frame-by-frame sum rounds
        }
    }
    emitted += leaving;
    written += leaving;
}

// While the limiter rests (no gain held, every value in the ramp at 1) a frame
// whose points cannot reach the threshold changes nothing of the gain's state
// but the frame numbers: the loop below does only what such a frame changes,
// and leaves at the first frame that could reach the threshold, with the state
// as the frame-by-frame path would have left it. Returns the index it stopped at.
int TruePeakLimiter::restingRun (float* const* channels, int i, int numFrames, int& written) noexcept
{
    // The ramp is not touched while resting (each 1 is replaced by a 1), so the gain stays what it is.
    const double gain = ramp.gain();
    const double db = gain < 1.0 ? -20.0 * std::log10 (gain) : 0.0;
    // A chunk costs its length whatever it takes, so after a frame that could
    // reach the threshold (loud passages bring many) the frames go one by one
    // until a short chunk's worth has rested, and chunks grow while they rest whole.
    while (i < numFrames)
    {
        if (framesBeforeChunks == 0)
        {
            const int wanted = std::min (numFrames - i, restingChunkFrames);
            const int taken = restingChunk (channels, i, wanted, written, gain, db);
            i += taken;
            if (taken == wanted)
            {
                restingChunkFrames = std::min (kRestingChunk, 2 * restingChunkFrames);
                continue;
            }
            restingChunkFrames = kShortestRestingChunk;
            framesBeforeChunks = kShortestRestingChunk;
        }
        if (! restingOneByOne (channels, i, numFrames, written, gain, db))
            return i;
    }
    return i;
}

// The resting frames one by one from index i, until the chunks may resume or
// the input ends, or up to a frame that could reach the threshold, which goes
// the frame-by-frame way and ends the rest (returns false). Leaves i at the next frame.
bool TruePeakLimiter::restingOneByOne (float* const* channels, int& i, int numFrames, int& written, double gain, double db) noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    const juce::int64 latencyFrames = latency();
    juce::int64 lastRested = -1;
    int rested = 0;
    for (; i < numFrames && framesBeforeChunks > 0; ++i, --framesBeforeChunks)
    {
        const float windowPeak = take (channels, i, false);
        const juce::int64 n = pushed - 1 - K / 2;
        const float reach = windowPeak * design.interpolationGainBound;
        if (reach > design.threshold)
        {
            settle (lastRested, rested);
            decide (n, windowPeak);
            if (pushed - emitted > latencyFrames)
                emit (channels, written++);
            framesBeforeChunks = kShortestRestingChunk;
            ++i;
            return false;
        }
        peakOfGainFrame[(size_t) (n & (ringSize - 1))] = reach;
        lastRested = n;
        ++rested;
        if (pushed - emitted > latencyFrames)
            letOutRestingFrame (channels, written++, gain, db);
    }
    settle (lastRested, rested);
    return true;
}

// One frame out at the resting gain, as emit() would let it out.
void TruePeakLimiter::letOutRestingFrame (float* const* channels, int at, double gain, double db) noexcept
{
    const int slot = (int) (emitted++ & (ringSize - 1));
    const float g = (float) gain;
    for (int c = 0; c < numChannels; ++c)
        channels[c][at] = rings[(size_t) c * (size_t) ringSize * 2 + (size_t) slot] * g;
    countFrameOut (gain, db, peakOfGainFrame[(size_t) slot]);
}

// The state the frame-by-frame path leaves after `count` resting frames, the last of them `last`.
void TruePeakLimiter::settle (juce::int64 last, int count) noexcept
{
    if (count == 0)
        return;
    previousPeak = 0.0f;
    // Every needed gain in the window was 1, so the hold keeps the newest frame alone.
    hold.clear();
    hold.push (last, 1.0f);
    ramp.rest (count);
}

bool TruePeakLimiter::resting() const noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    return ramp.atRest() && hold.queued() == 1 && hold.value() == 1.0f && pushed > K / 2;
}

void TruePeakLimiter::emit (float* const* out, int at) noexcept
{
    const double gain = ramp.gain();
    const float g = (float) gain;
    const int slot = (int) (emitted++ & (ringSize - 1));
    for (int c = 0; c < numChannels; ++c)
        out[c][at] = rings[(size_t) c * (size_t) ringSize * 2 + (size_t) slot] * g;
    countFrameOut (gain, gain < 1.0 ? -20.0 * std::log10 (gain) : 0.0, peakOfGainFrame[(size_t) slot]);
}

// The report's sums for one frame out at this gain (its reduction `db`, 0 at a gain of 1).
void TruePeakLimiter::countFrameOut (double gain, double db, float estimate) noexcept
{
    if (gain < 1.0)
    {
        largestReductionDb = std::max (largestReductionDb, db);
        reductionSumDb += db;
    }
    outputPeak = std::max (outputPeak, gain * (double) estimate);
}

int TruePeakLimiter::process (float* const* channels, int numFrames) noexcept
{
    jassert (numFrames >= 0 && (channels != nullptr || numFrames == 0 || numChannels == 0)); // a length with no channels behind it
    const juce::ScopedNoDenormals noDenormals;
    int written = 0;
    for (int i = 0; i < numFrames;)
    {
        if (resting())
        {
            i = restingRun (channels, i, numFrames, written);
            continue;
        }
        push (channels, i, false);
        // The frame that leaves lies at or before the one that came in, so writing it over the buffer is safe.
        if (pushed - emitted > latency())
            emit (channels, written++);
        ++i;
    }
    return written;
}

int TruePeakLimiter::flush (float* const* channels) noexcept
{
    const juce::ScopedNoDenormals noDenormals;
    const juce::int64 total = pushed;
    int written = 0;
    while (emitted < total)
    {
        push (channels, 0, true);
        if (pushed - emitted > latency())
            emit (channels, written++);
    }
    return written;
}

TruePeakLimiterReport TruePeakLimiter::report() const
{
    TruePeakLimiterReport r;
    r.ceilingDbtp = design.ceilingDbtp;
    r.maxGainReductionDb = largestReductionDb;
    r.meanGainReductionDb = emitted > 0 ? reductionSumDb / (double) emitted : 0.0;
    r.outputPeakEstimate = outputPeak;
    return r;
}
} // namespace stages

} // namespace tessaloom
