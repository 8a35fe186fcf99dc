// What the run takes from the outside denoiser, and what it leaves of it: a
// denoiser that crashed or handed back NaN is a failed denoiser (the audio
// passes through, the log says why); its output reaches the log bounded and
// escaped; the ASR feed has the recording's length; and nothing the denoiser
// started outlives a run that was killed outright.

#include "support/ExternalTools.h"
#include "support/Hardening.h"
#include "support/Loggers.h"
#include "support/TestSupport.h"

#include "tools/SubprocessRunner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

using namespace tessaloom;

using namespace testing_support;

namespace
{
std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

// The denoiser's result as the fake below names it, in its output folder ($3).
const juce::String resultName = "\"$3/$(basename \"$1\" .wav)_DeepFilterNet3.wav\"";

// The output is the input's length, rate and channels.
void expectSameShape (const juce::File& output, const juce::File& input)
{
    const auto in = readAudio (input);
    const auto out = readAudio (output);
    ASSERT_TRUE (out.ok) << path (output);
    EXPECT_EQ (out.sampleRate, in.sampleRate);
    EXPECT_EQ (out.buffer.getNumChannels(), in.buffer.getNumChannels());
    EXPECT_EQ (out.buffer.getNumSamples(), in.buffer.getNumSamples());
}

// The pid a fake tool wrote into a file, once it is there (0 when it never came).
pid_t pidWrittenTo (const juce::File& file)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (60);
    while (std::chrono::steady_clock::now() < deadline)
    {
        const auto text = file.loadFileAsString();
        if (text.endsWithChar ('\n'))
            return (pid_t) text.trim().getIntValue();
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }
    return 0;
}
} // namespace

