// Frequency responses of the filtering stages, measured from what the real
// stage does to sines (and constants), against the design targets and against
// a double-precision cookbook reference of the same cascade.

#include "pipeline/StageLog.h"
#include "pipeline/steps/Steps.h"
#include "pipeline/stages/BiquadCascade.h"
#include "support/StageMeasure.h"
#include "support/TestSupport.h"
#include "support/WholeBuffer.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tessaloom;

using namespace stage_measure;
using testing_support::sine;

namespace
{
using Stage = std::function<void (juce::AudioBuffer<float>&)>;

// Gain in dB that the stage gives a steady sine, measured after its start-up
// transient has died away.
double responseDb (const Stage& stage, double sampleRate, double frequencyHz, float amplitude = 0.1f,
                   double seconds = 2.0, double settleSeconds = 1.0)
{
    auto buffer = sine (1, (int) (seconds * sampleRate), sampleRate, frequencyHz, amplitude);
    stage (buffer);
    const int start = (int) (settleSeconds * sampleRate);
    return toDb (toneAmplitude (buffer, 0, start, buffer.getNumSamples() - start, sampleRate, frequencyHz) / amplitude);
}

Stage preFilter (double sampleRate, bool hum)
{
    return [=] (juce::AudioBuffer<float>& b) { stages::applyPreFilter (b, sampleRate, { hum, std::nullopt }); };
}

Stage vocalEq (double sampleRate, juce::String voice, float air, float presence, float mud)
{
    return [=] (juce::AudioBuffer<float>& b) { stages::applyVocalEq (b, sampleRate, { voice, air, presence, mud }); };
}

Stage saturation (double sampleRate, float driveDb)
{
    return [=] (juce::AudioBuffer<float>& b) { stages::applySaturation (b, sampleRate, { driveDb }); };
}
} // namespace

// ---- Filter helpers ---------------------------------------------------------

TEST (FilterHelpers, FrequencyCeiling)
{
    struct Case { double rate; float ceiling; };
    const Case cases[] = { { 8000.0, 3600.0f }, { 16000.0, 7200.0f }, { 22050.0, 9922.5f }, { 32000.0, 14400.0f },
                           { 44100.0, 19845.0f }, { 48000.0, 21600.0f }, { 2000.0, 1000.0f } };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ (stages::frequencyCeiling (c.rate), c.ceiling) << c.rate;
}

TEST (FilterHelpers, EveryChannelIsFilteredFromZeroStateIndependently)
{
    // Stereo with different content per channel must equal each channel run alone.
    juce::AudioBuffer<float> stereo (2, 4800);
    auto left = sine (1, 4800, 48000.0, 100.0, 0.5f);
    auto right = testing_support::whiteNoise (1, 4800, 0.1f, 3);
    stereo.copyFrom (0, 0, left, 0, 0, 4800);
    stereo.copyFrom (1, 0, right, 0, 0, 4800);

    const auto design = stages::designPreFilter ({ true, std::nullopt }, 48000.0);
    for (auto* buffer : { &stereo, &left, &right })
    {
        stages::BiquadCascade cascade (design, buffer->getNumChannels());
        stages::processWholeBuffer (cascade, *buffer);
    }
    EXPECT_TRUE (identical (stereo, 0, left, 0));
    EXPECT_TRUE (identical (stereo, 1, right, 0));
}

TEST (FilterHelpers, OnePassCascadeEqualsJuceFiltersSectionBySectionBitForBit)
{
    // The stages run their cascades in one pass per channel with an inline
    // section step; that must give exactly what juce::dsp::IIR::Filter gives
    // when each section of the same design runs over the whole buffer in turn.
    for (double rate : { 16000.0, 44100.0, 48000.0 })
    {
        auto input = testing_support::speechLike (2, (int) rate * 2, rate, 9);
        input.setSample (0, 100, 1.0f); // an impulse on top

        const stages::BiquadCascadeDesign designs[] = { stages::designPreFilter ({ true, std::nullopt }, rate),
                                                        stages::designVocalEq ({ "Male", 4.0f, 3.0f, -3.0f }, rate),
                                                        stages::designSaturation ({ 0.5f }, rate).shelf };
        for (const auto& design : designs)
        {
            auto fused = input;
            stages::BiquadCascade cascade (design, 2);
            stages::processWholeBuffer (cascade, fused);

            auto expected = input;
            for (size_t k = 0; k < design.numSections; ++k)
            {
                const auto& s = design.sections[k];
                for (int ch = 0; ch < 2; ++ch)
                {
                    juce::dsp::IIR::Filter<float> filter (new juce::dsp::IIR::Coefficients<float> (s.b0, s.b1, s.b2, 1.0f, s.a1, s.a2));
                    float* samples = expected.getWritePointer (ch);
                    juce::dsp::AudioBlock<float> block (&samples, 1, (size_t) expected.getNumSamples());
                    filter.process (juce::dsp::ProcessContextReplacing<float> (block));
                }
            }

            for (int ch = 0; ch < 2; ++ch)
                for (int i = 0; i < input.getNumSamples(); ++i)
                    ASSERT_EQ (fused.getSample (ch, i), expected.getSample (ch, i))
                        << design.numSections << " sections at " << rate << " Hz, channel " << ch << ", sample " << i;
        }
    }
}

