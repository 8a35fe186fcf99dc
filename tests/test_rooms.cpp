// The rooms people record in: mains hum at 50 or 60 Hz, clipped takes, voices
// and noise in the background, the denoiser's limit, a delivery folder with
// only the outputs, and the command line's habits. The engine runs as built,
// with the bundled denoiser and FFmpeg, on signals made here (espeak-ng voices,
// sines, pink noise, a fan, babble of several voices).
#include "analysis/Clipping.h"
#include "analysis/MainsHum.h"
#include "pipeline/stages/Declipper.h"
#include "support/DeliveryCorpus.h"
#include "support/TestSupport.h"
#include "support/WholeBuffer.h"

#include <juce_dsp/juce_dsp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace tessaloom;

using namespace testing_support;

namespace
{
// Every file mastered: 0, or 3 when a preset's delivery check failed (the
// checks are not what these tests are about).
bool mastered (int exitCode)
{
    return exitCode == 0 || exitCode == 3;
}

constexpr double kRate = 48000.0;

// A voice from espeak-ng at kRate, mono, peak at `peak`; empty without espeak-ng.
juce::AudioBuffer<float> voice (const std::string& text, const std::string& voiceName, float peak = 0.5f,
                                const std::vector<std::string>& extra = {})
{
    TempFolder tmp;
    const auto wav = tmp.file ("v.wav");
    std::vector<std::string> args { "-v", voiceName, "-s", "150" };
    args.insert (args.end(), extra.begin(), extra.end());
    args.insert (args.end(), { "-w", wav.getFullPathName().toStdString(), text });
    if (runProcess ("/usr/bin/espeak-ng", args).exitCode != 0)
        return {};
    const auto loaded = readAudio (wav);
    if (! loaded.ok)
        return {};
    const double ratio = loaded.sampleRate / kRate;
    const int frames = (int) (loaded.buffer.getNumSamples() / ratio);
    const int pause = (int) (kRate * 0.6);
    // Twice, with pauses between, as a take has them.
    juce::AudioBuffer<float> out (1, 2 * (frames + pause) + pause);
    out.clear();
    for (int take = 0; take < 2; ++take)
    {
        juce::LagrangeInterpolator interpolator;
        interpolator.process (ratio, loaded.buffer.getReadPointer (0), out.getWritePointer (0, pause + take * (frames + pause)),
                              frames);
    }
    out.applyGain (peak / std::max (peakOf (out), 1.0e-9f));
    return out;
}

void addSine (juce::AudioBuffer<float>& b, double hz, double dbfs)
{
    const double amplitude = std::pow (10.0, dbfs / 20.0) * std::sqrt (2.0); // an RMS of dbfs
    for (int i = 0; i < b.getNumSamples(); ++i)
        b.getWritePointer (0)[i] += (float) (amplitude * std::sin (2.0 * juce::MathConstants<double>::pi * hz * i / kRate));
}

// Averaged power spectrum (Hann, frames of 2^16 at 48 kHz: 0.73 Hz bins), power per bin.
std::vector<double> spectrum (const juce::AudioBuffer<float>& b)
{
    constexpr int order = 16, n = 1 << order;
    juce::dsp::FFT fft (order);
    std::vector<double> power ((size_t) n / 2, 0.0);
    std::vector<float> data ((size_t) n * 2);
    for (int start = 0; start + n <= b.getNumSamples(); start += n / 2)
    {
        std::fill (data.begin(), data.end(), 0.0f);
        for (int i = 0; i < n; ++i)
            data[(size_t) i] = b.getSample (0, start + i) * (float) (0.5 - 0.5 * std::cos (2.0 * juce::MathConstants<double>::pi * i / n));
        fft.performFrequencyOnlyForwardTransform (data.data(), true);
        for (size_t k = 0; k < power.size(); ++k)
            power[k] += (double) data[k] * data[k];
    }
    return power;
}

// How far a line (the strongest bin within 1.5 Hz of hz) stands over the mean of its neighbouring bins, 4 to 12 Hz away.
double lineOverNeighboursDb (const std::vector<double>& power, double hz)
{
    const double bin = kRate / (double) (power.size() * 2);
    double line = 0.0, around = 0.0;
    int count = 0;
    for (int k = (int) ((hz - 1.5) / bin); k <= (int) ((hz + 1.5) / bin); ++k)
        line = std::max (line, power[(size_t) k]);
    for (int k = (int) ((hz - 12.0) / bin); k <= (int) ((hz + 12.0) / bin); ++k)
        if (std::abs (k * bin - hz) >= 4.0)
        {
            around += power[(size_t) k];
            ++count;
        }
    return 10.0 * std::log10 (line / (around / count));
}

// Band level in dB from the averaged spectrum.
double bandDb (const std::vector<double>& power, double from, double to)
{
    const double bin = kRate / (double) (power.size() * 2);
    double sum = 0.0;
    for (int k = (int) std::ceil (from / bin); k <= (int) std::floor (to / bin); ++k)
        sum += power[(size_t) k];
    return 10.0 * std::log10 (sum + 1.0e-30);
}

struct Run
{
    ProcessOutput process;
    juce::var report;
    LoadedAudio output;
};

Run master (const TempFolder& tmp, const juce::String& name, const juce::AudioBuffer<float>& input,
            const std::vector<std::string>& options, bool denoise = true)
{
    const auto in = tmp.file (name + ".wav"), out = tmp.file ("out/" + name + ".wav"), report = tmp.file (name + ".jsonl");
    if (! in.existsAsFile())
        writeWav (in, input, kRate);
    std::vector<std::string> args { "--input", in.getFullPathName().toStdString(), "--output", out.getFullPathName().toStdString(),
                                    "--report", report.getFullPathName().toStdString() };
    if (denoise)
        args.insert (args.end(), { "--deepfilter-path", TESSALOOM_DENOISE_EXE, "--ffmpeg-path", TESSALOOM_FFMPEG });
    else
        args.insert (args.end(), { "--denoise", "false" });
    args.insert (args.end(), options.begin(), options.end());
    Run r;
    r.process = runEngineExe (args);
    r.report = juce::JSON::parse (report.loadFileAsString());
    r.output = readAudio (out);
    return r;
}

// Speech-to-pause ratio on the known frames: 20 ms blocks where the clean talker speaks (within 30 dB of its
// loudest block) against those where it is silent.
double meanSquare (const juce::AudioBuffer<float>& b, int start, int count)
{
    double sum = 0.0;
    for (int i = start; i < start + count && i < b.getNumSamples(); ++i)
        sum += (double) b.getSample (0, i) * b.getSample (0, i);
    return sum / count;
}

struct Frames
{
    std::vector<int> speech, pause;
};

Frames framesOf (const juce::AudioBuffer<float>& talker)
{
    const int block = (int) (kRate * 0.02);
    std::vector<double> power;
    for (int start = 0; start + block <= talker.getNumSamples(); start += block)
        power.push_back (meanSquare (talker, start, block));
    const double loudest = *std::max_element (power.begin(), power.end());
    Frames f;
    for (int i = 0; i < (int) power.size(); ++i)
    {
        if (power[(size_t) i] > loudest * 1.0e-3)
            f.speech.push_back (i);
        else if (power[(size_t) i] < loudest * 1.0e-7)
            f.pause.push_back (i);
    }
    return f;
}

double speechToPauseDb (const juce::AudioBuffer<float>& b, const Frames& f)
{
    const int block = (int) (kRate * 0.02);
    const auto mean = [&] (const std::vector<int>& blocks)
    {
        double sum = 0.0;
        for (int i : blocks)
            sum += meanSquare (b, i * block, block);
        return sum / (double) blocks.size();
    };
    return 10.0 * std::log10 (mean (f.speech) / mean (f.pause));
}
} // namespace

