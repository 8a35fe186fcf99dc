// The denoiser's command line, run as the engine runs it: the built executable, real files.
#include "denoise/StftDenoiser.h"
#include "support/DenoiseSignals.h"
#include "support/TestSupport.h"

using namespace tessaloom;

using namespace testing_support;
using namespace denoise_testing;

namespace
{
constexpr double fs = 48000.0;

ProcessOutput runDenoiser (const std::vector<std::string>& arguments)
{
    return runProcess (TESSALOOM_DENOISE_EXE, arguments);
}

std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

juce::AudioBuffer<float> noisyInput (int channels, int samples)
{
    auto x = speechLike (channels, samples, fs, 5);
    const auto n = pinkNoise (channels, samples, 0.02f, 8);
    for (int c = 0; c < channels; ++c)
        x.addFrom (c, 0, n, c, 0, samples);
    return x;
}

} // namespace

TEST (DenoiseCommandLine, WritesTheNamedFileInTheInputsFormat)
{
    struct Case
    {
        const char* label;
        int channels;
        int bits;
        std::vector<std::string> limit;
    };
    const Case cases[] = {
        { "mono 16-bit, --atten-lim 12", 1, 16, { "--atten-lim", "12" } },
        { "stereo 24-bit, no limit", 2, 24, {} },
        { "mono 32-bit float, --atten-lim=6", 1, 32, { "--atten-lim=6" } },
        { "three channels 16-bit, -a 100", 3, 16, { "-a", "100" } },
    };
    for (const auto& c : cases)
    {
        TempFolder in, out;
        const auto input = in.file ("take 1.wav");
        const int length = (int) (2 * fs) + 321;
        writeWav (input, noisyInput (c.channels, length), fs, c.bits);
        juce::MemoryBlock before;
        input.loadFileAsData (before);

        std::vector<std::string> args { path (input), "--output-dir", path (out.path()) };
        args.insert (args.end(), c.limit.begin(), c.limit.end());
        const auto r = runDenoiser (args);
        EXPECT_EQ (r.exitCode, 0) << c.label << "\n" << r.err;
        EXPECT_EQ (r.out, "") << c.label;

        EXPECT_EQ (namesIn (out.path()), juce::StringArray ("take 1_DeepFilterNet3.wav")) << c.label;
        const auto result = readAudio (out.file ("take 1_DeepFilterNet3.wav"));
        ASSERT_TRUE (result.ok) << c.label;
        EXPECT_EQ (result.sampleRate, fs) << c.label;
        EXPECT_EQ (result.buffer.getNumChannels(), c.channels) << c.label;
        EXPECT_EQ (result.buffer.getNumSamples(), length) << c.label;
        EXPECT_EQ (result.bitsPerSample, c.bits) << c.label;
        EXPECT_EQ (result.floatingPoint, c.bits == 32) << c.label;

        juce::MemoryBlock after;
        input.loadFileAsData (after);
        EXPECT_TRUE (before == after) << c.label << ": the input changed";
        EXPECT_EQ (namesIn (in.path()), juce::StringArray ("take 1.wav")) << c.label;
    }
}

TEST (DenoiseCommandLine, LongFileStreamsToTheSameResultAsTheWholeBuffer)
{
    // 40 s of stereo float: the file is streamed in chunks far shorter than the suppressor's delay
    // and its tail is pushed out in several pieces, across several of the backward tracker's
    // blocks; a sample lost, doubled or shifted anywhere shows against the in-memory run.
    TempFolder in, out;
    const auto input = in.file ("long take.wav");
    auto audio = noisyInput (2, (int) (40 * fs) + 77);
    audio.applyGain (0, (int) (25 * fs), (int) (15 * fs) + 77, 2.0f);
    writeWav (input, audio, fs, 32);

    const auto r = runDenoiser ({ path (input), "--output-dir", path (out.path()), "--atten-lim", "12" });
    ASSERT_EQ (r.exitCode, 0) << r.err;
    const auto result = readAudio (out.file ("long take_DeepFilterNet3.wav"));
    ASSERT_TRUE (result.ok);
    ASSERT_EQ (result.buffer.getNumSamples(), audio.getNumSamples());

    tessaloom::denoise::denoiseBuffer (audio, fs, 12.0f);
    for (int c = 0; c < 2; ++c)
    {
        int differing = 0;
        for (int i = 0; i < audio.getNumSamples(); ++i)
            if (std::abs (result.buffer.getSample (c, i) - audio.getSample (c, i)) > 1.0e-6f)
                ++differing;
        EXPECT_EQ (differing, 0) << "channel " << c;
    }
}

TEST (DenoiseCommandLine, OutputBesideTheInputAndReplacingAnOldResult)
{
    TempFolder folder;
    const auto input = folder.file ("voice.wav");
    writeWav (input, noisyInput (1, (int) fs), fs, 16);
    folder.file ("voice_DeepFilterNet3.wav").replaceWithText ("stale");

    const auto r = runDenoiser ({ path (input), "--output-dir", path (folder.path()), "--atten-lim", "12" });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_EQ (namesIn (folder.path()), juce::StringArray ("voice.wav", "voice_DeepFilterNet3.wav"));
    EXPECT_TRUE (readAudio (folder.file ("voice_DeepFilterNet3.wav")).ok);
}

