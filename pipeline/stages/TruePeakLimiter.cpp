#include "pipeline/stages/TruePeakLimiter.h"

#include <algorithm>
#include <cmath>

namespace stages
{
namespace
{
// Kaiser window shape of the interpolation kernel: beta 8 keeps the ripple of
// the 16-tap windowed sinc under 0.01 dB up to 0.8 of the Nyquist frequency,
// where speech has little left.
constexpr double kKaiserBeta = 8.0;

double besselI0 (double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50; ++k)
    {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < 1e-12 * sum)
            break;
    }
    return sum;
}

// The interpolated points of a frame, side by side (the seven points and a spare lane).
constexpr int kPointLanes = 8;

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

    constexpr int L = TruePeakLimiterDesign::oversampling, K = TruePeakLimiterDesign::taps;
    d.interpolation.assign ((size_t) ((L - 1) * K), 0.0f);
    const double halfWidth = K / 2.0;
    double bound = 1.0; // the sample itself
    for (int p = 1; p < L; ++p)
    {
        const double fraction = (double) p / L;
        double row[K], sum = 0.0;
        for (int i = 0; i < K; ++i)
        {
            // Tap i reads sample n - (K/2 - 1) + i; the point lies at n + fraction.
            const double t = fraction - (double) (i - (K / 2 - 1));
            const double sinc = std::sin (juce::MathConstants<double>::pi * t) / (juce::MathConstants<double>::pi * t);
            const double w = t / halfWidth;
            const double window = std::abs (w) >= 1.0 ? 0.0 : besselI0 (kKaiserBeta * std::sqrt (1.0 - w * w)) / besselI0 (kKaiserBeta);
            row[i] = sinc * window;
            sum += row[i];
        }
        double absSum = 0.0;
        for (int i = 0; i < K; ++i)
        {
            // Unity gain at DC for every point, so a constant passes at its own level.
            const float c = (float) (row[i] / sum);
            d.interpolation[(size_t) ((p - 1) * K + i)] = c;
            absSum += std::abs ((double) c);
        }
        bound = std::max (bound, absSum);
    }
    // Rounded up a little, so that float sums of the products stay inside it.
    d.interpolationGainBound = (float) (bound * 1.0001);
    return d;
}

TruePeakLimiter::TruePeakLimiter (const TruePeakLimiterDesign& d, int channels)
    : design (d), numChannels (std::max (0, channels))
{
    jassert (channels >= 0); // a count of channels, not a failure code
    jassert (design.lookahead >= TruePeakLimiterDesign::taps / 2); // a design from designTruePeakLimiter: the delay line must hold what the interpolation reads
    constexpr int K = TruePeakLimiterDesign::taps;
    // Room for a run of resting frames taken in at once before the frames a latency behind them leave.
    ringSize = nextPowerOfTwo (design.latency() + K + 2 + kRestingChunk);
    rings.assign ((size_t) numChannels * (size_t) ringSize * 2, 0.0f);
    framePeaks.assign ((size_t) ringSize, 0.0f);
    peakOfGainFrame.assign ((size_t) ringSize, 0.0f);
    // Powers of two, so that a position wraps with a mask, not a division per frame.
    maxQueue.assign ((size_t) nextPowerOfTwo (K + 2), 0);
    minQueue.assign ((size_t) nextPowerOfTwo (design.lookahead + 1), 0);
    minValues.assign (minQueue.size(), 1.0f);
    ramp.assign ((size_t) design.lookahead, 1.0);
    rampSum = (double) design.lookahead;
    restingFrames = design.lookahead;
    restingChunkFrames = kShortestRestingChunk;
    static_assert (TruePeakLimiterDesign::oversampling - 1 <= kPointLanes, "a lane for every point");
    pointsByTap.assign ((size_t) (K * kPointLanes), 0.0f);
    for (int p = 0; p < TruePeakLimiterDesign::oversampling - 1; ++p)
        for (int i = 0; i < K; ++i)
            pointsByTap[(size_t) (i * kPointLanes + p)] = design.interpolation[(size_t) (p * K + i)];
    windowScratch.assign ((size_t) (2 * (kRestingChunk + K)), 0.0f);
}

