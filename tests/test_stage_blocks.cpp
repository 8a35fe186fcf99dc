// Every stage's processor over blocks: a file run in one block, sample by
// sample, or in blocks of random lengths gives the same samples bit for bit, and
// the same as the stage over the whole buffer, its processor built from its
// design as the chain builds it (channels side by side). The designs are
// checked where they can be without audio.

#include "pipeline/StageLog.h"
#include "support/StageMeasure.h"
#include "support/TestSupport.h"
#include "support/WholeBuffer.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <functional>
#include <memory>

using namespace tessaloom;

using namespace testing_support;

namespace
{
constexpr double rate = 48000.0;

// A processor of some stage, made for a number of channels, behind one call.
using ChannelProcess = std::function<void (int channel, float* samples, int numSamples)>;

template <typename Processor>
ChannelProcess holding (std::shared_ptr<Processor> processor)
{
    return [processor] (int channel, float* samples, int n) { processor->processChannel (channel, samples, n); };
}

struct StageCase
{
    const char* name;
    std::function<ChannelProcess (int numChannels)> make;
    std::function<void (juce::AudioBuffer<float>&)> wholeBuffer; // built as the chain builds it
};

// Speech-like material with loud bursts, digital silence and a tail of hiss, so
// every dynamics stage crosses its thresholds and every envelope releases.
juce::AudioBuffer<float> material (int channels, int frames)
{
    auto b = speechLike (channels, frames, rate, 5);
    b.applyGain (frames / 4, frames / 8, 6.0f);
    b.clear (frames / 2, frames / 10);
    return b;
}

std::vector<StageCase> stageCases()
{
    using namespace stages;
    std::vector<StageCase> cases;
    cases.push_back ({ "pre-filter",
                       [] (int n) { return holding (std::make_shared<BiquadCascade> (designPreFilter ({ true, std::nullopt }, rate), n)); },
                       [] (auto& b) { applyPreFilter (b, rate, { true, std::nullopt }); } });
    // With --hum: notches where the lines were measured.
    cases.push_back ({ "pre-filter, measured hum",
                       [] (int n)
                       {
                           return holding (std::make_shared<BiquadCascade> (
                               designPreFilter ({ false, std::vector<float> { 59.7f, 119.4f, 179.1f } }, rate), n));
                       },
                       [] (auto& b) { applyPreFilter (b, rate, { false, std::vector<float> { 59.7f, 119.4f, 179.1f } }); } });
    // The background guard's: pauses lowered 9 dB, in 20 ms blocks every third of them speech.
    static const auto duck = []
    {
        PauseDuckerParameters p;
        for (int i = 0; i < 400; ++i)
            p.speechBlocks.push_back (i % 3 == 0);
        p.blockFrames = 960;
        p.duckDb = 9.0f;
        return p;
    }();
    cases.push_back ({ "pause ducker",
                       [] (int n) { return holding (std::make_shared<PauseDucker> (designPauseDucker (duck, rate), n)); },
                       [] (auto& b) { applyPauseDucker (b, rate, duck); } });
    cases.push_back ({ "pre-gain",
                       [] (int) { return holding (std::make_shared<Gain> (designPreGain ({ -18.0f, -27.5f, false })->factor)); },
                       [] (auto& b) { applyPreGain (b, { -18.0f, -27.5f, false }); } });
    cases.push_back ({ "de-esser",
                       [] (int n) { return holding (std::make_shared<DeEsser> (designDeEsser ({ -30.0f }, rate), n)); },
                       [] (auto& b) { applyDeEsser (b, rate, { -30.0f }); } });
    cases.push_back ({ "expander",
                       [] (int n) { return holding (std::make_shared<Expander> (designExpander ({ -45.0f }, rate), n)); },
                       [] (auto& b) { applyExpander (b, rate, { -45.0f }); } });
    cases.push_back ({ "vocal EQ",
                       [] (int n)
                       { return holding (std::make_shared<BiquadCascade> (designVocalEq ({ "Male", 4.0f, 3.0f, -3.0f }, rate), n)); },
                       [] (auto& b) { applyVocalEq (b, rate, { "Male", 4.0f, 3.0f, -3.0f }); } });
    cases.push_back ({ "leveler",
                       [] (int n) { return holding (std::make_shared<Leveler> (designLeveler ({}, rate), n)); },
                       [] (auto& b) { applyLeveler (b, rate); } });
    cases.push_back ({ "saturation",
                       [] (int n) { return holding (std::make_shared<Saturation> (designSaturation ({ 0.5f }, rate), n)); },
                       [] (auto& b) { applySaturation (b, rate, { 0.5f }); } });
    cases.push_back ({ "normalization gain",
                       [] (int) { return holding (std::make_shared<Gain> (designNormalizationGain ({ -18.0f, -12.25f, false })->factor)); },
                       [] (auto& b) { applyNormalizationGain (b, { -18.0f, -12.25f, false }); } });
    cases.push_back ({ "limiter",
                       [] (int n) { return holding (std::make_shared<Limiter> (designLimiter ({}, rate), n)); },
                       [] (auto& b) { applyLimiter (b, rate, {}); } });
    // The trim's gain comes from the peak of the whole file, measured before it runs.
    cases.push_back ({ "output trim",
                       [] (int) { return holding (std::make_shared<Gain> (designOutputTrim ({ 0.8125f })->factor)); },
                       [] (auto& b)
                       {
                           b.setSample (0, 17, 0.8125f); // the peak the processor above was designed for
                           applyOutputTrim (b);
                       } });
    return cases;
}

// Runs the processor over every channel in blocks whose lengths come from next().
juce::AudioBuffer<float> runInBlocks (const StageCase& stage, juce::AudioBuffer<float> audio,
                                      const std::function<int()>& next)
{
    auto process = stage.make (audio.getNumChannels());
    for (int c = 0; c < audio.getNumChannels(); ++c)
    {
        float* x = audio.getWritePointer (c);
        for (int at = 0; at < audio.getNumSamples();)
        {
            const int length = juce::jmin (next(), audio.getNumSamples() - at);
            process (c, x + at, length);
            at += length;
        }
    }
    return audio;
}

// Empty when equal bit for bit, else where and how they first differ.
std::string firstDifference (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    for (int c = 0; c < a.getNumChannels(); ++c)
        for (int i = 0; i < a.getNumSamples(); ++i)
            if (std::memcmp (a.getReadPointer (c) + i, b.getReadPointer (c) + i, sizeof (float)) != 0)
                return "channel " + std::to_string (c) + ", sample " + std::to_string (i) + ": "
                       + juce::String (a.getSample (c, i), 9).toStdString() + " vs "
                       + juce::String (b.getSample (c, i), 9).toStdString();
    return {};
}
} // namespace

