// The true-peak limiter, resting path and all, against a plain frame-by-frame
// reference written here from the limiter's rules (no fast path, no rings, no
// queues), bit for bit: the samples that come out and the report, over random
// signals with quiet stretches that rest, loud bursts, clicks and silence, in
// blocks of every length, mono and stereo, at several rates and ceilings.

#include "pipeline/stages/TruePeakLimiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

using namespace tessaloom;

namespace
{
using Channels = std::vector<std::vector<float>>;

struct Limited
{
    Channels out;
    stages::TruePeakLimiterReport report;
};

// Every frame in order, as the limiter's rules say: the gate over the frames a
// point reads, the interpolated peak where the gate could reach the threshold,
// the smallest needed gain over the look-ahead, the envelope, the running mean
// over the look-ahead, and the frame out a latency later at that gain.
Limited referenceLimiter (const Channels& in, const stages::TruePeakLimiterDesign& d)
{
    constexpr int K = stages::TruePeakLimiterDesign::taps, L = stages::TruePeakLimiterDesign::oversampling;
    const int numChannels = (int) in.size(), W = d.lookahead;
    const long long N = (long long) in[0].size(), total = N + d.latency(); // the flush pushes a latency of silence
    auto x = [&] (int c, long long m) { return m < 0 || m >= N ? 0.0f : in[(size_t) c][(size_t) m]; };
    std::vector<float> framePeak ((size_t) total, 0.0f), needed ((size_t) total, 1.0f), estimate ((size_t) total, 0.0f);
    for (long long m = 0; m < total; ++m)
        for (int c = 0; c < numChannels; ++c)
            framePeak[(size_t) m] = std::max (framePeak[(size_t) m], std::abs (x (c, m)));

    Limited r;
    r.out.assign ((size_t) numChannels, std::vector<float> ((size_t) N, 0.0f));
    float previous = 0.0f;
    double envelope = 1.0, sum = W, sumDb = 0.0;
    std::vector<double> mean ((size_t) W, 1.0);
    for (long long n = 0; n + K / 2 < total; ++n)
    {
        float gate = 0.0f;
        for (long long m = std::max (0LL, n - K / 2); m <= n + K / 2; ++m)
            gate = std::max (gate, framePeak[(size_t) m]);
        const float reach = gate * d.interpolationGainBound;
        estimate[(size_t) n] = reach;
        if (reach > d.threshold)
        {
            float peak = 0.0f;
            for (int c = 0; c < numChannels; ++c)
            {
                peak = std::max (peak, std::abs (x (c, n)));
                for (int p = 0; p < L - 1; ++p)
                {
                    float y = 0.0f;
                    for (int i = 0; i < K; ++i)
                        y += d.interpolation[(size_t) (p * K + i)] * x (c, n - (K / 2 - 1) + i);
                    peak = std::max (peak, std::abs (y));
                }
            }
            estimate[(size_t) n] = std::max (previous, peak);
            previous = peak;
            if (estimate[(size_t) n] > d.threshold)
                needed[(size_t) n] = d.threshold / estimate[(size_t) n];
        }
        else
        {
            previous = 0.0f;
        }
        float hold = 1.0f;
        for (long long k = std::max (0LL, n - W + 1); k <= n; ++k)
            hold = std::min (hold, needed[(size_t) k]);
        envelope = hold < envelope ? (double) hold : hold + (double) d.releaseCoefficient * (envelope - hold);
        if (envelope > 1.0 - 1e-7)
            envelope = 1.0;
        sum += envelope - mean[(size_t) (n % W)];
        mean[(size_t) (n % W)] = envelope;

        const long long t = n - (W - 1); // the frame whose gain is now complete
        if (t < 0 || t >= N)
            continue;
        const double gain = std::min (1.0, sum / W);
        for (int c = 0; c < numChannels; ++c)
            r.out[(size_t) c][(size_t) t] = x (c, t) * (float) gain;
        if (gain < 1.0)
        {
            const double db = -20.0 * std::log10 (gain);
            r.report.maxGainReductionDb = std::max (r.report.maxGainReductionDb, db);
            sumDb += db;
        }
        r.report.outputPeakEstimate = std::max (r.report.outputPeakEstimate, gain * (double) estimate[(size_t) t]);
    }
    r.report.ceilingDbtp = d.ceilingDbtp;
    r.report.meanGainReductionDb = N > 0 ? sumDb / (double) N : 0.0;
    return r;
}

// The limiter itself, fed in blocks of `block` frames, its output gathered and flushed.
Limited runLimiter (const Channels& in, const stages::TruePeakLimiterDesign& d, int block)
{
    const int numChannels = (int) in.size();
    const int N = (int) in[0].size();
    stages::TruePeakLimiter limiter (d, numChannels);
    Limited r;
    r.out.assign ((size_t) numChannels, {});
    Channels scratch ((size_t) numChannels, std::vector<float> ((size_t) std::max (block, limiter.latency()), 0.0f));
    std::vector<float*> pointers;
    for (auto& s : scratch)
        pointers.push_back (s.data());
    auto gather = [&] (int written)
    {
        for (int c = 0; c < numChannels; ++c)
            r.out[(size_t) c].insert (r.out[(size_t) c].end(), scratch[(size_t) c].begin(), scratch[(size_t) c].begin() + written);
    };
    for (int start = 0; start < N; start += block)
    {
        const int n = std::min (block, N - start);
        for (int c = 0; c < numChannels; ++c)
            std::copy (in[(size_t) c].begin() + start, in[(size_t) c].begin() + start + n, scratch[(size_t) c].begin());
        gather (limiter.process (pointers.data(), n));
    }
    gather (limiter.flush (pointers.data()));
    r.report = limiter.report();
    return r;
}

// Stretches of random kinds and lengths: quiet speech-like noise (where the
// limiter rests), digital silence, loud tone bursts, clicks in quiet, and tones
// hovering at the threshold. Quiet and silence come most often and last
// longest, so that rests are long enough for the resting path to grow its chunks.
enum class Stretch
{
    quiet,
    silence,
    loud,
    clicks,
    atThreshold
};

Channels randomSignal (std::mt19937& rng, int numChannels, int frames, float threshold, bool withBursts)
{
    Channels in ((size_t) numChannels, std::vector<float> ((size_t) frames, 0.0f));
    std::discrete_distribution<int> kind ({ 40.0, 15.0, withBursts ? 15.0 : 0.0, withBursts ? 15.0 : 0.0, 15.0 });
    std::uniform_real_distribution<float> unit (0.0f, 1.0f);
    std::normal_distribution<float> noise (0.0f, 1.0f);
    for (int at = 0; at < frames;)
    {
        const auto k = (Stretch) kind (rng);
        const bool resting = k == Stretch::quiet || k == Stretch::silence;
        const int n = std::min (frames - at, 1 + (int) (unit (rng) * (resting ? 6000.0f : 1500.0f)));
        const float level = k == Stretch::quiet ? 0.002f + 0.2f * unit (rng)
                            : k == Stretch::loud ? 0.6f + 1.6f * unit (rng)
                                                 : threshold * (0.85f + 0.3f * unit (rng));
        const float w = 0.02f + 2.5f * unit (rng); // radians a sample, up to near Nyquist
        for (int c = 0; c < numChannels; ++c)
        {
            const float side = c == 0 ? 1.0f : unit (rng) < 0.2f ? 0.0f : 0.3f + unit (rng);
            for (int i = 0; i < n; ++i)
            {
                float v = 0.0f;
                if (k == Stretch::quiet)
                    v = level * noise (rng) * 0.3f;
                else if (k == Stretch::loud || k == Stretch::atThreshold)
                    v = level * std::sin (w * (float) i + (float) c);
                else if (k == Stretch::clicks)
                    v = unit (rng) < 0.001f ? (unit (rng) < 0.5f ? -1.0f : 1.0f) * (0.4f + 1.2f * unit (rng)) : 0.01f * noise (rng);
                in[(size_t) c][(size_t) (at + i)] = v * side;
            }
        }
        at += n;
    }
    return in;
}

void keepEvidence (const Channels& in, const juce::String& name)
{
    std::ofstream csv ((name + ".csv").toStdString());
    for (size_t i = 0; i < in[0].size(); ++i)
    {
        for (size_t c = 0; c < in.size(); ++c)
            csv << (c ? "," : "") << juce::String (in[c][i], 9).toStdString();
        csv << "\n";
    }
}

// The first difference, with both values; true when there is none.
bool sameBits (const Limited& got, const Limited& expected, const juce::String& label)
{
    for (size_t c = 0; c < expected.out.size(); ++c)
    {
        if (got.out[c].size() != expected.out[c].size())
        {
            ADD_FAILURE() << label << ": " << got.out[c].size() << " frames out, " << expected.out[c].size() << " expected";
            return false;
        }
        for (size_t i = 0; i < expected.out[c].size(); ++i)
            if (std::memcmp (&got.out[c][i], &expected.out[c][i], sizeof (float)) != 0)
            {
                ADD_FAILURE() << label << ": channel " << c << ", frame " << i << ": " << got.out[c][i] << " against the reference's "
                              << expected.out[c][i];
                return false;
            }
    }
    const auto& a = got.report;
    const auto& b = expected.report;
    if (a.maxGainReductionDb != b.maxGainReductionDb || a.meanGainReductionDb != b.meanGainReductionDb
        || a.outputPeakEstimate != b.outputPeakEstimate || a.ceilingDbtp != b.ceilingDbtp)
    {
        ADD_FAILURE() << label << ": report " << a.maxGainReductionDb << "/" << a.meanGainReductionDb << "/" << a.outputPeakEstimate
                      << " against the reference's " << b.maxGainReductionDb << "/" << b.meanGainReductionDb << "/" << b.outputPeakEstimate;
        return false;
    }
    return true;
}

struct Case
{
    double rate;
    int channels;
    float ceilingDbtp;
    float releaseMs; // short ones let the envelope come back to rest within the signal
    int frames;
    bool bursts; // loud bursts and clicks among the stretches, or only quiet, silence and the threshold's level
    unsigned seed;
};

const Case cases[] = {
    { 48000.0, 1, -1.0f, 5.0f, 30000, true, 1u },    { 48000.0, 2, -1.0f, 10.0f, 30000, true, 2u },
    { 44100.0, 1, -2.0f, 20.0f, 24000, true, 3u },   { 44100.0, 2, -0.1f, 5.0f, 24000, true, 4u },
    { 96000.0, 1, -1.0f, 5.0f, 30000, true, 5u },    { 96000.0, 2, -6.0f, 10.0f, 30000, true, 6u },
    { 8000.0, 1, -3.0f, 80.0f, 16000, true, 7u },    { 8000.0, 2, -1.0f, 20.0f, 16000, true, 8u },
    { 22050.0, 2, -1.5f, 5.0f, 20000, true, 9u },    { 48000.0, 2, -1.0f, 80.0f, 30000, true, 10u },
    { 48000.0, 2, -1.0f, 5.0f, 30000, false, 11u },  { 44100.0, 1, -1.0f, 80.0f, 20000, false, 12u },
    { 48000.0, 2, -1.0f, 5.0f, 40, true, 13u },      { 48000.0, 1, -1.0f, 80.0f, 1, true, 14u },
};

// Blocks of every length up to this, then a few long ones and the whole signal.
constexpr int kEveryBlockUpTo = 70;
} // namespace