TEST (FilterHelpers, CascadesOfEveryLengthInBlocksOfEveryShortLengthEqualJuceFiltersBitForBit)
{
    // From three sections the cascade runs its sections side by side in vector
    // lanes, each lane some samples behind the one before; the lanes' start and
    // end at every block edge must leave each section's state exactly where the
    // sample-by-sample filter leaves it, whatever the block length, including
    // blocks shorter than the cascade.
    const double rate = 48000.0;
    using Coefficients = juce::dsp::IIR::Coefficients<float>;
    const juce::dsp::IIR::Coefficients<float>::Ptr pool[] = {
        Coefficients::makeHighPass (rate, 80.0f, 0.707f),     Coefficients::makePeakFilter (rate, 200.0f, 0.9f, 1.6f),
        Coefficients::makeNotch (rate, 50.0f, 8.0f),          Coefficients::makePeakFilter (rate, 3000.0f, 1.2f, 0.6f),
        Coefficients::makeHighShelf (rate, 9000.0f, 0.7f, 1.4f), Coefficients::makeLowPass (rate, 15000.0f, 0.707f),
        Coefficients::makeNotch (rate, 100.0f, 10.0f),        Coefficients::makeLowShelf (rate, 150.0f, 0.7f, 0.8f)
    };
    struct Case { int blockLength; };
    const Case cases[] = { { 1 }, { 2 }, { 3 }, { 5 }, { 7 }, { 8 }, { 9 }, { 61 }, { 4096 } };

    auto input = testing_support::speechLike (1, 9000, rate, 4);
    input.setSample (0, 20, 1.0f); // an impulse near the start, inside the first short blocks
    for (int count = 1; count <= (int) stages::BiquadCascadeDesign::maxSections; ++count)
    {
        stages::BiquadCascadeDesign design;
        for (int k = 0; k < count; ++k)
            design.add (*pool[k]);

        auto expected = input;
        for (int k = 0; k < count; ++k)
        {
            juce::dsp::IIR::Filter<float> filter (pool[k]);
            for (int i = 0; i < expected.getNumSamples(); ++i)
                expected.setSample (0, i, filter.processSample (expected.getSample (0, i)));
        }

        for (const auto& c : cases)
        {
            auto blocks = input;
            stages::BiquadCascade cascade (design, 1);
            for (int from = 0; from < blocks.getNumSamples(); from += c.blockLength)
                cascade.processChannel (0, blocks.getWritePointer (0) + from, std::min (c.blockLength, blocks.getNumSamples() - from));
            for (int i = 0; i < input.getNumSamples(); ++i)
                ASSERT_EQ (blocks.getSample (0, i), expected.getSample (0, i))
                    << count << " sections in blocks of " << c.blockLength << ", sample " << i;
        }
    }
}

// ---- Pre-filter ---------------------------------------------------------------

TEST (PreFilter, HighPassPointsAtEveryRate)
{
    struct Point { double hz; double db; double tolerance; };
    const Point points[] = { { 90.0, -3.0, 0.1 }, { 50.0, -10.6, 0.1 }, { 20.0, -26.0, 0.2 }, { 200.0, -0.2, 0.05 },
                             { 1000.0, 0.0, 0.02 } };
    for (double rate : { 8000.0, 16000.0, 44100.0, 48000.0 })
        for (const auto& p : points)
            EXPECT_NEAR (responseDb (preFilter (rate, false), rate, p.hz), p.db, p.tolerance)
                << p.hz << " Hz at " << rate << " Hz";
}