//==============================================================================
// Hum: 50 Hz and 60 Hz (the latter 0.3 Hz low) at about -35 dBFS, fundamental and two harmonics, under a
// preset with the bundled denoiser: every line ends within 3 dB of its neighbours; a take without hum is not notched.
TEST (Rooms, MainsHumAt50Or60HzIsFoundAndNotched)
{
    const auto talker = voice ("The mains in this room hum at one frequency or the other, and the voice goes on "
                               "above it all the same.", "en", 0.4f);
    if (talker.getNumSamples() == 0)
        GTEST_SKIP() << "espeak-ng not found";

    struct Case
    {
        const char* name;
        double mainsHz; // 0: no hum
        int expectedMains;
    };
    const Case cases[] = { { "hum50", 50.0, 50 }, { "hum60drift", 59.7, 60 }, { "nohum", 0.0, 0 } };
    TempFolder tmp;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto input = talker;
        input.addFrom (0, 0, pinkNoise (1, input.getNumSamples(), 0.001f), 0, 0, input.getNumSamples());
        for (int k = 1; c.mainsHz > 0.0 && k <= 3; ++k)
            addSine (input, k * c.mainsHz, -35.0);
        const auto run = master (tmp, c.name, input, { "--preset", "podcast" });
        ASSERT_TRUE (mastered (run.process.exitCode)) << run.process.err;
        ASSERT_TRUE (run.output.ok);
        const auto& hum = run.report["room"]["hum"];
        ASSERT_TRUE (hum.isObject());
        const auto before = spectrum (input), after = spectrum (run.output.buffer);
        if (c.expectedMains == 0)
        {
            EXPECT_TRUE (hum["mainsHz"].isVoid()) << run.process.err;
            EXPECT_EQ (hum["notchedHz"].size(), 0);
            EXPECT_FALSE (run.process.errContains ("Notches"));
            continue;
        }
        EXPECT_EQ ((int) hum["mainsHz"], c.expectedMains);
        EXPECT_NEAR ((double) hum["fundamentalHz"], c.mainsHz, 0.05);
        EXPECT_EQ (hum["notchedHz"].size(), 3);
        EXPECT_TRUE (run.process.errContains ("[Room] Mains hum: " + std::to_string (c.expectedMains) + " Hz mains at "));
        for (int k = 1; k <= 3; ++k)
        {
            const double in = lineOverNeighboursDb (before, k * c.mainsHz), out = lineOverNeighboursDb (after, k * c.mainsHz);
            std::printf ("[figure] %s line %.1f Hz: %.1f dB over its neighbours in, %.1f dB out\n", c.name, k * c.mainsHz, in, out);
            EXPECT_GT (in, 10.0);
            EXPECT_LT (out, 3.0) << k * c.mainsHz << " Hz";
        }
    }
}