TEST (StageBlocks, OneBlockEqualsSampleBySampleEqualsRandomBlocksEqualsTheWholeBuffer)
{
    // Over 65,536 frames, so the whole-buffer operation runs the two channels on two threads.
    const auto input = material (2, 96000);

    for (const auto& stage : stageCases())
    {
        auto reference = input;
        if (std::string (stage.name) == "output trim")
            reference.setSample (0, 17, 0.8125f);
        const auto source = reference;

        const auto oneBlock = runInBlocks (stage, source, [] { return 1 << 30; });
        const auto sampleBySample = runInBlocks (stage, source, [] { return 1; });
        juce::Random rng (juce::String (stage.name).hashCode64());
        const auto randomBlocks = runInBlocks (stage, source, [&] { return 1 + rng.nextInt (3000); });
        stage.wholeBuffer (reference);

        EXPECT_EQ (firstDifference (oneBlock, sampleBySample), "") << stage.name << ": sample by sample";
        EXPECT_EQ (firstDifference (oneBlock, randomBlocks), "") << stage.name << ": random blocks";
        EXPECT_EQ (firstDifference (oneBlock, reference), "") << stage.name << ": whole-buffer operation";
        EXPECT_NE (firstDifference (oneBlock, source), "") << stage.name << " must change this material";
    }
}