float TruePeakLimiter::peakOfFrame (juce::int64 n) const noexcept
{
    // The sample itself and the points between it and the next, over every channel.
    constexpr int L = TruePeakLimiterDesign::oversampling, K = TruePeakLimiterDesign::taps;
    const int mask = ringSize - 1;
    const int start = (int) ((n - (K / 2 - 1)) & mask);
    float peak = 0.0f;
    for (int c = 0; c < numChannels; ++c)
    {
        const float* x = rings.data() + (size_t) c * (size_t) ringSize * 2 + (size_t) start;
        peak = std::max (peak, std::abs (x[K / 2 - 1]));
        // All points at once, tap by tap: each point's sum still adds its
        // products in tap order, so it is the sum a point-by-point loop makes.
        float y[kPointLanes] = {};
        for (int i = 0; i < K; ++i)
        {
            const float* h = pointsByTap.data() + (size_t) (i * kPointLanes);
            for (int p = 0; p < kPointLanes; ++p)
                y[p] += h[p] * x[i];
        }
        for (int p = 0; p < L - 1; ++p)
            peak = std::max (peak, std::abs (y[p]));
    }
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

// Stores the frame and returns the largest |sample| of the frames the points
// of the frame K/2 before it read.
float TruePeakLimiter::take (const float* const* in, int index, bool silent) noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    const int mask = ringSize - 1;
    const juce::int64 m = pushed++;
    const int slot = (int) (m & mask);

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

    // Sliding maximum of the frame peaks over [m - K, m]: every sample the
    // points of frames n - 1 and n read.
    const int qMask = (int) maxQueue.size() - 1;
    while (maxCount > 0)
    {
        const juce::int64 last = maxQueue[(size_t) ((maxHead + maxCount - 1) & qMask)];
        if (framePeaks[(size_t) (last & mask)] > framePeak)
            break;
        --maxCount;
    }
    maxQueue[(size_t) ((maxHead + maxCount) & qMask)] = m;
    ++maxCount;
    if (maxQueue[(size_t) maxHead] < m - K)
    {
        maxHead = (maxHead + 1) & qMask;
        --maxCount;
    }
    return framePeaks[(size_t) (maxQueue[(size_t) maxHead] & mask)];
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

    // Sliding minimum of the needed gain over the look-ahead [n - W + 1, n].
    const int W = design.lookahead;
    const int mMask = (int) minQueue.size() - 1;
    while (minCount > 0 && minValues[(size_t) ((minHead + minCount - 1) & mMask)] >= needed)
        --minCount;
    minQueue[(size_t) ((minHead + minCount) & mMask)] = n;
    minValues[(size_t) ((minHead + minCount) & mMask)] = needed;
    ++minCount;
    if (minQueue[(size_t) minHead] <= n - W)
    {
        minHead = (minHead + 1) & mMask;
        --minCount;
    }
    const double hold = minValues[(size_t) minHead];

    // Down at once, up with the release; never above the hold, so the ramp
    // below never lifts a frame over its needed gain.
    envelope = hold < envelope ? hold : hold + (double) design.releaseCoefficient * (envelope - hold);
    if (envelope > 1.0 - 1e-7)
        envelope = 1.0;
    restingFrames = envelope == 1.0 && hold == 1.0 ? restingFrames + 1 : 0;
    // n % W, counted: n goes up by one a call from 0.
    const int r = rampSlot;
    rampSlot = rampSlot + 1 == W ? 0 : rampSlot + 1;
    rampSum += envelope - ramp[(size_t) r];
    ramp[(size_t) r] = envelope;
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
// for the whole prefix (the peaks, the sliding maximum, the output). Returns
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
// in windowScratch, followed by each frame's window maximum.
int TruePeakLimiter::restingPrefix (const float* const* channels, int i, int count) noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    static_assert (K == 16, "the window's maximum below is built for 17 frames");
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
    // of frames first + k - K .. first + k: the maximum of 17 by doubling spans.
    // Peaks are never NaN (std::max drops one), so the order of the maxima does not matter.
    float* windows = windowScratch.data() + kRestingChunk + K;
    for (int k = 0; k < count + K - 1; ++k)
        windows[k] = std::max (peaks[k], peaks[k + 1]);            // 2 frames
    for (int k = 0; k < count + K - 3; ++k)
        windows[k] = std::max (windows[k], windows[k + 2]);        // 4
    for (int k = 0; k < count + K - 7; ++k)
        windows[k] = std::max (windows[k], windows[k + 4]);        // 8
    for (int k = 0; k < count; ++k)
        windows[k] = std::max (std::max (windows[k], windows[k + 8]), peaks[k + K]); // 16, then 17
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
// gain frames' estimates, and the sliding maximum as the frame-by-frame path
// leaves it.
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

    // The queue holds the frames of the last window whose peak no later frame of it reaches or passes.
    const int mask = ringSize - 1, qMask = (int) maxQueue.size() - 1;
    maxHead = 0;
    maxCount = 0;
    for (juce::int64 m = pushed - 1 - K; m < pushed; ++m)
    {
        const float p = framePeaks[(size_t) (m & mask)];
        while (maxCount > 0 && framePeaks[(size_t) (maxQueue[(size_t) ((maxCount - 1) & qMask)] & mask)] <= p)
            --maxCount;
        maxQueue[(size_t) (maxCount & qMask)] = m;
        ++maxCount;
    }
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
    constexpr int K = TruePeakLimiterDesign::taps;
    const int W = design.lookahead;
    const int mask = ringSize - 1;
    // The ramp is not touched while resting (each 1 is replaced by a 1), so the gain stays what it is.
    const double gain = std::min (1.0, rampSum / W);
    const double db = gain < 1.0 ? -20.0 * std::log10 (gain) : 0.0;
    const juce::int64 latencyFrames = latency();
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
                return i + 1;
            }
            peakOfGainFrame[(size_t) (n & mask)] = reach;
            lastRested = n;
            ++rested;
            if (pushed - emitted > latencyFrames)
                letOutRestingFrame (channels, written++, gain, db);
        }
        settle (lastRested, rested);
    }
    return i;
}