TEST (DenoiseCommandLine, LimitZeroGivesTheInputBack)
{
    TempFolder in, out;
    const auto input = in.file ("a.wav");
    writeWav (input, noisyInput (2, (int) fs), fs, 24);
    const auto r = runDenoiser ({ path (input), "--output-dir", path (out.path()), "--atten-lim", "0" });
    ASSERT_EQ (r.exitCode, 0) << r.err;
    const auto original = readAudio (input);
    const auto result = readAudio (out.file ("a_DeepFilterNet3.wav"));
    ASSERT_TRUE (result.ok);
    for (int c = 0; c < 2; ++c)
        EXPECT_GT (snrDb (original.buffer, result.buffer, c), 90.0) << "channel " << c;
}

TEST (DenoiseCommandLine, HelpGoesToStandardOutput)
{
    const auto r = runDenoiser ({ "--help" });
    EXPECT_EQ (r.exitCode, 0);
    EXPECT_EQ (r.out.rfind ("Usage: tessaloom-denoise INPUT --output-dir DIR [--atten-lim DB]\n", 0), 0u);
    EXPECT_EQ (r.err, "");
}

TEST (DenoiseCommandLine, ErrorsAreClearAndWriteNothing)
{
    TempFolder folder, out;
    const auto good = folder.file ("good.wav");
    writeWav (good, noisyInput (1, (int) fs), fs, 16);
    const auto at44 = folder.file ("cd.wav");
    writeWav (at44, noisyInput (1, 44100), 44100.0, 16);
    const auto notAudio = folder.file ("notes.wav");
    notAudio.replaceWithText ("this is not audio");
    const auto missing = folder.file ("missing.wav");
    const auto noFolder = folder.file ("no such folder");

    const std::string g = path (good), o = path (out.path());
    const std::string usage = "Usage: tessaloom-denoise INPUT --output-dir DIR [--atten-lim DB] (--help for more)";
    struct Case
    {
        const char* label;
        std::vector<std::string> args;
        int exitCode;
        std::string firstLine;
    };
    const std::vector<Case> cases = {
        { "no arguments", {}, 1, "tessaloom-denoise: no input file given" },
        { "unknown option", { g, "--output-dir", o, "--post-filter" }, 1, "tessaloom-denoise: unknown option '--post-filter'" },
        { "limit not a number", { g, "--output-dir", o, "--atten-lim", "loud" }, 1,
          "tessaloom-denoise: invalid --atten-lim value 'loud': expected a number of dB, 0 or more" },
        { "negative limit", { g, "--output-dir", o, "--atten-lim", "-3" }, 1,
          "tessaloom-denoise: invalid --atten-lim value '-3': expected a number of dB, 0 or more" },
        { "limit with trailing text", { g, "--output-dir", o, "--atten-lim=12dB" }, 1,
          "tessaloom-denoise: invalid --atten-lim value '12dB': expected a number of dB, 0 or more" },
        { "limit not finite", { g, "--output-dir", o, "--atten-lim", "nan" }, 1,
          "tessaloom-denoise: invalid --atten-lim value 'nan': expected a number of dB, 0 or more" },
        { "limit value missing", { g, "--output-dir", o, "--atten-lim" }, 1, "tessaloom-denoise: --atten-lim needs a value in dB" },
        { "no output folder option", { g }, 1, "tessaloom-denoise: --output-dir is required" },
        { "two inputs", { g, g, "--output-dir", o }, 1, "tessaloom-denoise: only one input file is accepted, got 2" },
        { "input missing", { path (missing), "--output-dir", o }, 2,
          "tessaloom-denoise: cannot read input '" + path (missing) + "': no such file" },
        { "input not audio", { path (notAudio), "--output-dir", o }, 2,
          "tessaloom-denoise: cannot read input '" + path (notAudio) + "': not a readable audio file" },
        { "output folder missing", { g, "--output-dir", path (noFolder) }, 2,
          "tessaloom-denoise: output folder '" + path (noFolder) + "' does not exist" },
        { "44.1 kHz input", { path (at44), "--output-dir", o }, 2,
          "tessaloom-denoise: input '" + path (at44)
              + "' is at 44100 Hz; only 48000 Hz is supported (convert it first, e.g. ffmpeg -i IN -ar 48000 OUT.wav)" },
    };

    for (const auto& c : cases)
    {
        const auto r = runDenoiser (c.args);
        EXPECT_EQ (r.exitCode, c.exitCode) << c.label;
        const auto lines = r.errLines();
        ASSERT_FALSE (lines.empty()) << c.label;
        EXPECT_EQ (lines[0], c.firstLine) << c.label;
        if (c.exitCode == 1)
        {
            ASSERT_EQ (lines.size(), 2u) << c.label;
            EXPECT_EQ (lines[1], usage) << c.label;
        }
        EXPECT_EQ (r.out, "") << c.label;
        EXPECT_EQ (namesIn (out.path()).size(), 0) << c.label;
        EXPECT_EQ (namesIn (folder.path()), juce::StringArray ("cd.wav", "good.wav", "notes.wav")) << c.label;
    }
}

TEST (DenoiseCommandLine, EmptyInputGivesEmptyOutput)
{
    TempFolder in, out;
    const auto input = in.file ("empty.wav");
    writeWav (input, juce::AudioBuffer<float> (2, 0), fs, 16);
    const auto r = runDenoiser ({ path (input), "--output-dir", path (out.path()), "--atten-lim", "12" });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    const auto result = readAudio (out.file ("empty_DeepFilterNet3.wav"));
    ASSERT_TRUE (result.ok);
    EXPECT_EQ (result.buffer.getNumChannels(), 2);
    EXPECT_EQ (result.buffer.getNumSamples(), 0);
}