TEST (StageBlocks, JuceBlocksRunEveryChannel)
{
    const auto input = material (3, 4096);
    auto viaBlock = input;
    auto viaChannels = input;
    stages::Leveler byBlock (stages::designLeveler ({}, rate), 3), byChannel (stages::designLeveler ({}, rate), 3);

    juce::dsp::AudioBlock<float> block (viaBlock);
    stages::processBlock (byBlock, block.getSubBlock (0, 1000));
    stages::processBlock (byBlock, block.getSubBlock (1000, 3096));
    for (int c = 0; c < 3; ++c)
        byChannel.processChannel (c, viaChannels.getWritePointer (c), 4096);
    EXPECT_EQ (firstDifference (viaBlock, viaChannels), "");
}

// ---- Designs, checked without running audio -------------------------------------

namespace
{
// |H(e^jw)| of a cascade design in dB.
double designResponseDb (const stages::BiquadCascadeDesign& design, double hz, double sampleRate)
{
    const auto z = std::polar (1.0, -2.0 * juce::MathConstants<double>::pi * hz / sampleRate); // z^-1
    std::complex<double> h = 1.0;
    for (size_t k = 0; k < design.numSections; ++k)
    {
        const auto& s = design.sections[k];
        h *= (double) s.b0 + (double) s.b1 * z + (double) s.b2 * z * z;
        h /= 1.0 + (double) s.a1 * z + (double) s.a2 * z * z;
    }
    return 20.0 * std::log10 (std::abs (h));
}
} // namespace

TEST (StageDesigns, FilterDesignsAtAFewFrequencies)
{
    struct Point { const char* what; stages::BiquadCascadeDesign design; double rate, hz, db, tolerance; };
    const Point points[] = {
        { "pre-filter high-pass -3 dB point", stages::designPreFilter ({ false, std::nullopt }, 48000.0), 48000.0, 90.0, -3.0, 0.05 },
        { "pre-filter passes the voice", stages::designPreFilter ({ true, std::nullopt }, 48000.0), 48000.0, 1000.0, 0.0, 0.02 },
        { "pre-filter notches 50 Hz", stages::designPreFilter ({ true, std::nullopt }, 44100.0), 44100.0, 50.0, -40.0, 0.0 },
        { "pre-filter notches 150 Hz", stages::designPreFilter ({ true, std::nullopt }, 16000.0), 16000.0, 150.0, -40.0, 0.0 },
        { "measured notch at 59.7 Hz", stages::designPreFilter ({ false, std::vector<float> { 59.7f, 119.4f } }, 48000.0), 48000.0, 59.7, -40.0, 0.0 },
        { "measured notch at 119.4 Hz", stages::designPreFilter ({ false, std::vector<float> { 59.7f, 119.4f } }, 48000.0), 48000.0, 119.4, -40.0, 0.0 },
        { "measured notches leave 110 Hz", stages::designPreFilter ({ false, std::vector<float> { 59.7f, 119.4f } }, 48000.0), 48000.0, 110.0, -1.6, 0.1 }, // the high-pass alone: -1.6 dB
        { "vocal EQ male band at 30 Hz", stages::designVocalEq ({ "Male", 2.0f, 3.0f, 0.0f }, 48000.0), 48000.0, 30.0, -16.4, 0.1 },
        { "vocal EQ presence", stages::designVocalEq ({ "Male", 2.0f, 3.0f, 0.0f }, 48000.0), 48000.0, 4500.0, 3.1, 0.1 },
        { "vocal EQ female band at 80 Hz", stages::designVocalEq ({ "Female", 2.0f, 3.0f, 0.0f }, 48000.0), 48000.0, 80.0, -5.1, 0.1 },
        { "saturation shelf at Nyquist", stages::designSaturation ({ 0.0f }, 48000.0).shelf, 48000.0, 23999.0, -1.0, 0.01 },
        { "saturation shelf leaves the voice", stages::designSaturation ({ 0.0f }, 48000.0).shelf, 48000.0, 1000.0, 0.0, 0.01 },
    };
    for (const auto& p : points)
    {
        const double db = designResponseDb (p.design, p.hz, p.rate);
        if (p.tolerance == 0.0) // a notch: deep, however deep float coefficients allow
            EXPECT_LT (db, p.db) << p.what;
        else
            EXPECT_NEAR (db, p.db, p.tolerance) << p.what;
    }
}

