// The delivery finish's true-peak limiter on its own: a sine over the ceiling
// comes out at the ceiling (libebur128's true peak) with little distortion, a
// burst is caught before it arrives and let go smoothly, the channels share one
// gain, and blocks of any length give the same samples at the input's length.

#include "pipeline/stages/TruePeakLimiter.h"
#include "support/IndependentMeter.h"
#include "support/TestSupport.h"
#include "support/WholeBuffer.h"

#include <cmath>
#include <random>

using namespace tessaloom;

using namespace testing_support;

namespace
{
double truePeakDb (const juce::AudioBuffer<float>& b, double rate)
{
    return measureWithLibebur128 (b, rate).truePeakDb;
}

// THD+N of a sine of known frequency over [from, to): the residual after a
// least-squares fit of the fundamental, against the fundamental, in dB.
double thdPlusNoiseDb (const juce::AudioBuffer<float>& b, int channel, double rate, double hz, int from, int to)
{
    const double w = 2.0 * juce::MathConstants<double>::pi * hz / rate;
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0, dc = 0;
    const float* x = b.getReadPointer (channel);
    for (int i = from; i < to; ++i)
    {
        const double s = std::sin (w * i), c = std::cos (w * i);
        ss += s * s; cc += c * c; sc += s * c; xs += x[i] * s; xc += x[i] * c; dc += x[i];
    }
    const double det = ss * cc - sc * sc;
    const double a = (xs * cc - xc * sc) / det, bb = (xc * ss - xs * sc) / det;
    double residual = 0, fundamental = 0;
    for (int i = from; i < to; ++i)
    {
        const double f = a * std::sin (w * i) + bb * std::cos (w * i);
        residual += (x[i] - f) * (x[i] - f);
        fundamental += f * f;
    }
    return 10.0 * std::log10 (residual / fundamental);
}

juce::AudioBuffer<float> limited (const juce::AudioBuffer<float>& in, double rate, float ceilingDbtp,
                                  stages::TruePeakLimiterReport* report = nullptr)
{
    auto out = in;
    stages::TruePeakLimiterParameters p;
    p.ceilingDbtp = ceilingDbtp;
    const auto r = stages::applyTruePeakLimiter (out, rate, p);
    if (report != nullptr)
        *report = r;
    return out;
}

// Evidence of a failing row, beside the build.
void keep (const juce::AudioBuffer<float>& b, double rate, const juce::String& name)
{
    writeWav (juce::File::getCurrentWorkingDirectory().getChildFile ("evidence_" + name + ".wav"), b, rate, 32);
}
} // namespace

// A steady sine 6 dB over the ceiling (its 4x true peak measured by libebur128)
// comes out at the ceiling, less the limiter's margin, and stays a sine.
TEST (TruePeakLimiter, SineOverTheCeilingComesOutAtItWithLowDistortion)
{
    struct Case { const char* label; int channels; double rate; double hz; float ceilingDbtp; };
    const Case cases[] = {
        { "1 kHz mono 48k, -1 dBTP",      1, 48000.0, 1000.0, -1.0f },
        { "1 kHz stereo 44.1k, -1 dBTP",  2, 44100.0, 1000.0, -1.0f },
        { "1 kHz mono 48k, -3.5 dBTP",    1, 48000.0, 1000.0, -3.5f },
        { "997 Hz mono 44.1k, -2 dBTP",   1, 44100.0,  997.0, -2.0f },
        // Peaks between the samples: at 11.025 kHz the sample peak of a sine
        // phase-shifted by 45 degrees is 3 dB under its true peak.
        { "11025 Hz mono 44.1k, -1 dBTP", 1, 44100.0, 11025.0, -1.0f },
        { "15 kHz stereo 48k, -1 dBTP",   2, 48000.0, 15000.0, -1.0f },
    };
    for (const auto& c : cases)
    {
        const int n = (int) (c.rate * 2.0);
        const float amplitude = (float) std::pow (10.0, (c.ceilingDbtp + 6.0) / 20.0);
        const auto in = sine (c.channels, n, c.rate, c.hz, amplitude, juce::MathConstants<double>::pi / 4.0);
        stages::TruePeakLimiterReport report;
        const auto out = limited (in, c.rate, c.ceilingDbtp, &report);
        const double tp = truePeakDb (out, c.rate);
        const double thdN = thdPlusNoiseDb (out, 0, c.rate, c.hz, n / 4, n - n / 4);
        std::printf ("%-30s true peak %.3f dBTP (ceiling %.1f), THD+N %.1f dB, gain reduction max %.2f dB\n", c.label, tp,
                     c.ceilingDbtp, thdN, report.maxGainReductionDb);
        EXPECT_LE (tp, c.ceilingDbtp) << c.label;
        EXPECT_GE (tp, c.ceilingDbtp - 0.35) << c.label << ": limited more than it needed";
        EXPECT_LT (thdN, -60.0) << c.label;
        EXPECT_NEAR (report.maxGainReductionDb, 6.1, 0.5) << c.label;
        if (tp > c.ceilingDbtp || thdN >= -60.0)
            keep (out, c.rate, juce::String ("limiter_sine_") + juce::String (c.hz, 0));
    }
}

