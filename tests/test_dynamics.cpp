// The dynamics stages (de-esser, expander, leveler) measured by what they do
// to steady tones: steady-state gains, untouched signals, channel independence.

#include "pipeline/StageLog.h"
#include "pipeline/steps/Steps.h"
#include "support/StageMeasure.h"
#include "support/TestSupport.h"
#include "support/WholeBuffer.h"

#include <gtest/gtest.h>

#include <limits>

using namespace tessaloom;

using namespace stage_measure;
using testing_support::sine;

namespace
{
constexpr double rate = 48000.0;

float dbToAmplitude (double db)
{
    return (float) std::pow (10.0, db / 20.0);
}

// Level of a tone in the second half of the buffer, in dB relative to amplitude.
double settledGainDb (const juce::AudioBuffer<float>& out, int channel, double hz, float amplitude)
{
    const int half = out.getNumSamples() / 2;
    return toDb (toneAmplitude (out, channel, half, out.getNumSamples() - half, rate, hz) / amplitude);
}

juce::AudioBuffer<float> stereoOf (const juce::AudioBuffer<float>& left, const juce::AudioBuffer<float>& right)
{
    juce::AudioBuffer<float> b (2, left.getNumSamples());
    b.copyFrom (0, 0, left, 0, 0, left.getNumSamples());
    b.copyFrom (1, 0, right, 0, 0, right.getNumSamples());
    return b;
}

bool allFinite (const juce::AudioBuffer<float>& b)
{
    for (int c = 0; c < b.getNumChannels(); ++c)
        for (int i = 0; i < b.getNumSamples(); ++i)
            if (! std::isfinite (b.getSample (c, i)))
                return false;
    return true;
}
} // namespace

// ---- De-esser -----------------------------------------------------------------

TEST (DeEsser, LoudSibilanceIsReducedWhileTheVoiceBandIsNot)
{
    // Sibilance measured at -30 dBFS: the compressor sits at -32 dBFS.
    const float amplitude = dbToAmplitude (-12.0);

    auto sibilant = sine (1, 48000, rate, 7000.0, amplitude);
    stages::applyDeEsser (sibilant, rate, { -30.0f });
    EXPECT_LT (settledGainDb (sibilant, 0, 7000.0, amplitude), -6.0);

    auto voiced = sine (1, 48000, rate, 1000.0, amplitude);
    stages::applyDeEsser (voiced, rate, { -30.0f });
    EXPECT_NEAR (settledGainDb (voiced, 0, 1000.0, amplitude), 0.0, 0.1);
}

TEST (DeEsser, QuietHighBandKeepsItsMagnitude)
{
    // Below the threshold the split and sum is an all-pass: every frequency
    // keeps its level, only the phase turns.
    for (double hz : { 200.0, 2000.0, 5000.0, 7000.0, 12000.0 })
    {
        const float amplitude = dbToAmplitude (-50.0);
        auto tone = sine (1, 48000, rate, hz, amplitude);
        stages::applyDeEsser (tone, rate, { -144.0f }); // threshold floors at -40 dBFS
        EXPECT_NEAR (settledGainDb (tone, 0, hz, amplitude), 0.0, 0.02) << hz;
    }
}

TEST (DeEsser, OnlyTheChannelWithSibilanceIsTouched)
{
    const auto left = sine (1, 48000, rate, 7000.0, dbToAmplitude (-10.0));
    const auto right = sine (1, 48000, rate, 7000.0, dbToAmplitude (-50.0));
    auto stereo = stereoOf (left, right);
    stages::applyDeEsser (stereo, rate, { -30.0f });

    auto rightAlone = right;
    stages::applyDeEsser (rightAlone, rate, { -30.0f });
    EXPECT_TRUE (identical (stereo, 1, rightAlone, 0)) << "the right channel must not see the left";
    EXPECT_NEAR (settledGainDb (stereo, 1, 7000.0, dbToAmplitude (-50.0)), 0.0, 0.02);
    EXPECT_LT (settledGainDb (stereo, 0, 7000.0, dbToAmplitude (-10.0)), -6.0);
}