// One frame out at the resting gain, as emit() would let it out.
void TruePeakLimiter::letOutRestingFrame (float* const* channels, int at, double gain, double db) noexcept
{
    const juce::int64 t = emitted++;
    const int slot = (int) (t & (ringSize - 1));
    const float g = (float) gain;
    for (int c = 0; c < numChannels; ++c)
        channels[c][at] = rings[(size_t) c * (size_t) ringSize * 2 + (size_t) slot] * g;
    if (gain < 1.0)
    {
        largestReductionDb = std::max (largestReductionDb, db);
        reductionSumDb += db;
    }
    outputPeak = std::max (outputPeak, gain * (double) peakOfGainFrame[(size_t) slot]);
}

// The state the frame-by-frame path leaves after `count` resting frames, the last of them `last`.
void TruePeakLimiter::settle (juce::int64 last, int count) noexcept
{
    if (count == 0)
        return;
    previousPeak = 0.0f;
    // Every needed gain in the window was 1, so the queue holds the newest frame alone.
    minQueue[(size_t) minHead] = last;
    minValues[(size_t) minHead] = 1.0f;
    minCount = 1;
    rampSlot = (int) ((rampSlot + (juce::int64) count) % design.lookahead);
    restingFrames += count;
}

bool TruePeakLimiter::resting() const noexcept
{
    constexpr int K = TruePeakLimiterDesign::taps;
    return restingFrames >= design.lookahead && minCount == 1 && minValues[(size_t) minHead] == 1.0f
           && envelope == 1.0 && pushed > K / 2;
}

void TruePeakLimiter::emit (float* const* out, int at) noexcept
{
    const int W = design.lookahead;
    const juce::int64 t = emitted++;
    const int mask = ringSize - 1;
    // Every value in the ramp is at most 1; the sum's rounding must not lift the gain over it.
    const double gain = std::min (1.0, rampSum / W);
    const float g = (float) gain;
    const int slot = (int) (t & mask);
    for (int c = 0; c < numChannels; ++c)
        out[c][at] = rings[(size_t) c * (size_t) ringSize * 2 + (size_t) slot] * g;
    if (gain < 1.0)
    {
        const double db = -20.0 * std::log10 (gain);
        largestReductionDb = std::max (largestReductionDb, db);
        reductionSumDb += db;
    }
    outputPeak = std::max (outputPeak, gain * (double) peakOfGainFrame[(size_t) slot]);
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