// A burst 12 dB over the ceiling between two quiet passages: the gain is down
// before the burst starts (look-ahead), no sample of its onset and no peak
// between samples passes the ceiling (no overshoot at the attack), and afterwards the gain comes back
// smoothly, without dipping again, to unity.
TEST (TruePeakLimiter, BurstIsCaughtBeforeItArrivesAndReleasedSmoothly)
{
    const double rate = 48000.0;
    const float ceiling = -1.0f;
    const int n = (int) rate, burstStart = 12000, burstEnd = 24000;
    auto in = sine (1, n, rate, 440.0, 0.05f);
    const float loud = (float) std::pow (10.0, (ceiling + 12.0) / 20.0) / 0.05f;
    for (int i = burstStart; i < burstEnd; ++i)
        in.setSample (0, i, in.getSample (0, i) * loud);
    const auto out = limited (in, rate, ceiling);
    ASSERT_EQ (out.getNumSamples(), n);

    // No overshoot: the whole output's true peak, and every sample of the
    // burst's first 20 ms (where a late attack would show), under the ceiling.
    EXPECT_LE (truePeakDb (out, rate), ceiling);
    const float ceilingLinear = (float) std::pow (10.0, ceiling / 20.0);
    for (int i = burstStart - 480; i < burstStart + 960; ++i)
        EXPECT_LE (std::abs (out.getSample (0, i)), ceilingLinear) << "sample " << i;

    // The gain the limiter applied, where the input is not near a zero crossing.
    auto gainAt = [&] (int i) {
        double best = 1.0;
        for (int k = i; k < i + 109; ++k) // a period of 440 Hz
            if (std::abs (in.getSample (0, k)) > 0.5f * peakOf (in) * (k >= burstStart && k < burstEnd ? 1.0f : 1.0f / loud))
                best = out.getSample (0, k) / in.getSample (0, k);
        return best;
    };
    EXPECT_LT (gainAt (burstStart - 160), 0.9) << "the gain is not down 3 ms before the burst";
    EXPECT_NEAR (gainAt (burstStart - 600), 1.0, 1e-6) << "the gain moved more than the look-ahead before the burst";
    double previous = 0.0;
    for (int i = burstEnd + 200; i < burstEnd + 24000 - 200; i += 109 * 4)
    {
        const double g = gainAt (i);
        EXPECT_GE (g, previous - 1e-4) << "the release dips again at " << i;
        previous = g;
    }
    EXPECT_NEAR (20.0 * std::log10 (gainAt (burstEnd + 19200)), 0.0, 0.05) << "not released 400 ms after the burst";
    if (::testing::Test::HasFailure())
        keep (out, rate, "limiter_burst");
}

// One gain for every channel: a quiet channel beside a loud one keeps its
// level difference, and a channel's silence stays silence.
TEST (TruePeakLimiter, ChannelsShareOneGain)
{
    const double rate = 48000.0;
    const int n = (int) rate * 2;
    struct Case { const char* label; float quietDb; };
    const Case cases[] = { { "right 20 dB under left", -20.0f }, { "right 6 dB under left", -6.0f }, { "right silent", -200.0f } };
    for (const auto& c : cases)
    {
        auto in = speechLike (2, n, rate, 11);
        in.applyGain (0, 0, n, 8.0f / peakOf (in)); // peaks far over the ceiling
        in.applyGain (1, 0, n, juce::Decibels::decibelsToGain (c.quietDb, -200.0f));
        const auto out = limited (in, rate, -1.0f);
        const double inDiff = toDb (in.getRMSLevel (0, 0, n)) - toDb (in.getRMSLevel (1, 0, n));
        const double outDiff = toDb (out.getRMSLevel (0, 0, n)) - toDb (out.getRMSLevel (1, 0, n));
        if (c.quietDb > -100.0f)
            EXPECT_NEAR (outDiff, inDiff, 0.1) << c.label;
        else
            EXPECT_EQ (out.getMagnitude (1, 0, n), 0.0f) << c.label;
        EXPECT_LE (truePeakDb (out, rate), -1.0) << c.label;
    }
}