// The notches leave a low male voice's fundamental region alone: its level at 100-120 Hz within 1 dB of the
// pre-filter's without notches, for the 50 Hz and the 60 Hz family measured where they lie.
TEST (Rooms, NotchesLeaveALowVoiceAt100To120Hz)
{
    const auto low = voice ("A low voice reads the chapter slowly, the fundamental near one hundred hertz.", "en+m3",
                            0.5f, { "-p", "20" });
    if (low.getNumSamples() == 0)
        GTEST_SKIP() << "espeak-ng not found";
    struct Case
    {
        const char* name;
        std::vector<float> lines;
    };
    const Case cases[] = { { "50 Hz family", { 50.0f, 100.0f, 150.0f } }, { "60 Hz family", { 60.0f, 120.0f, 180.0f } },
                           { "60 Hz family, drifted", { 59.7f, 119.4f, 179.1f } } };
    auto plain = low;
    stages::PreFilterParameters none;
    none.measuredHumHz.emplace();
    applyPreFilter (plain, kRate, none);
    const double reference = bandDb (spectrum (plain), 100.0, 120.0);
    for (const auto& c : cases)
    {
        auto notched = low;
        stages::PreFilterParameters p;
        p.measuredHumHz = c.lines;
        applyPreFilter (notched, kRate, p);
        const double level = bandDb (spectrum (notched), 100.0, 120.0);
        std::printf ("[figure] low voice 100-120 Hz with the %s notched: %+.2f dB\n", c.name, level - reference);
        EXPECT_NEAR (level, reference, 1.0) << c.name;
    }
}

//==============================================================================
// Clipping.

// Speech driven `overDb` over full scale and clipped at `level`.
juce::AudioBuffer<float> clippedBy (const juce::AudioBuffer<float>& clean, double overDb, float level)
{
    auto b = clean;
    b.applyGain ((float) std::pow (10.0, overDb / 20.0) * level / peakOf (clean));
    for (int i = 0; i < b.getNumSamples(); ++i)
        b.getWritePointer (0)[i] = juce::jlimit (-level, level, b.getSample (0, i));
    return b;
}

// The fixture's own count of flat runs of three or more samples at the clip level.
struct RunCount
{
    juce::int64 runs = 0, longest = 0, samples = 0;
};
RunCount countRuns (const juce::AudioBuffer<float>& b, float level)
{
    RunCount c;
    juce::int64 open = 0;
    float side = 0.0f;
    const auto close = [&]
    {
        if (open >= 3)
        {
            ++c.runs;
            c.samples += open;
            c.longest = std::max (c.longest, open);
        }
        open = 0;
    };
    for (int i = 0; i < b.getNumSamples(); ++i)
    {
        const float v = b.getSample (0, i);
        // At the level, not beyond it: a rebuilt crest rises over it.
        const bool atLevel = std::abs (std::abs (v) - level) <= level * 1.0e-4f;
        if (atLevel && (open == 0 || (v > 0) == (side > 0)))
        {
            side = v;
            ++open;
        }
        else
        {
            close();
            if (atLevel)
            {
                side = v;
                open = 1;
            }
        }
    }
    close();
    return c;
}