// Each of these denoisers leaves a file of the right name, rate, channels and
// length; none of them is a result to master from.
TEST (DenoiserResults, ACrashedOrNonFiniteResultPassesTheInputThrough)
{
    struct Case
    {
        const char* label;
        const char* script; // after the result's name is known as $out
        std::string logged; // the runner's line, when it has one
        std::string reason;
    };
    const Case cases[] = {
        { "half the speech then zeros, then SIGSEGV", "sox \"$1\" \"$out\" trim 0 1 pad 0 1\nkill -SEGV $$\n",
          "[SubprocessRunner] Ended by signal 11 (SIGSEGV) | Elapsed: ",
          "DeepFilterNet3 process ended by signal 11 (SIGSEGV)\n" },
        { "a whole copy, then SIGKILL", "cp \"$1\" \"$out\"\nkill -KILL $$\n",
          "[SubprocessRunner] Ended by signal 9 (SIGKILL) | Elapsed: ",
          "DeepFilterNet3 process ended by signal 9 (SIGKILL)\n" },
        { "a float result holding one NaN", "cp \"$NAN_RESULT\" \"$out\"\n", "",
          "DeepFilterNet3 output holds 1 non-finite sample(s) (NaN or infinity)" },
        { "a float result holding infinities", "cp \"$INF_RESULT\" \"$out\"\n", "",
          "DeepFilterNet3 output holds 2 non-finite sample(s) (NaN or infinity)" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const int frames = 96000;
        const auto input = tmp.file ("talk.wav");
        writeWav (input, speechLike (1, frames, 48000.0, 5), 48000.0);

        auto nan = speechLike (1, frames, 48000.0, 5);
        nan.setSample (0, frames / 2, std::numeric_limits<float>::quiet_NaN());
        writeWav (tmp.file ("nan.wav"), nan, 48000.0, 32);
        auto inf = speechLike (1, frames, 48000.0, 5);
        inf.setSample (0, 10, std::numeric_limits<float>::infinity());
        inf.setSample (0, 20, -std::numeric_limits<float>::infinity());
        writeWav (tmp.file ("inf.wav"), inf, 48000.0, 32);

        const auto denoiser = writeScript (tmp.file ("denoiser.sh"),
                                           "NAN_RESULT=" + shellQuote (tmp.file ("nan.wav").getFullPathName()) + "\n"
                                           "INF_RESULT=" + shellQuote (tmp.file ("inf.wav").getFullPathName()) + "\n"
                                           "out=" + resultName + "\n" + c.script);
        const auto output = tmp.file ("out/talk.wav");

        const auto r = runEngineExe ({ "--input", path (input), "--output", path (output), "--deepfilter-path",
                                       path (denoiser) });

        EXPECT_EQ (r.exitCode, 0) << r.err;
        EXPECT_TRUE (r.errContains ("[NoiseReducer] DeepFilterNet3 FAILED: " + c.reason)) << r.err;
        EXPECT_TRUE (r.errContains ("[AudioPipeline] Denoise complete. Engine: None (passthrough)\n")) << r.err;
        EXPECT_FALSE (r.errContains ("Engine: DeepFilterNet3")) << r.err;
        if (! c.logged.empty())
        {
            EXPECT_TRUE (r.errContains (c.logged)) << r.err;
        }
        expectSameShape (output, input);
        // The passed-through input is whole: its second half is not silence.
        const auto out = readAudio (output);
        ASSERT_TRUE (out.ok);
        float lastSecondPeak = 0.0f;
        for (int i = frames / 2; i < frames; ++i)
            lastSecondPeak = std::max (lastSecondPeak, std::abs (out.buffer.getSample (0, i)));
        EXPECT_GT (toDb (lastSecondPeak), -30.0) << "the second half of the output is silent";
    }
}

// The child's output as the runner hands it on: the start and the end of it,
// never the whole, and nothing in it that could drive a terminal.
TEST (DenoiserResults, AChildsOutputIsBoundedAndEscaped)
{
    struct Case
    {
        const char* label;
        juce::String body;
        juce::String expected; // whole, or empty when only the bounds are checked
        juce::String start, end, marker;
    };
    const juce::String aLot = juce::String (64 * 1024 * 128); // 8 MiB of output
    const Case cases[] = {
        { "terminal escapes and a carriage return", "printf '\\033[2J\\033]0;title\\007red\\r\\n\\tok\\n'",
          "\\x1b[2J\\x1b]0;title\\x07red\\x0d\n\tok\n", {}, {}, {} },
        { "bytes that are not UTF-8", "printf 'a\\377\\300\\257b\\355\\240\\200c\\n'", "a\\xff\\xc0\\xafb\\xed\\xa0\\x80c\n",
          {}, {}, {} },
        { "well-formed UTF-8 and a C1 control", "printf 'caf\\303\\251 \\360\\237\\216\\265 \\302\\233x\\n'",
          juce::String::fromUTF8 ("caf\xc3\xa9 \xf0\x9f\x8e\xb5 \\u009bx\n"), {}, {}, {} },
        { "megabytes of output",
          "printf 'first'\nhead -c " + aLot + " /dev/zero | tr '\\000' 'a'\nprintf 'last\\n'\n", {}, "firstaaa", "aaalast\n",
          "\n[... " + juce::String (64 * 1024 * 128 + 10 - 2 * 64 * 1024) + " bytes left out ...]\n" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        CapturingLogger log;
        const auto exe = writeScript (tmp.file ("talk.sh"), c.body);

        const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, 60000);

        EXPECT_EQ (r.exitCode, 0);
        if (c.expected.isNotEmpty())
        {
            EXPECT_EQ (r.output, c.expected);
            EXPECT_TRUE (log.joined().contains ("[SubprocessRunner] Output: " + c.expected.trim())) << log.joined();
        }
        else
        {
            EXPECT_TRUE (r.output.startsWith (c.start)) << r.output.substring (0, 40);
            EXPECT_TRUE (r.output.endsWith (c.end)) << r.output.getLastCharacters (40);
            EXPECT_TRUE (r.output.contains (c.marker)) << r.output.length();
            EXPECT_EQ (r.output.length(), 2 * 64 * 1024 + c.marker.length());
        }
    }
}

// Kill the run outright while its denoiser works: the denoiser and what it
// started in the background both end, not just the direct child.
TEST (DenoiserResults, NothingTheDenoiserStartedOutlivesAKilledRun)
{
    TempFolder tmp;
    const auto input = tmp.file ("in/voice.wav");
    input.getParentDirectory().createDirectory();
    writeWav (input, speechLike (1, 24000, 48000.0, 5), 48000.0);
    const auto helperPid = tmp.file ("helper.pid");
    const auto denoiser = writeScript (tmp.file ("slow denoiser.sh"),
                                       "sleep 600 &\n"
                                       "echo $! > " + shellQuote (helperPid.getFullPathName()) + "\n"
                                       "wait\n");

    hardening::Child run (engineExecutable(), { "--input", path (input), "--output", path (tmp.file ("out/voice.wav")),
                                                "--deepfilter-path", path (denoiser) });
    const auto helper = pidWrittenTo (helperPid);
    ASSERT_GT (helper, 0) << "the denoiser never started";
    ASSERT_EQ (::kill (run.id(), SIGKILL), 0);
    const auto r = run.finish();

    EXPECT_EQ (r.exitCode, 128 + SIGKILL);
    const bool gone = hardening::endsSoon (helper);
    if (! gone)
        ::kill (helper, SIGKILL);
    EXPECT_TRUE (gone) << "what the denoiser started runs on after the run was killed";
}

// The feed is the denoised recording at the recording's length, as the output
// is, when the denoiser's result (or its conversion back) is a few frames off.
TEST (DenoiserResults, TheFeedHasTheInputsLength)
{
    struct Case
    {
        const char* label;
        double rate;
        int frames;
        const char* script;
    };
    const Case cases[] = {
        { "three frames longer at 48 kHz", 48000.0, 96000, "exec sox \"$1\" \"$out\" pad 0 3s" },
        { "three frames shorter at 48 kHz", 48000.0, 96000, "exec sox \"$1\" \"$out\" trim 0 95997s" },
        { "rounded up by the conversions at 44.1 kHz", 44100.0, 189096, "exec cp \"$1\" \"$out\"" },
        { "the same length at 48 kHz", 48000.0, 96000, "exec cp \"$1\" \"$out\"" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto input = tmp.file ("talk.wav");
        writeWav (input, speechLike (1, c.frames, c.rate, 5), c.rate);
        const auto denoiser = writeScript (tmp.file ("denoiser.sh"), "out=" + resultName + "\n" + c.script);

        const auto r = runEngineExe ({ "--input", path (input), "--output", path (tmp.file ("out/talk.wav")),
                                       "--deepfilter-path", path (denoiser), "--ffmpeg-path", "/usr/bin/ffmpeg" });

        EXPECT_EQ (r.exitCode, 0) << r.err;
        EXPECT_TRUE (r.errContains ("Engine: DeepFilterNet3\n")) << r.err;
        EXPECT_TRUE (r.errContains ("[AudioPipeline/ASR Hook] Exported ASR feed to: talk_asr_feed.wav\n")) << r.err;
        const auto feed = readAudio (tmp.file ("out/talk_asr_feed.wav"));
        ASSERT_TRUE (feed.ok);
        EXPECT_EQ (feed.buffer.getNumSamples(), c.frames);
        EXPECT_EQ (feed.sampleRate, c.rate);
        expectSameShape (tmp.file ("out/talk.wav"), input);
    }
}