// Blocks of any length give the same samples and figures as one block, the
// output has the input's length, and a signal under the ceiling passes
// untouched and in place. Speech over the ceiling rests between its words, so
// the limiter goes in and out of its resting runs at every block split.
TEST (TruePeakLimiter, BlocksAndLengthDoNotChangeTheOutput)
{
    const double rate = 44100.0;
    stages::TruePeakLimiterParameters p;
    const auto design = stages::designTruePeakLimiter (p, rate);
    std::mt19937 random (5);
    struct Case { const char* label; int frames; float peak; };
    const Case cases[] = {
        { "over the ceiling, 3 s", 3 * 44100, 4.0f },
        { "just over the ceiling, 3 s", 3 * 44100, 1.05f },
        { "under the ceiling, 1 s", 44100, 0.5f },
        { "shorter than the delay", design.latency() / 2, 4.0f },
        { "one frame", 1, 4.0f },
    };
    for (const auto& c : cases)
    {
        auto in = speechLike (2, c.frames, rate, 3);
        if (peakOf (in) > 0.0f)
            in.applyGain (c.peak / peakOf (in));

        auto whole = in;
        const auto wholeReport = stages::applyTruePeakLimiter (whole, rate, p);

        // Random block lengths, then the flush, collected in order.
        stages::TruePeakLimiter limiter (design, 2);
        juce::AudioBuffer<float> collected (2, c.frames + design.latency());
        int got = 0;
        for (int at = 0; at < c.frames;)
        {
            const int len = std::min (c.frames - at, (int) (random() % 3000) + 1);
            juce::AudioBuffer<float> block (2, len);
            for (int ch = 0; ch < 2; ++ch)
                block.copyFrom (ch, 0, in, ch, at, len);
            const int written = limiter.process (block.getArrayOfWritePointers(), len);
            for (int ch = 0; ch < 2; ++ch)
                collected.copyFrom (ch, got, block, ch, 0, written);
            got += written;
            at += len;
        }
        juce::AudioBuffer<float> tail (2, design.latency());
        const int rest = limiter.flush (tail.getArrayOfWritePointers());
        for (int ch = 0; ch < 2; ++ch)
            collected.copyFrom (ch, got, tail, ch, 0, rest);
        got += rest;

        ASSERT_EQ (got, c.frames) << c.label;
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < c.frames; ++i)
                ASSERT_EQ (collected.getSample (ch, i), whole.getSample (ch, i)) << c.label << " channel " << ch << " frame " << i;
        // The figures the finish's correction is computed from, bit for bit.
        const auto blockReport = limiter.report();
        EXPECT_EQ (blockReport.maxGainReductionDb, wholeReport.maxGainReductionDb) << c.label;
        EXPECT_EQ (blockReport.meanGainReductionDb, wholeReport.meanGainReductionDb) << c.label;
        EXPECT_EQ (blockReport.outputPeakEstimate, wholeReport.outputPeakEstimate) << c.label;
        if (c.peak < 1.0f)
        {
            for (int ch = 0; ch < 2; ++ch)
                for (int i = 0; i < c.frames; ++i)
                    ASSERT_EQ (whole.getSample (ch, i), in.getSample (ch, i)) << c.label << " frame " << i;
        }
    }
}

// Loud, dense material far over the ceiling: the output's true peak stays
// under it and no sample is flattened against a limit (no run of equal samples
// at the peak, as a clip would leave).
TEST (TruePeakLimiter, DenseMaterialIsHeldWithoutClipping)
{
    const double rate = 48000.0;
    const int n = (int) rate * 3;
    struct Case { const char* label; juce::AudioBuffer<float> signal; };
    Case cases[] = { { "white noise +12 dB over", whiteNoise (2, n, 1.0f, 9) },
                     { "pink noise +12 dB over", pinkNoise (1, n, 1.0f, 4) },
                     { "speech-like +15 dB over", speechLike (1, n, rate, 2) } };
    for (auto& c : cases)
    {
        c.signal.applyGain (4.0f / peakOf (c.signal));
        const auto out = limited (c.signal, rate, -1.0f);
        EXPECT_LE (truePeakDb (out, rate), -1.0) << c.label;
        const float peak = peakOf (out);
        for (int ch = 0; ch < out.getNumChannels(); ++ch)
            for (int i = 2; i < n; ++i)
            {
                const float a = std::abs (out.getSample (ch, i));
                if (a == peak)
                {
                    EXPECT_FALSE (a == std::abs (out.getSample (ch, i - 1)) && a == std::abs (out.getSample (ch, i - 2)))
                        << c.label << ": three equal samples at the peak at " << i;
                }
            }
    }
}