// The declipper over a whole buffer in blocks of `block` frames.
juce::AudioBuffer<float> declipped (const juce::AudioBuffer<float>& in, float level, int block,
                                    stages::DeclipperReport* report = nullptr)
{
    stages::Declipper d (stages::designDeclipper ({ { level } }, kRate), 1);
    juce::AudioBuffer<float> out (1, in.getNumSamples() + d.latency());
    int written = 0;
    juce::AudioBuffer<float> work (1, std::max (block, d.latency()));
    for (int start = 0; start < in.getNumSamples(); start += block)
    {
        const int n = std::min (block, in.getNumSamples() - start);
        work.copyFrom (0, 0, in, 0, start, n);
        const int given = d.process (work.getArrayOfWritePointers(), n);
        out.copyFrom (0, written, work, 0, 0, given);
        written += given;
    }
    const int rest = d.flush (work.getArrayOfWritePointers());
    out.copyFrom (0, written, work, 0, 0, rest);
    written += rest;
    out.setSize (1, written, true);
    if (report != nullptr)
        *report = d.report();
    return out;
}

// +12 and +22 dB: the report counts what the fixture counts; the declipper brings the rebuilt samples closer to
// the unclipped source (error energy down 10 dB at +12) and leaves no flat run at the clip level.
TEST (Rooms, ClippedTakesAreMeasuredAndRebuilt)
{
    const auto clean = voice ("Recorded far too hot, this take was flattened at the top of every loud syllable.", "en", 1.0f);
    if (clean.getNumSamples() == 0)
        GTEST_SKIP() << "espeak-ng not found";
    struct Case
    {
        double overDb;
        double errorDownAtLeastDb;
    };
    const Case cases[] = { { 12.0, 10.0 }, { 22.0, 0.0 } };
    const float level = 0.5f;
    TempFolder tmp;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.overDb);
        const auto clipped = clippedBy (clean, c.overDb, level);
        const auto fixture = countRuns (clipped, level);
        ASSERT_GT (fixture.runs, 10);

        // The report's figures, from a run with --report only (the default chain).
        const auto name = "clipped" + juce::String ((int) c.overDb);
        const auto run = master (tmp, name, clipped, {}, false);
        ASSERT_TRUE (mastered (run.process.exitCode)) << run.process.err;
        const auto& figures = run.report["room"]["clipping"];
        ASSERT_TRUE (figures.isObject());
        EXPECT_EQ ((juce::int64) figures["runs"], fixture.runs);
        EXPECT_EQ ((juce::int64) figures["longestRun"], fixture.longest);
        // The engine reads the 16-bit file: a sample within a quantum of the level may join a run.
        EXPECT_NEAR ((double) figures["share"], (double) fixture.samples / clipped.getNumSamples(), 1.0e-5);
        EXPECT_FALSE (run.process.errContains ("[Room]")); // the specified log without --declip or a preset

        // The rebuild, in blocks of an odd length, against the unclipped source (scaled the same way).
        auto source = clean;
        source.applyGain ((float) std::pow (10.0, c.overDb / 20.0) * level / peakOf (clean));
        stages::DeclipperReport report;
        auto rebuilt = declipped (clipped, level, 9973, &report);
        ASSERT_EQ (rebuilt.getNumSamples(), clipped.getNumSamples());
        rebuilt.applyGain (1.0f / juce::Decibels::decibelsToGain (report.headroomDb));
        double clippedError = 0.0, rebuiltError = 0.0;
        for (int i = 0; i < clipped.getNumSamples(); ++i)
        {
            const double s = source.getSample (0, i);
            clippedError += std::pow (clipped.getSample (0, i) - s, 2.0);
            rebuiltError += std::pow (rebuilt.getSample (0, i) - s, 2.0);
        }
        const double down = 10.0 * std::log10 (clippedError / rebuiltError);
        std::printf ("[figure] +%.0f dB: %lld runs (longest %lld), %lld samples rebuilt, error energy down %.1f dB\n",
                     c.overDb, (long long) fixture.runs, (long long) fixture.longest, (long long) report.rebuiltSamples, down);
        EXPECT_GE (down, c.errorDownAtLeastDb);
        EXPECT_GT (down, 0.0);
        EXPECT_EQ (countRuns (rebuilt, level).runs, 0);
        EXPECT_EQ (report.leftRuns, 0);
        // Any block length gives the same samples.
        const auto inOneBlock = declipped (clipped, level, clipped.getNumSamples());
        auto again = declipped (clipped, level, 512);
        for (int i = 0; i < clipped.getNumSamples(); ++i)
            ASSERT_EQ (again.getSample (0, i), inOneBlock.getSample (0, i)) << i;

        // Through the engine: logged and counted.
        const auto fixed = master (tmp, name, clipped, { "--declip" }, false);
        ASSERT_TRUE (mastered (fixed.process.exitCode)) << fixed.process.err;
        EXPECT_TRUE (fixed.process.errContains ("[Room] Clipping: " + std::to_string (fixture.runs) + " clipped runs"));
        EXPECT_TRUE (fixed.process.errContains ("[Room] Declip: rebuilt "));
        EXPECT_GT ((juce::int64) fixed.report["room"]["clipping"]["declippedSamples"], fixture.samples);
    }
}