TEST (PreFilter, HumNotchesRemoveTheMainsFamilyAndPassTheVoice)
{
    for (double rate : { 16000.0, 48000.0 })
    {
        for (double hz : { 50.0, 100.0, 150.0 })
        {
            // Without hum only the high-pass acts; with hum the tone is gone.
            EXPECT_GT (responseDb (preFilter (rate, false), rate, hz, 0.1f, 3.0, 2.0), -11.0) << hz;
            EXPECT_LT (responseDb (preFilter (rate, true), rate, hz, 0.1f, 3.0, 2.0), -40.0) << hz << " at " << rate;
        }
        EXPECT_NEAR (responseDb (preFilter (rate, true), rate, 1000.0), 0.0, 0.05) << rate;
        // Between the notches the voice region is barely touched.
        EXPECT_NEAR (responseDb (preFilter (rate, true), rate, 300.0), responseDb (preFilter (rate, false), rate, 300.0), 0.1);
    }
}

TEST (PreFilter, DcDecaysToZero)
{
    juce::AudioBuffer<float> dc (1, 48000);
    juce::FloatVectorOperations::fill (dc.getWritePointer (0), 0.5f, 48000);
    stages::applyPreFilter (dc, 48000.0, { false, std::nullopt });
    EXPECT_LT (std::abs (dc.getSample (0, 47999)), 1.0e-5f);
}

TEST (PreFilter, LogLinesAndEmptyBuffers)
{
    struct Case { int channels; int samples; bool hum; };
    const Case cases[] = { { 1, 4800, false }, { 2, 4800, true }, { 0, 0, true }, { 2, 0, true }, { 0, 100, false } };
    for (const auto& c : cases)
    {
        juce::AudioBuffer<float> buffer (c.channels, c.samples);
        buffer.clear();
        const auto report = stages::applyPreFilter (buffer, 44100.0, { c.hum, std::nullopt });
        juce::StringArray expected { "[AudioPipeline/PreFilter] Applied HPF at 90Hz" };
        if (c.hum)
            expected.add ("[AudioPipeline/PreFilter] Applied 50/100/150Hz Grid Hum Eradication (Gated)");
        EXPECT_EQ (steps::linesFor (report), expected) << c.channels << "x" << c.samples;
        EXPECT_EQ (buffer.getNumChannels(), c.channels);
        EXPECT_EQ (buffer.getNumSamples(), c.samples);
    }
}

// ---- Vocal EQ -------------------------------------------------------------------

TEST (VocalEq, ResponseTableAt48kHz)
{
    const double freqs[] = { 30, 80, 150, 300, 1000, 4500, 10000, 16000, 20000 };
    const double male[] = { -16.4, -0.3, 3.2, 2.6, 0.6, 3.1, 2.6, 1.4, -9.0 };
    const double female[] = { -23.3, -5.1, 2.0, 2.5, 0.6, 3.1, 2.7, 2.6, -6.5 };
    for (int i = 0; i < 9; ++i)
    {
        EXPECT_NEAR (responseDb (vocalEq (48000.0, "Male", 2.0f, 3.0f, 0.0f), 48000.0, freqs[i]), male[i], 0.1)
            << "male " << freqs[i] << " Hz";
        EXPECT_NEAR (responseDb (vocalEq (48000.0, "Female", 2.0f, 3.0f, 0.0f), 48000.0, freqs[i]), female[i], 0.1)
            << "female " << freqs[i] << " Hz";
    }
}

TEST (VocalEq, MudCutCase)
{
    const auto eq = vocalEq (48000.0, "Male", 4.0f, 3.0f, -3.0f);
    EXPECT_NEAR (responseDb (eq, 48000.0, 300.0), -0.4, 0.1);
    EXPECT_NEAR (responseDb (eq, 48000.0, 10000.0), 3.6, 0.1);
}

TEST (VocalEq, MudCutBandRunsOnlyBelowMinusPointOneDb)
{
    auto run = [] (float mud)
    {
        auto b = testing_support::whiteNoise (1, 24000, 0.1f, 5);
        stages::applyVocalEq (b, 48000.0, { "Male", 2.0f, 3.0f, mud });
        return b;
    };
    const auto none = run (0.0f);
    EXPECT_TRUE (identical (run (-0.1f), 0, none, 0)) << "-0.1 dB skips the band";
    EXPECT_TRUE (identical (run (0.5f), 0, none, 0)) << "a positive value skips the band";
    EXPECT_FALSE (identical (run (-0.2f), 0, none, 0)) << "-0.2 dB applies it";
}

