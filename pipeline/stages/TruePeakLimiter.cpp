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
    constexpr int K = TruePeakLimiterDesign::taps;
    ringSize = nextPowerOfTwo (design.latency() + K + 2);
    rings.assign ((size_t) numChannels * (size_t) ringSize * 2, 0.0f);
    framePeaks.assign ((size_t) ringSize, 0.0f);
    peakOfGainFrame.assign ((size_t) ringSize, 0.0f);
    // Powers of two, so that a position wraps with a mask, not a division per frame.
    maxQueue.assign ((size_t) nextPowerOfTwo (K + 2), 0);
    minQueue.assign ((size_t) nextPowerOfTwo (design.lookahead + 1), 0);
    minValues.assign (minQueue.size(), 1.0f);
    ramp.assign ((size_t) design.lookahead, 1.0);
    rampSum = (double) design.lookahead;
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
        for (int p = 0; p < L - 1; ++p)
        {
            const float* h = design.interpolation.data() + (size_t) (p * K);
            float y = 0.0f;
            for (int i = 0; i < K; ++i)
                y += h[i] * x[i];
            peak = std::max (peak, std::abs (y));
        }
    }
    return peak;
}

// One frame in: the frame K/2 before it gets its peak and needed gain, and the
// frame latency() before it comes out (when there is one) at channels[..][at].
void TruePeakLimiter::push (const float* const* in, int index, bool silent) noexcept
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

    const juce::int64 n = m - K / 2;
    if (n < 0)
        return;

    const float windowPeak = framePeaks[(size_t) (maxQueue[(size_t) maxHead] & mask)];
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
    // n % W, counted: n goes up by one a call from 0.
    const int r = rampSlot;
    rampSlot = rampSlot + 1 == W ? 0 : rampSlot + 1;
    rampSum += envelope - ramp[(size_t) r];
    ramp[(size_t) r] = envelope;
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
    const juce::ScopedNoDenormals noDenormals;
    int written = 0;
    for (int i = 0; i < numFrames; ++i)
    {
        push (channels, i, false);
        // The frame that leaves lies at or before the one that came in, so writing it over the buffer is safe.
        if (pushed - emitted > latency())
            emit (channels, written++);
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