// An unclipped input comes out byte for byte the same with --declip as without.
TEST (Rooms, UnclippedInputIsUntouchedByDeclip)
{
    const auto clean = voice ("Nothing in this take reached the top.", "en", 0.7f);
    if (clean.getNumSamples() == 0)
        GTEST_SKIP() << "espeak-ng not found";
    TempFolder tmp;
    const auto plain = master (tmp, "clean", clean, {}, false);
    juce::File (tmp.file ("out/clean.wav")).moveFileTo (tmp.file ("plain.wav"));
    const auto with = master (tmp, "clean", clean, { "--declip=true" }, false);
    ASSERT_TRUE (mastered (with.process.exitCode)) << with.process.err;
    EXPECT_TRUE (with.process.errContains ("[Room] Clipping: none found\n"));
    EXPECT_TRUE (with.process.errContains ("[Room] Declip: nothing rebuilt\n"));
    juce::MemoryBlock a, b;
    tmp.file ("plain.wav").loadFileAsData (a);
    tmp.file ("out/clean.wav").loadFileAsData (b);
    EXPECT_TRUE (a == b);
}

//==============================================================================
// The background: a talker over babble (six other espeak voices), over pink noise and over a fan; under every
// preset the output's speech-to-pause ratio (on the talker's own speech and pause frames) is at least the input's.
namespace
{
juce::AudioBuffer<float> babble (int frames)
{
    const char* voices[] = { "en+m1", "en+f2", "en-us+m4", "en+f4", "en-gb-scotland", "en+m7" };
    const char* texts[] = { "They said the meeting would run late again this evening.",
                            "Could you pass the salt and the bread over here please.",
                            "I think the train leaves at half past seven from platform two.",
                            "Nobody told me the shop was closed on a Sunday afternoon.",
                            "We walked along the river until the rain began to fall.",
                            "The children were laughing in the garden behind the house." };
    juce::AudioBuffer<float> out (1, frames);
    out.clear();
    for (int v = 0; v < 6; ++v)
    {
        const auto one = voice (texts[v], voices[v], 0.3f);
        if (one.getNumSamples() == 0)
            return {};
        // Looped from its own offset, so the talkers overlap and the babble never stops.
        const int length = one.getNumSamples(), offset = (v * 7919) % length;
        for (int i = 0; i < frames; ++i)
            out.getWritePointer (0)[i] += one.getSample (0, (i + offset) % length);
    }
    return out;
}

juce::AudioBuffer<float> fan (int frames)
{
    auto out = pinkNoise (1, frames, 0.02f, 11);
    // A fan's rumble: the noise under 300 Hz, and the blade tone at 87 Hz with two harmonics, slowly wavering.
    float state = 0.0f;
    const float a = (float) std::exp (-2.0 * juce::MathConstants<double>::pi * 300.0 / kRate);
    for (int i = 0; i < frames; ++i)
    {
        state = a * state + (1.0f - a) * out.getSample (0, i);
        const double t = i / kRate, wobble = 1.0 + 0.2 * std::sin (2.0 * juce::MathConstants<double>::pi * 0.3 * t);
        double tone = 0.0;
        for (int k = 1; k <= 3; ++k)
            tone += 0.01 / k * std::sin (2.0 * juce::MathConstants<double>::pi * 87.0 * k * t);
        out.setSample (0, i, 4.0f * state + (float) (tone * wobble));
    }
    return out;
}

void mixAt (juce::AudioBuffer<float>& into, const juce::AudioBuffer<float>& talker, const juce::AudioBuffer<float>& background,
            double speechOverBackgroundDb)
{
    const double talkerPower = meanSquare (talker, 0, talker.getNumSamples());
    const double backgroundPower = meanSquare (background, 0, background.getNumSamples());
    const float gain = (float) std::sqrt (talkerPower / backgroundPower / std::pow (10.0, speechOverBackgroundDb / 10.0));
    into = talker;
    into.addFrom (0, 0, background, 0, 0, talker.getNumSamples(), gain);
}
} // namespace