TEST (VocalEq, VoiceTypeChoosesTheBandByCaseSensitiveSubstring)
{
    struct Case { const char* voice; double at80Hz; };
    const Case cases[] = { { "Male", -0.3 }, { "Male voice", -0.3 }, { "FemaleMale", -0.3 },
                           { "Female", -5.1 }, { "male", -5.1 }, { "", -5.1 } };
    for (const auto& c : cases)
        EXPECT_NEAR (responseDb (vocalEq (48000.0, c.voice, 2.0f, 3.0f, 0.0f), 48000.0, 80.0), c.at80Hz, 0.1)
            << "'" << c.voice << "'";
}

TEST (VocalEq, DesignFrequenciesStopAtTheCeiling)
{
    // At low rates the cascade must match the reference designed at the clamped
    // frequencies: presence, air and low-pass at 3600 Hz at 8 kHz; air and
    // low-pass at 7200 Hz at 16 kHz and at 9922.5 Hz at 22.05 kHz; the
    // low-pass alone at 14400 Hz at 32 kHz.
    struct Case { double rate; double presenceHz; double airHz; double lowPassHz; };
    const Case cases[] = { { 8000.0, 3600.0, 3600.0, 3600.0 }, { 16000.0, 4500.0, 7200.0, 7200.0 },
                           { 22050.0, 4500.0, 9922.5, 9922.5 }, { 32000.0, 4500.0, 10000.0, 14400.0 },
                           // Below 2222 Hz the 1 kHz floor would reach Nyquist; designs stay at 0.45 of the rate.
                           { 1000.0, 450.0, 450.0, 450.0 } };
    for (const auto& c : cases)
    {
        const std::vector<Biquad> reference {
            Biquad::highPass (c.rate, 80.0, 0.707), Biquad::peak (c.rate, 150.0, 0.4, 3.5),
            Biquad::peak (c.rate, c.presenceHz, 1.0, 3.0), Biquad::highShelf (c.rate, c.airHz, 0.707, 4.5),
            Biquad::lowPass (c.rate, c.lowPassHz, 0.707)
        };
        const double nyquist = c.rate / 2.0;
        for (double hz : { 100.0, 1000.0, 0.25 * c.rate, c.presenceHz, c.airHz, c.lowPassHz, 0.47 * c.rate })
        {
            if (hz >= nyquist)
                continue;
            EXPECT_NEAR (responseDb (vocalEq (c.rate, "Male", 2.0f, 3.0f, 0.0f), c.rate, hz), cascadeDb (reference, hz, c.rate), 0.1)
                << hz << " Hz at " << c.rate << " Hz";
        }
    }
}

TEST (VocalEq, LogLine)
{
    struct Case { const char* voice; float air; float presence; float mud; const char* line; };
    const Case cases[] = {
        { "Male", 2.0f, 3.0f, 0.0f, "[AudioPipeline/EQ] Applied Male vocal EQ: Thickness=3.5dB, MudCut=0.0dB, Presence=3.0dB, AirShelf=2.0dB" },
        { "Female", -2.0f, 1.0f, 0.0f, "[AudioPipeline/EQ] Applied Female vocal EQ: Thickness=3.5dB, MudCut=0.0dB, Presence=1.0dB, AirShelf=-2.0dB" },
        { "male", 4.0f, 3.0f, -3.0f, "[AudioPipeline/EQ] Applied male vocal EQ: Thickness=3.5dB, MudCut=-3.0dB, Presence=3.0dB, AirShelf=4.0dB" },
    };
    for (const auto& c : cases)
    {
        auto buffer = sine (1, 480, 48000.0, 1000.0, 0.1f);
        EXPECT_EQ (steps::linesFor (stages::applyVocalEq (buffer, 48000.0, { c.voice, c.air, c.presence, c.mud })),
                   juce::StringArray (c.line));
    }
}

TEST (VocalEq, AirMinusTwoStillLiftsTheShelfHalfADecibel)
{
    // Against the same chain with a flat shelf, the 18 kHz region rises by the
    // 0.5 dB shelf (nearly its full gain there).
    const double withShelf = responseDb (vocalEq (48000.0, "Female", -2.0f, 3.0f, 0.0f), 48000.0, 19000.0);
    const double flat = responseDb (vocalEq (48000.0, "Female", -2.5f, 3.0f, 0.0f), 48000.0, 19000.0);
    EXPECT_NEAR (withShelf - flat, 0.5, 0.05);
}