TEST (StageDesigns, DynamicsDesigns)
{
    // The de-esser's split moves under Nyquist at low rates; its threshold sits
    // 2 dB under the sibilance level, never under -40 dBFS.
    EXPECT_EQ (stages::designDeEsser ({ -30.0f }, 48000.0).crossoverHz, 5000.0f);
    EXPECT_EQ (stages::designDeEsser ({ -30.0f }, 8000.0).crossoverHz, 3999.0f);
    EXPECT_EQ (stages::designDeEsser ({ -30.0f }, 48000.0).thresholdDb, -32.0f);
    EXPECT_EQ (stages::designDeEsser ({ -60.0f }, 48000.0).thresholdDb, -40.0f);

    // An expander threshold at the gate's floor designs no gate at all.
    EXPECT_TRUE (stages::designExpander ({ -45.0f }, 48000.0).gate.has_value());
    EXPECT_FALSE (stages::designExpander ({ -200.0f }, 48000.0).gate.has_value());
    EXPECT_FALSE (stages::designExpander ({ std::numeric_limits<float>::quiet_NaN() }, 48000.0).gate.has_value());

    // The limiter's make-up gain: 10^(10 * 3/4 / 40) for the first compressor and +1 dB for the ceiling.
    EXPECT_NEAR (stages::designLimiter ({}, 48000.0).kernel.outputGain, std::pow (10.0, 0.1875 + 0.05), 1.0e-6);

    // The leveler's attack coefficient: exp(-2 pi 1000 / (rate * 12 ms)).
    EXPECT_NEAR (stages::designLeveler ({}, 48000.0).compressor.attack,
                 std::exp (-2.0 * juce::MathConstants<double>::pi * 1000.0 / (48000.0 * 12.0)), 1.0e-7);
}

// The ducker reads its ramp's gains from a table made by its design; they must
// be the powers it would take sample by sample, bit for bit, and a ramp longer
// than the table must go on with the powers themselves.
TEST (StageDesigns, PauseDuckerGainsAreThePowersOfTheirDistanceFromSpeech)
{
    struct Case
    {
        const char* what;
        double rate;
        float rampMs, duckDb;
        int blockFrames;
    };
    const Case cases[] = {
        { "the guard's ramp at 48 kHz", 48000.0, 15.0f, 9.0f, 960 },
        { "a ramp of a fraction of a frame's length", 44100.0, 15.0f, 4.5f, 882 },
        { "a ramp longer than the table", 48000.0, 1500.0f, 12.0f, 960 },
    };
    for (const auto& k : cases)
    {
        SCOPED_TRACE (k.what);
        stages::PauseDuckerParameters p;
        for (int i = 0; i < 300; ++i)
            p.speechBlocks.push_back (i % 97 < 20 || i == 150);
        p.blockFrames = k.blockFrames;
        p.rampMs = k.rampMs;
        p.duckDb = k.duckDb;
        const auto design = stages::designPauseDucker (p, k.rate);
        const int frames = (int) p.speechBlocks.size() * p.blockFrames + 500; // past the last block too
        std::vector<float> ones ((size_t) frames, 1.0f);
        stages::PauseDucker ducker (design, 1);
        ducker.processChannel (0, ones.data(), frames);

        int differing = 0, first = -1;
        for (int f = 0; f < frames; ++f)
        {
            double expected = 1.0;
            if (const auto block = (size_t) (f / p.blockFrames); block < p.speechBlocks.size())
            {
                double distance = 1.0e300;
                if (const auto end = design.speechEndBefore[block]; end >= 0)
                    distance = f < end ? 0.0 : (double) (f - end + 1);
                if (const auto start = design.speechStartAfter[block]; start >= 0)
                    distance = std::min (distance, f >= start ? 0.0 : (double) (start - f));
                expected = distance >= design.rampFrames ? design.duckGain : std::pow (design.duckGain, distance / design.rampFrames);
            }
            if (ones[(size_t) f] != (float) (1.0f * expected) && differing++ == 0)
                first = f;
        }
        EXPECT_EQ (differing, 0) << "first at frame " << first;
    }
}