TEST (Rooms, BackgroundIsNeverLiftedUnderAPreset)
{
    const auto talker = voice ("Good evening. Tonight we talk about the rooms people record in, and what the noise "
                               "around them does to a voice.", "en", 0.5f);
    if (talker.getNumSamples() == 0)
        GTEST_SKIP() << "espeak-ng not found";
    const int frames = talker.getNumSamples();
    const auto chatter = babble (frames);
    ASSERT_EQ (chatter.getNumSamples(), frames);
    struct Background
    {
        const char* name;
        juce::AudioBuffer<float> audio;
        double speechOverDb;
    };
    const Background backgrounds[] = { { "babble", chatter, 10.0 }, { "pink", pinkNoise (1, frames, 0.05f, 5), 18.0 },
                                       { "fan", fan (frames), 14.0 } };
    const Frames f = framesOf (talker);
    ASSERT_GT (f.pause.size(), 50u);
    TempFolder tmp;
    for (const auto& b : backgrounds)
    {
        juce::AudioBuffer<float> input;
        mixAt (input, talker, b.audio, b.speechOverDb);
        const double before = speechToPauseDb (input, f);
        for (const auto* preset : { "podcast", "streaming", "broadcast", "audiobook" })
        {
            SCOPED_TRACE (std::string (b.name) + " " + preset);
            const auto run = master (tmp, juce::String (b.name) + "_" + preset, input, { "--preset", preset });
            ASSERT_TRUE (mastered (run.process.exitCode)) << run.process.err;
            ASSERT_TRUE (run.output.ok);
            const double after = speechToPauseDb (run.output.buffer, f);
            const auto& guard = run.report["room"]["background"];
            std::printf ("[figure] %s, %s: speech to pauses %.1f dB in, %.1f dB out (engine: %.1f -> %.1f, pauses -%.1f dB, %d passes)\n",
                         b.name, preset, before, after, (double) guard["inputSpeechToPauseDb"],
                         (double) guard["outputSpeechToPauseDb"], (double) guard["pausesLoweredDb"], (int) guard["shapePasses"]);
            EXPECT_GE (after, before);
        }
    }
}

//==============================================================================
// --denoise-limit moves the noise floor in the pauses, monotonically.
TEST (Rooms, DenoiseLimitMovesTheNoiseFloor)
{
    const auto talker = voice ("Every pause in this take carries the hiss of the room.", "en", 0.5f);
    if (talker.getNumSamples() == 0)
        GTEST_SKIP() << "espeak-ng not found";
    juce::AudioBuffer<float> input;
    mixAt (input, talker, pinkNoise (1, talker.getNumSamples(), 0.05f, 9), 20.0);
    const Frames f = framesOf (talker);
    TempFolder tmp;
    double previous = 0.0;
    for (const char* limit : { "3", "10", "20", "35" })
    {
        const auto run = master (tmp, juce::String ("limit") + limit, input, { std::string ("--denoise-limit=") + limit });
        ASSERT_TRUE (mastered (run.process.exitCode)) << run.process.err;
        EXPECT_TRUE (run.process.errContains (std::string ("[AutoMap] DF3 Atten=") + limit + ".0 "));
        double pause = 0.0;
        for (int i : f.pause)
            pause += meanSquare (run.output.buffer, i * (int) (kRate * 0.02), (int) (kRate * 0.02));
        const double floorDb = 10.0 * std::log10 (pause / f.pause.size());
        std::printf ("[figure] --denoise-limit %s: pauses at %.1f dBFS\n", limit, floorDb);
        if (previous != 0.0)
        {
            EXPECT_LT (floorDb, previous) << limit;
        }
        previous = floorDb;
    }
}