TEST (TruePeakLimiterReference, EveryBlockLengthIsTheFrameByFrameReferenceBitForBit)
{
    for (const auto& c : cases)
    {
        stages::TruePeakLimiterParameters p;
        p.ceilingDbtp = c.ceilingDbtp;
        p.releaseMs = c.releaseMs;
        const auto design = stages::designTruePeakLimiter (p, c.rate);
        std::mt19937 rng (c.seed);
        const auto in = randomSignal (rng, c.channels, c.frames, design.threshold, c.bursts);
        const auto expected = referenceLimiter (in, design);
        std::vector<int> blocks;
        for (int b = 1; b <= kEveryBlockUpTo; ++b)
            blocks.push_back (b);
        for (int b : { 127, 512, 1000, 1024, 1500, 4096, c.frames })
            blocks.push_back (b);
        const juce::String label = juce::String (c.rate) + " Hz, " + juce::String (c.channels) + " channel(s), "
                                   + juce::String (c.ceilingDbtp) + " dBTP, release " + juce::String (c.releaseMs) + " ms, seed " + juce::String (c.seed);
        for (int b : blocks)
            if (! sameBits (runLimiter (in, design, b), expected, label + ", blocks of " + juce::String (b)))
            {
                keepEvidence (in, "evidence_true_peak_reference_seed" + juce::String (c.seed));
                break;
            }
    }
}

// The reference is held to the limiter's purpose too, so that it cannot agree
// with a limiter that does nothing: the loud bursts are brought under the
// threshold by the estimate, and the quiet stretches pass untouched.
TEST (TruePeakLimiterReference, TheReferenceLimits)
{
    stages::TruePeakLimiterParameters p;
    const auto design = stages::designTruePeakLimiter (p, 48000.0);
    std::mt19937 rng (1u);
    const auto in = randomSignal (rng, 2, 30000, design.threshold, true);
    const auto r = referenceLimiter (in, design);
    EXPECT_GT (r.report.maxGainReductionDb, 1.0);
    EXPECT_LE (r.report.outputPeakEstimate, (double) design.threshold * 1.0001);
    int untouched = 0;
    for (size_t i = 0; i < in[0].size(); ++i)
        untouched += r.out[0][i] == in[0][i] ? 1 : 0;
    EXPECT_GT (untouched, 1000);
}