TEST (DeEsser, CrossoverMovesBelowNyquistAtLowRates)
{
    // At 8 kHz the split sits at 3999 Hz, the top of the band: the stage stays
    // finite and even loud tones right up to Nyquist keep their level, since
    // there is no sibilance band left to compress.
    const double low = 8000.0;
    const float amplitude = dbToAmplitude (-6.0);
    for (double hz : { 300.0, 3000.0, 3900.0 })
    {
        auto tone = sine (1, 8000, low, hz, amplitude);
        stages::applyDeEsser (tone, low, { -40.0f });
        ASSERT_TRUE (allFinite (tone)) << hz;
        EXPECT_NEAR (toDb (toneAmplitude (tone, 0, 4000, 4000, low, hz) / amplitude), 0.0, 0.1) << hz;
    }
}

TEST (DeEsser, LogLineShowsTheCompressorThreshold)
{
    struct Case { float level; const char* line; };
    const Case cases[] = {
        { -144.0f, "[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=-40.0dB)" },
        { -30.0f, "[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=-32.0dB)" },
        { -38.0f, "[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=-40.0dB)" },
        { -12.34f, "[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=-14.3dB)" },
        { std::numeric_limits<float>::quiet_NaN(), "[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=-40.0dB)" },
    };
    for (const auto& c : cases)
    {
        auto buffer = sine (1, 480, 8000.0, 440.0, 0.1f);
        EXPECT_EQ (steps::linesFor (stages::applyDeEsser (buffer, 8000.0, { c.level })), juce::StringArray (c.line))
            << c.level;
    }
}

TEST (DeEsser, UnmeasuredSibilanceLevelUsesTheFloor)
{
    // A level that is not a number must behave like "no level" (-40 dB
    // threshold), not hand the compressor a NaN threshold that silences the
    // band and turns the silent start into NaN.
    const float amplitude = dbToAmplitude (-50.0);
    auto tone = sine (1, 48000, rate, 7000.0, amplitude);
    stages::applyDeEsser (tone, rate, { std::numeric_limits<float>::quiet_NaN() });
    ASSERT_TRUE (allFinite (tone));
    EXPECT_NEAR (settledGainDb (tone, 0, 7000.0, amplitude), 0.0, 0.02);
}

TEST (DeEsser, EmptyBuffersPassAndReport)
{
    for (auto [channels, samples] : { std::pair { 0, 0 }, std::pair { 2, 0 }, std::pair { 0, 64 } })
    {
        juce::AudioBuffer<float> b (channels, samples);
        EXPECT_EQ (steps::linesFor (stages::applyDeEsser (b, rate, { -20.0f })).size(), 1);
    }
}

// ---- Expander -------------------------------------------------------------------

TEST (Expander, ToneWellAboveThresholdPassesUnchanged)
{
    const float amplitude = dbToAmplitude (-20.0);
    const auto input = sine (1, 48000, rate, 1000.0, amplitude);
    auto out = input;
    stages::applyExpander (out, rate, { -40.0f });
    // Once the envelope has risen (about a millisecond) the gain is exactly 1.
    for (int i = 4800; i < out.getNumSamples(); ++i)
        ASSERT_EQ (out.getSample (0, i), input.getSample (0, i)) << "sample " << i;
}

TEST (Expander, ToneBelowThresholdIsPushedDownAsFarAgain)
{
    struct Case { double below; double expectedGainDb; };
    const Case cases[] = { { 10.0, -10.0 }, { 20.0, -20.0 } };
    for (const auto& c : cases)
    {
        const float amplitude = dbToAmplitude (-40.0 - c.below);
        auto tone = sine (1, 48000, rate, 1000.0, amplitude);
        stages::applyExpander (tone, rate, { -40.0f });
        EXPECT_NEAR (settledGainDb (tone, 0, 1000.0, amplitude), c.expectedGainDb, 0.2) << c.below << " dB below";
    }
}

TEST (Expander, SilenceStaysSilence)
{
    for (float threshold : { -60.0f, -141.0f, -200.0f, -300.0f, std::numeric_limits<float>::quiet_NaN() })
    {
        auto zeros = testing_support::silence (2, 4800);
        stages::applyExpander (zeros, rate, { threshold });
        ASSERT_TRUE (allFinite (zeros)) << threshold;
        EXPECT_EQ (testing_support::peakOf (zeros), 0.0f) << threshold;
    }
}