// The audiobook preset picks a limit the -60 dBFS floor can be met with, and the check says when the SNR does not allow it.
TEST (Rooms, AudiobookPresetChoosesTheDenoiseLimit)
{
    const auto talker = voice ("Chapter two. The house stood at the end of a long lane, and nobody had lived there for years.",
                               "en", 0.5f);
    if (talker.getNumSamples() == 0)
        GTEST_SKIP() << "espeak-ng not found";
    struct Case
    {
        const char* name;
        double speechOverNoiseDb;
        bool reachable;
    };
    const Case cases[] = { { "hiss", 35.0, true }, { "loud hiss", 8.0, false } };
    TempFolder tmp;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        juce::AudioBuffer<float> input;
        mixAt (input, talker, whiteNoise (1, talker.getNumSamples(), 0.05f, 4), c.speechOverNoiseDb);
        const auto run = master (tmp, juce::String (c.name).replace (" ", "_"), input, { "--preset=audiobook" });
        ASSERT_TRUE (mastered (run.process.exitCode)) << run.process.err;
        const auto& limit = run.report["room"]["denoiseLimit"];
        ASSERT_TRUE (limit.isObject());
        EXPECT_EQ (limit["source"].toString(), "preset");
        const double db = limit["db"], needed = limit["neededDb"];
        juce::var floorCheck;
        for (int i = 0; i < run.report["delivery"]["checks"].size(); ++i)
            if (run.report["delivery"]["checks"][i]["requirement"].toString() == "noiseFloorDbfs")
                floorCheck = run.report["delivery"]["checks"][i];
        std::printf ("[figure] audiobook, %s: limit %.1f dB (needed %.1f), noise floor %.1f dBFS, %s\n", c.name, db, needed,
                     (double) floorCheck["measured"], (bool) floorCheck["pass"] ? "pass" : "fail");
        // The check explains a miss when the limit fell short of what the floor needed.
        EXPECT_EQ (floorCheck.hasProperty ("note"), ! (bool) floorCheck["pass"] && needed > db);
        EXPECT_EQ (needed > db, ! c.reachable);
        EXPECT_EQ (run.process.errContains ("more than this recording's SNR allows"), ! c.reachable);
        if (c.reachable)
        {
            EXPECT_TRUE ((bool) floorCheck["pass"]);
        }
    }
}

//==============================================================================
// --outputs-only: the folder gets the outputs and nothing else; the clash of an output with a feed's name is
// refused without it and allowed with it, and the other refusals stand.
TEST (Rooms, OutputsOnlyKeepsTheDeliveryFolderClean)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    for (const char* name : { "ep1.wav", "ep2.wav" })
        writeWav (in.getChildFile (name), speechLike (1, 48000 * 3, kRate), kRate);
    const auto out = tmp.file ("out");
    const auto run = runEngineExe ({ "--input-dir", in.getFullPathName().toStdString(), "--output-dir",
                                     out.getFullPathName().toStdString(), "--deepfilter-path", TESSALOOM_DENOISE_EXE,
                                     "--ffmpeg-path", TESSALOOM_FFMPEG, "--outputs-only" });
    ASSERT_EQ (run.exitCode, 0) << run.err;
    EXPECT_EQ (namesIn (out), juce::StringArray ({ "ep1.wav", "ep2.wav" }));
    EXPECT_FALSE (run.errContains ("Exported ASR feed"));

    // An output named as another input's feed.
    const auto single = tmp.file ("ep1_asr_feed.wav");
    for (const bool only : { false, true })
    {
        std::vector<std::string> args { "--input", in.getChildFile ("ep1.wav").getFullPathName().toStdString(), "--output",
                                        single.getFullPathName().toStdString(), "--deepfilter-path", TESSALOOM_DENOISE_EXE,
                                        "--ffmpeg-path", TESSALOOM_FFMPEG };
        if (only)
            args.push_back ("--outputs-only=true");
        const auto r = runEngineExe (args);
        EXPECT_EQ (r.exitCode, only ? 0 : 1) << r.err;
        EXPECT_EQ (r.errContains ("Output file has the name of the ASR feed of ep1.wav"), ! only) << r.err;
    }
    // The output onto its input is still refused.
    const auto self = runEngineExe ({ "--input", in.getChildFile ("ep1.wav").getFullPathName().toStdString(), "--output",
                                      in.getChildFile ("ep1.wav").getFullPathName().toStdString(), "--outputs-only" });
    EXPECT_EQ (self.exitCode, 1);
    EXPECT_TRUE (self.errContains ("Output file is the input file"));
}