// ---- Saturation -------------------------------------------------------------------

TEST (Saturation, ShelfAt44k1RelativeToTheDrive)
{
    const float drive = 0.5f;
    const double k = toDb (juce::Decibels::decibelsToGain (drive));
    struct Point { double hz; double db; };
    const Point points[] = { { 1000.0, 0.0 }, { 14000.0, -0.5 }, { 16000.0, -0.8 }, { 20000.0, -1.0 } };
    for (const auto& p : points)
        EXPECT_NEAR (responseDb (saturation (44100.0, drive), 44100.0, p.hz, 1.0e-4f, 1.0, 0.5) - k, p.db, 0.1) << p.hz;
}

TEST (Saturation, ShelfFrequencyFollowsTheCeilingAtLowRates)
{
    struct Case { double rate; double shelfHz; };
    const Case cases[] = { { 16000.0, 7200.0 }, { 22050.0, 9922.5 }, { 48000.0, 14000.0 } };
    for (const auto& c : cases)
    {
        const std::vector<Biquad> reference { Biquad::highShelf (c.rate, c.shelfHz, 0.707, -1.0) };
        for (double hz : { 1000.0, c.shelfHz, 0.45 * c.rate })
            EXPECT_NEAR (responseDb (saturation (c.rate, 0.0f), c.rate, hz, 1.0e-4f, 1.0, 0.5), cascadeDb (reference, hz, c.rate), 0.05)
                << hz << " Hz at " << c.rate;
    }
}

TEST (Saturation, ClipperWorkedValues)
{
    // A constant passes the shelf at unity (DC), so the settled output is the
    // clipper's own value.
    struct Case { float drive; float in; float out; };
    const Case cases[] = {
        { 0.2f, 0.1f, 0.0928f }, { 0.2f, 0.5f, 0.3385f }, { 0.2f, 1.0f, 0.5058f },
        { 0.5f, 0.1f, 0.0958f }, { 0.5f, 0.5f, 0.3462f }, { 0.5f, 1.0f, 0.5144f },
        { 2.0f, 0.1f, 0.1118f }, { 2.0f, 0.5f, 0.3863f }, { 2.0f, 1.0f, 0.5573f },
    };
    for (const auto& c : cases)
        for (float sign : { 1.0f, -1.0f })
        {
            juce::AudioBuffer<float> b (1, 4410);
            juce::FloatVectorOperations::fill (b.getWritePointer (0), sign * c.in, 4410);
            stages::applySaturation (b, 44100.0, { c.drive });
            EXPECT_NEAR (b.getSample (0, 4409), sign * c.out, 1.0e-4) << c.drive << " dB, " << sign * c.in;
        }
}

TEST (Saturation, ZeroStaysZeroAndNoDriveSilences)
{
    auto zeros = testing_support::silence (2, 4410);
    stages::applySaturation (zeros, 44100.0, { 2.0f });
    EXPECT_EQ (testing_support::peakOf (zeros), 0.0f);

    auto loud = sine (2, 4410, 44100.0, 440.0, 0.9f);
    stages::applySaturation (loud, 44100.0, { -100.0f });
    EXPECT_EQ (testing_support::peakOf (loud), 0.0f);
}

TEST (Saturation, OutputStaysBelowFullScaleForAnyInput)
{
    auto hot = sine (1, 44100, 44100.0, 997.0, 50.0f); // far beyond full scale
    stages::applySaturation (hot, 44100.0, { 2.0f });
    // The clipper keeps |y| < 1; the -1 dB shelf can overshoot a little on edges.
    EXPECT_LT (testing_support::peakOf (hot), 1.1f);
}

TEST (Saturation, LogLine)
{
    struct Case { float drive; const char* line; };
    const Case cases[] = {
        { 0.5f, "[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+0.5dB)" },
        { 0.2f, "[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+0.2dB)" },
        { 2.0f, "[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+2.0dB)" },
    };
    for (const auto& c : cases)
    {
        juce::AudioBuffer<float> empty (0, 0);
        EXPECT_EQ (steps::linesFor (stages::applySaturation (empty, 22050.0, { c.drive })), juce::StringArray (c.line));
    }
}