TEST (Expander, ThresholdAtTheFloorLeavesAudioWithPausesIntact)
{
    // A threshold at or below -200 dB is a linear threshold of 0: nothing can
    // fall below it, and the digital-silence gaps must not turn into NaN.
    auto speech = testing_support::speechLike (1, 48000, rate);
    auto gapped = speech;
    gapped.clear (0, 0, 4800);
    gapped.clear (0, 24000, 4800);
    const auto before = gapped;
    stages::applyExpander (gapped, rate, { -250.0f });
    EXPECT_TRUE (identical (gapped, 0, before, 0));
}

TEST (Expander, ChannelsAreNotLinked)
{
    const auto left = sine (1, 48000, rate, 1000.0, dbToAmplitude (-60.0));
    auto stereo = stereoOf (left, testing_support::silence (1, 48000));
    stages::applyExpander (stereo, rate, { -40.0f });
    auto leftAlone = left;
    stages::applyExpander (leftAlone, rate, { -40.0f });
    EXPECT_TRUE (identical (stereo, 0, leftAlone, 0));
    EXPECT_EQ (stereo.getMagnitude (1, 0, stereo.getNumSamples()), 0.0f);
}

TEST (Expander, LogLineReportsTheThresholdAsPassed)
{
    struct Case { float threshold; const char* line; };
    const Case cases[] = {
        { -61.0f, "[AudioPipeline/Expander] Applied Downward Expander (Threshold=-61.0dB, Ratio=2:1)" },
        { -141.0f, "[AudioPipeline/Expander] Applied Downward Expander (Threshold=-141.0dB, Ratio=2:1)" },
        { -47.26f, "[AudioPipeline/Expander] Applied Downward Expander (Threshold=-47.3dB, Ratio=2:1)" },
        { -250.0f, "[AudioPipeline/Expander] Applied Downward Expander (Threshold=-250.0dB, Ratio=2:1)" },
    };
    for (const auto& c : cases)
    {
        auto buffer = sine (1, 480, rate, 440.0, 0.1f);
        EXPECT_EQ (steps::linesFor (stages::applyExpander (buffer, rate, { c.threshold })), juce::StringArray (c.line));
    }
}

// ---- Leveler -------------------------------------------------------------------

TEST (Leveler, QuietFileIsUnchanged)
{
    const auto input = testing_support::speechLike (2, 96000, rate);
    auto scaled = input;
    scaled.applyGain (dbToAmplitude (-18.5) / testing_support::peakOf (scaled));
    const auto before = scaled;
    stages::applyLeveler (scaled, rate);
    EXPECT_TRUE (identical (scaled, 0, before, 0));
    EXPECT_TRUE (identical (scaled, 1, before, 1));
}

TEST (Leveler, LoudToneIsTurnedDownThreeToOne)
{
    // 12 dB over the threshold comes out about 4 dB over it: -8 dB of gain,
    // a little less because the peak envelope droops between peaks.
    const float amplitude = dbToAmplitude (-6.0);
    auto tone = sine (1, 96000, rate, 1000.0, amplitude);
    stages::applyLeveler (tone, rate);
    const double gainDb = settledGainDb (tone, 0, 1000.0, amplitude);
    EXPECT_GE (gainDb, -8.05);
    EXPECT_LE (gainDb, -7.0);
}

TEST (Leveler, OnlyTheLoudChannelIsTurnedDown)
{
    const auto left = sine (1, 48000, rate, 500.0, dbToAmplitude (-3.0));
    const auto right = sine (1, 48000, rate, 500.0, dbToAmplitude (-30.0));
    auto stereo = stereoOf (left, right);
    stages::applyLeveler (stereo, rate);
    EXPECT_TRUE (identical (stereo, 1, right, 0));
    EXPECT_LT (settledGainDb (stereo, 0, 500.0, dbToAmplitude (-3.0)), -5.0);
}

TEST (Leveler, LogLine)
{
    auto buffer = sine (1, 480, rate, 440.0, 0.1f);
    EXPECT_EQ (steps::linesFor (stages::applyLeveler (buffer, rate)),
               juce::StringArray ("[AudioPipeline/Compressor] Applied Serial Opto-Style Leveler (LA-2A Topology)"));
}