//==============================================================================
// Habits of the command line.
TEST (Rooms, CommandLineHabits)
{
    TempFolder tmp;
    const auto in = tmp.file ("a.wav");
    writeWav (in, speechLike (1, 48000 * 2, kRate), kRate);
    const auto input = in.getFullPathName().toStdString(), output = tmp.file ("b.wav").getFullPathName().toStdString();

    struct Bad
    {
        std::vector<std::string> extra;
        const char* message;
    };
    const Bad bad[] = {
        { { "--preset", "Podcast" }, "Invalid value for argument: --preset (the presets are podcast, streaming, broadcast, audiobook)" },
        { { "--preset=radio" }, "Invalid value for argument: --preset (the presets are podcast, streaming, broadcast, audiobook)" },
        { { "--hum", "55" }, "Invalid value for argument: --hum (the values are auto, 50, 60 and off)" },
        { { "--hum=" }, "Invalid value for argument: --hum (the values are auto, 50, 60 and off)" },
        { { "--denoise-limit", "70" }, "Invalid value for argument: --denoise-limit (a number of dB from 0 to 60)" },
        { { "--denoise-limit=x" }, "Invalid value for argument: --denoise-limit (a number of dB from 0 to 60)" },
        { { "--finish=fast" }, "Invalid value for argument: --finish (the values are loudness and peak-trim)" },
        // The original options keep their parsing: no --name=value.
        { { "--target-lufs=-16" }, "Missing value for argument: --target-lufs=-16" },
    };
    for (const auto& b : bad)
    {
        std::vector<std::string> a { "--input", input, "--output", output };
        a.insert (a.end(), b.extra.begin(), b.extra.end());
        const auto r = runEngineExe (a);
        EXPECT_EQ (r.exitCode, 1) << b.message;
        EXPECT_EQ (r.err, std::string ("ERROR: ") + b.message + "\nRun with --help for usage information.\n");
    }

    // --preset=podcast works; a boolean spelt otherwise is warned about and means what it always meant.
    const auto report = tmp.file ("r.jsonl");
    const auto good = runEngineExe ({ "--input", input, "--output", output, "--preset=podcast", "--denoise", "yes",
                                      "--report=" + report.getFullPathName().toStdString() });
    ASSERT_EQ (good.exitCode, 0) << good.err;
    EXPECT_EQ (good.errLines().front(), "WARNING: --denoise \"yes\" is read as false (the values are true, 1, false and 0)");
    const auto line = juce::JSON::parse (report.loadFileAsString());
    EXPECT_EQ (line["delivery"]["preset"].toString(), "podcast");
    EXPECT_EQ (line["denoiseEngine"].toString(), "Skipped");
    EXPECT_TRUE (line["denoiserPath"].isVoid());
    for (const char* spelling : { "true", "1", "false", "0" })
    {
        const auto r = runEngineExe ({ "--input", input, "--output", output, "--denoise", "false", "--eq", spelling });
        EXPECT_EQ (r.exitCode, 0);
        EXPECT_FALSE (r.errContains ("WARNING: --eq")) << spelling;
    }

    // The report names the denoiser that ran.
    const auto denoised = runEngineExe ({ "--input", input, "--output", output, "--report", report.getFullPathName().toStdString(),
                                          "--deepfilter-path", TESSALOOM_DENOISE_EXE, "--ffmpeg-path", TESSALOOM_FFMPEG });
    ASSERT_EQ (denoised.exitCode, 0) << denoised.err;
    const auto named = juce::JSON::parse (report.loadFileAsString());
    EXPECT_EQ (named["denoiseEngine"].toString(), "DeepFilterNet3");
    EXPECT_EQ (named["denoiserPath"].toString(), TESSALOOM_DENOISE_EXE);
    EXPECT_TRUE ((bool) named["denoiserBundled"]);
}

// A clipped sine, the case the model fits exactly: the rebuilt crests come back close to the sine's.
TEST (Rooms, DeclipperRebuildsAClippedSine)
{
    const int n = (int) kRate;
    auto source = sine (1, n, kRate, 440.0, 1.0f);
    auto clipped = source;
    for (int i = 0; i < n; ++i)
        clipped.getWritePointer (0)[i] = juce::jlimit (-0.5f, 0.5f, clipped.getSample (0, i));
    stages::DeclipperReport report;
    auto rebuilt = declipped (clipped, 0.5f, 4096, &report);
    rebuilt.applyGain (1.0f / juce::Decibels::decibelsToGain (report.headroomDb));
    double clippedError = 0.0, rebuiltError = 0.0;
    for (int i = 0; i < n; ++i)
    {
        clippedError += std::pow (clipped.getSample (0, i) - source.getSample (0, i), 2.0);
        rebuiltError += std::pow (rebuilt.getSample (0, i) - source.getSample (0, i), 2.0);
    }
    const double down = 10.0 * std::log10 (clippedError / rebuiltError);
    std::printf ("[figure] sine clipped 6 dB: error energy down %.1f dB, %lld samples rebuilt\n", down, (long long) report.rebuiltSamples);
    EXPECT_GT (down, 20.0);
}
