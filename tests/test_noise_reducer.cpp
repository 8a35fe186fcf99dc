#include "tools/NoiseReducer.h"

#include "support/ExternalTools.h"
#include "support/TestSupport.h"

#include <cmath>
#include <functional>

using namespace tessaloom;

using namespace testing_support;

namespace
{
const juce::String ffmpeg (TESSALOOM_FFMPEG);
const juce::String passthroughMessage ("DeepFilterNet3 failed. Audio unchanged.");

// Shell lines of a stand-in denoiser that write its result; $in is its input,
// $dir its output folder and $stem the input's name without extension.
const juce::String writeHalvedSuffixed (
    "/usr/bin/ffmpeg -v error -y -i \"$in\" -af volume=0.5 -c:a pcm_s16le \"$dir/${stem}_DeepFilterNet3.wav\"");
const juce::String copySuffixed ("cp \"$in\" \"$dir/${stem}_DeepFilterNet3.wav\"");

struct ReducerTest : ::testing::Test
{
    TempFolder temp;
    CapturingLogger logger;
    // Folder names with spaces: paths travel as single arguments.
    juce::File inFolder = temp.file ("in put");
    juce::File outFolder = temp.file ("out put");
    juce::File argsFile = temp.file ("denoiser args.txt");
    juce::File rateFile = temp.file ("denoiser rate.txt");

    void SetUp() override
    {
        inFolder.createDirectory();
        outFolder.createDirectory();
    }

    // A stand-in denoiser honouring `<exe> INPUT --output-dir DIR [--atten-lim N]`. It
    // records its arguments and the rate of the file it was given, then runs `write`.
    juce::File fakeDenoiser (const juce::String& write, const juce::String& name = "deep filter.sh")
    {
        return writeScript (temp.file (name),
                            "printf '%s\\n' \"$@\" > " + shellQuote (argsFile.getFullPathName()) + "\n"
                            "/usr/bin/ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 \"$1\" > "
                                + shellQuote (rateFile.getFullPathName()) + " 2>/dev/null\n"
                            "in=\"$1\"; dir=\"$3\"; base=$(basename \"$in\"); stem=\"${base%.*}\"\n"
                            + write);
    }

    juce::StringArray denoiserArgs() const
    {
        juce::StringArray lines;
        lines.addLines (argsFile.loadFileAsString().trimEnd());
        return lines;
    }

    juce::File writeInput (const juce::String& name, double sampleRate, int bits = 16)
    {
        const auto file = inFolder.getChildFile (name);
        writeWav (file, sine (1, (int) (sampleRate * 0.5), sampleRate, 1000.0, 0.5f), sampleRate, bits);
        return file;
    }

    NoiseReducerConfig config (const juce::File& denoiser, const juce::String& ffmpegPath = ffmpeg) const
    {
        NoiseReducerConfig c;
        c.deepFilterPath = denoiser.getFullPathName();
        c.ffmpegPath = ffmpegPath;
        return c;
    }

    juce::StringArray fileNamesIn (const juce::File& folder) const
    {
        juce::StringArray names;
        for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
            names.add (f.getFileName());
        names.sort (false);
        return names;
    }
};

TEST_F (ReducerTest, Input48kHzRunsTheDenoiserDirectlyWithoutFFmpeg)
{
    const auto input = writeInput ("talk.wav", 48000.0);
    const auto output = outFolder.getChildFile ("_stage1_denoised.wav");

    // No FFmpeg path at all: at 48 kHz it must not be needed.
    const auto r = NoiseReducer::process (input.getFullPathName(), output.getFullPathName(),
                                          config (fakeDenoiser (writeHalvedSuffixed), ""));

    EXPECT_TRUE (juce::File (r.outputPath).existsAsFile()) << "never fails: a file to go on with, " << r.outputPath;
    EXPECT_EQ (r.engine, NoiseReductionEngine::DeepFilterNet3);
    EXPECT_EQ (r.outputPath, output.getFullPathName());
    EXPECT_TRUE (r.message.isEmpty()) << r.message;
    EXPECT_GT (r.elapsedMs, 0.0);

    const juce::StringArray expectedArgs { input.getFullPathName(), "--output-dir", outFolder.getFullPathName() };
    EXPECT_EQ (denoiserArgs(), expectedArgs);
    EXPECT_EQ (rateFile.loadFileAsString().trim(), "48000");

    const auto lines = logger.lines();
    ASSERT_GE (lines.size(), 4);
    EXPECT_EQ (lines[0], "========================================");
    EXPECT_EQ (lines[1], "[NoiseReducer] Starting noise reduction pipeline");
    EXPECT_EQ (lines[2], "[NoiseReducer] Input:  " + input.getFullPathName());
    EXPECT_EQ (lines[3], "[NoiseReducer] Output: " + output.getFullPathName());
    EXPECT_EQ (lines[lines.size() - 1],
               "[NoiseReducer] DeepFilterNet3 succeeded in " + juce::String (r.elapsedMs, 1) + "ms");
    EXPECT_TRUE (logger.linesStartingWith ("[NoiseReducer/DF3] Input is ").isEmpty());
    EXPECT_EQ (logger.linesStartingWith ("[SubprocessRunner] Executing: ").size(), 1) << logger.joined();

    const auto denoised = readAudio (output);
    ASSERT_TRUE (denoised.ok);
    EXPECT_EQ (denoised.sampleRate, 48000.0);
    EXPECT_NEAR (peakOf (denoised.buffer), 0.25f, 0.01f) << "the denoiser's own audio arrives at the output";

    // The denoiser's file was moved, and the input folder was never written to.
    EXPECT_EQ (fileNamesIn (outFolder), juce::StringArray { "_stage1_denoised.wav" });
    EXPECT_EQ (fileNamesIn (inFolder), juce::StringArray { "talk.wav" });
}

TEST_F (ReducerTest, OtherRatesGoTo48kHzAndBackAs16Bit)
{
    struct Case
    {
        double rate;
        int bits;
    };
    for (const auto c : { Case { 44100.0, 16 }, Case { 96000.0, 24 } })
    {
        SCOPED_TRACE (c.rate);
        CapturingLogger log;
        const auto input = writeInput ("talk.wav", c.rate, c.bits);
        const auto output = outFolder.getChildFile ("_stage1_denoised.wav");
        const auto resampled = inFolder.getChildFile ("_df3_resampled_48k.wav");
        const auto back = outFolder.getChildFile ("_df3_resample_back.wav");

        const auto r = NoiseReducer::process (input.getFullPathName(), output.getFullPathName(),
                                              config (fakeDenoiser (writeHalvedSuffixed)));

        EXPECT_TRUE (juce::File (r.outputPath).existsAsFile()) << "never fails: a file to go on with, " << r.outputPath;
        EXPECT_EQ (r.engine, NoiseReductionEngine::DeepFilterNet3);
        EXPECT_EQ (r.outputPath, output.getFullPathName());

        EXPECT_TRUE (log.contains ("[NoiseReducer/DF3] Input is " + juce::String (c.rate)
                                   + "Hz, resampling to 48000Hz"))
            << log.joined();
        EXPECT_EQ (denoiserArgs()[0], resampled.getFullPathName());
        EXPECT_EQ (rateFile.loadFileAsString().trim(), "48000");

        const juce::StringArray expectedRuns {
            "[SubprocessRunner] Executing: " + ffmpeg + " -i " + input.getFullPathName()
                + " -ar 48000 -acodec pcm_s16le -y " + resampled.getFullPathName(),
            "[SubprocessRunner] Executing: " + juce::String (temp.file ("deep filter.sh").getFullPathName()) + " "
                + resampled.getFullPathName() + " --output-dir " + outFolder.getFullPathName(),
            "[SubprocessRunner] Executing: " + ffmpeg + " -i " + output.getFullPathName() + " -ar "
                + juce::String ((int) c.rate) + " -acodec pcm_s16le -y " + back.getFullPathName(),
        };
        EXPECT_EQ (log.linesStartingWith ("[SubprocessRunner] Executing: "), expectedRuns);

        const auto denoised = readAudio (output);
        ASSERT_TRUE (denoised.ok);
        EXPECT_EQ (denoised.sampleRate, c.rate);
        EXPECT_EQ (denoised.bitsPerSample, 16);
        EXPECT_FALSE (denoised.floatingPoint);
        EXPECT_NEAR (denoised.buffer.getNumSamples(), (int) (c.rate * 0.5), (int) (c.rate * 0.01));
        EXPECT_NEAR (peakOf (denoised.buffer), 0.25f, 0.02f);

        // Every intermediate file is gone.
        EXPECT_EQ (fileNamesIn (inFolder), juce::StringArray { "talk.wav" });
        EXPECT_EQ (fileNamesIn (outFolder), juce::StringArray { "_stage1_denoised.wav" });
    }
}

TEST_F (ReducerTest, AShortenedConversionBackIsNotUsed)
{
    // The conversion back to 44.1 kHz stops partway but reports success. The
    // 48 kHz result would give an output at another rate than the recording's,
    // so the audio passes through instead.
    const auto ffmpegBackStops = writeScript (temp.file ("ffmpeg-back-stops.sh"),
                                              "case \"$*\" in\n"
                                              "  *_df3_resample_back.wav) exec /usr/bin/ffmpeg -v error -t 0.2 \"$@\" ;;\n"
                                              "  *) exec /usr/bin/ffmpeg -v error \"$@\" ;;\n"
                                              "esac");
    const auto input = writeInput ("talk.wav", 44100.0);
    const auto output = outFolder.getChildFile ("_stage1_denoised.wav");
    const auto r = NoiseReducer::process (input.getFullPathName(), output.getFullPathName(),
                                          config (fakeDenoiser (writeHalvedSuffixed), ffmpegBackStops.getFullPathName()));
    ASSERT_TRUE (juce::File (r.outputPath).existsAsFile()) << "never fails: a file to go on with, " << r.outputPath;
    EXPECT_EQ (r.engine, NoiseReductionEngine::Passthrough);
    EXPECT_EQ (r.outputPath, input.getFullPathName());
    EXPECT_FALSE (output.exists());
    EXPECT_EQ (fileNamesIn (outFolder), juce::StringArray()) << "no conversion is left behind";
}

TEST_F (ReducerTest, AttenuationLimitIsPassedOnlyBelow100)
{
    struct Case
    {
        float limitDb;
        const char* written; // nullptr: no --atten-lim
    };
    const Case cases[] = {
        { 100.0f, nullptr }, { 150.0f, nullptr }, { 99.5f, "99.5" }, { 18.0f, "18" },
        { 12.5f, "12.5" },   { 0.0f, "0" },       { 6.25f, "6.25" },
    };
    const auto input = writeInput ("talk.wav", 48000.0);
    const auto output = outFolder.getChildFile ("_stage1_denoised.wav");
    const auto denoiser = fakeDenoiser (copySuffixed);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.limitDb);
        auto cfg = config (denoiser);
        cfg.attenuationLimitDb = c.limitDb;

        const auto r = NoiseReducer::process (input.getFullPathName(), output.getFullPathName(), cfg);

        EXPECT_EQ (r.engine, NoiseReductionEngine::DeepFilterNet3);
        juce::StringArray expected { input.getFullPathName(), "--output-dir", outFolder.getFullPathName() };
        if (c.written != nullptr)
            expected.addArray ({ "--atten-lim", c.written });
        EXPECT_EQ (denoiserArgs(), expected);
    }
}

// Every failure inside the attempt ends in the same pass-through result, with
// its own reason in the log, and leaves the input as it was.
TEST_F (ReducerTest, FailuresPassTheInputThroughWithTheirReason)
{
    const auto ffmpegFailing = writeScript (temp.file ("ffmpeg-fail.sh"), "echo 'bad input' >&2\nexit 1");
    const auto ffmpegSilent = writeScript (temp.file ("ffmpeg-nothing.sh"), "exit 0");
    // Converts only the first 0.2 s and reports success, as a killed conversion can look.
    const auto ffmpegStopping = writeScript (temp.file ("ffmpeg-stops.sh"), "exec /usr/bin/ffmpeg -v error -t 0.2 \"$@\"");
    const auto missingTool = temp.file ("missing").getChildFile ("tool");

    struct Case
    {
        const char* label;
        const char* inputName;
        double rate;                              // 0: not audio at all
        juce::String denoiserWrite;               // shell lines; the denoiser always exits with them
        std::function<void (NoiseReducerConfig&)> adjust;
        std::function<void()> prepare;
        juce::String reason;
        bool denoiserRuns;
    };

    const juce::String notFound ("DeepFilterNet3 completed but output file not found or empty");
    const juce::String resampleFailed ("Failed to resample input to 48kHz for DeepFilterNet3");
    const auto output = outFolder.getChildFile ("_stage1_denoised.wav");

    const Case cases[] = {
        { "input is not audio", "talk.wav", 0.0, copySuffixed, {}, {}, "Cannot read input WAV file", false },
        { "no FFmpeg path", "talk.wav", 44100.0, copySuffixed, [] (auto& c) { c.ffmpegPath = ""; }, {},
          resampleFailed, false },
        { "FFmpeg missing", "talk.wav", 44100.0, copySuffixed,
          [&] (auto& c) { c.ffmpegPath = missingTool.getFullPathName(); }, {}, resampleFailed, false },
        { "FFmpeg exits non-zero", "talk.wav", 44100.0, copySuffixed,
          [&] (auto& c) { c.ffmpegPath = ffmpegFailing.getFullPathName(); }, {}, resampleFailed, false },
        { "FFmpeg writes nothing", "talk.wav", 44100.0, copySuffixed,
          [&] (auto& c) { c.ffmpegPath = ffmpegSilent.getFullPathName(); }, {}, resampleFailed, false },
        { "FFmpeg stops partway", "talk.wav", 44100.0, copySuffixed,
          [&] (auto& c) { c.ffmpegPath = ffmpegStopping.getFullPathName(); }, {}, resampleFailed, false },
        { "no denoiser path", "talk.wav", 48000.0, copySuffixed, [] (auto& c) { c.deepFilterPath = ""; }, {},
          "DeepFilterNet3 process failed (exit code -1): ", false },
        { "denoiser missing", "talk.wav", 48000.0, copySuffixed,
          [&] (auto& c) { c.deepFilterPath = missingTool.getFullPathName(); }, {},
          "DeepFilterNet3 process failed (exit code -1): ", false },
        { "denoiser exits non-zero", "talk.wav", 48000.0, "echo '  model not found  '\nexit 2", {}, {},
          "DeepFilterNet3 process failed (exit code 2): model not found", true },
        { "denoiser fails after resampling", "talk.wav", 44100.0, "echo oops >&2\nexit 9", {}, {},
          "DeepFilterNet3 process failed (exit code 9): oops", true },
        { "denoiser writes nothing", "talk.wav", 48000.0, "exit 0", {}, {}, notFound, true },
        { "denoiser writes an empty file", "talk.wav", 48000.0, ": > \"$dir/${stem}_DeepFilterNet3.wav\"", {}, {},
          notFound, true },
        // Files that exist but hold no audio would replace the recording with nothing.
        { "denoiser writes text", "talk.wav", 48000.0, "echo text > \"$dir/${stem}_DeepFilterNet3.wav\"", {}, {},
          notFound, true },
        { "denoiser writes a header only", "talk.wav", 48000.0,
          "printf 'RIFF\\044\\0\\0\\0WAVEfmt \\020\\0\\0\\0\\001\\0\\001\\0\\200\\273\\0\\0\\0\\167\\001\\0"
          "\\002\\0\\020\\0data\\0\\0\\0\\0' > \"$dir/${stem}_DeepFilterNet3.wav\"",
          {}, {}, notFound, true },
        // A denoiser killed by a signal has no exit code of its own; what it left must not
        // cut the end off the recording, however it looks.
        { "denoiser killed after writing half", "talk.wav", 48000.0,
          "/usr/bin/ffmpeg -v error -y -i \"$in\" -t 0.25 -c:a pcm_s16le \"$dir/${stem}_DeepFilterNet3.wav\"\n"
          "kill -KILL $$",
          {}, {}, "DeepFilterNet3 process ended by signal 9 (SIGKILL)", true },
        // A result of an earlier run under the expected name is not today's result.
        { "stale result of an earlier run", "talk.wav", 48000.0, "exit 0", {},
          [&] { writeWav (outFolder.getChildFile ("talk_DeepFilterNet3.wav"), sine (1, 4800, 48000.0, 300.0, 0.1f),
                          48000.0); },
          notFound, true },
        { "output path is a folder", "talk.wav", 48000.0, copySuffixed, {},
          [&] { output.getChildFile ("keep.txt").create(); }, "Failed to move DF3 output to target path", true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        CapturingLogger log;
        inFolder.deleteRecursively();
        outFolder.deleteRecursively();
        argsFile.deleteFile();
        inFolder.createDirectory();
        outFolder.createDirectory();

        const auto input = inFolder.getChildFile (c.inputName);
        if (c.rate > 0.0)
            writeInput (c.inputName, c.rate);
        else
            input.replaceWithText ("not a sound file");
        juce::MemoryBlock inputBefore;
        ASSERT_TRUE (input.loadFileAsData (inputBefore));

        auto cfg = config (fakeDenoiser (c.denoiserWrite));
        if (c.adjust)
            c.adjust (cfg);
        if (c.prepare)
            c.prepare();

        const auto r = NoiseReducer::process (input.getFullPathName(), output.getFullPathName(), cfg);

        EXPECT_TRUE (juce::File (r.outputPath).existsAsFile()) << "never fails: a file to go on with, " << r.outputPath;
        EXPECT_EQ (r.engine, NoiseReductionEngine::Passthrough);
        EXPECT_EQ (r.outputPath, input.getFullPathName());
        EXPECT_EQ (r.message, passthroughMessage);
        EXPECT_GE (r.elapsedMs, 0.0);

        const auto lines = log.lines();
        const int failed = lines.indexOf ("[NoiseReducer] DeepFilterNet3 FAILED: " + c.reason);
        ASSERT_GE (failed, 0) << log.joined();
        ASSERT_EQ (lines.size(), failed + 2) << log.joined();
        EXPECT_EQ (lines[failed + 1],
                   "[NoiseReducer] Returning original audio (passthrough) to preserve studio quality.");
        EXPECT_EQ (argsFile.existsAsFile(), c.denoiserRuns);

        juce::MemoryBlock inputAfter;
        ASSERT_TRUE (input.loadFileAsData (inputAfter));
        EXPECT_TRUE (inputAfter == inputBefore) << "the input is never changed";
        EXPECT_EQ (fileNamesIn (inFolder), juce::StringArray { c.inputName }) << "no intermediate file is left";
    }
}

TEST_F (ReducerTest, PlainStemNameIsTakenOnlyWhenItIsNotTheInput)
{
    // The stand-in writes "<stem>.wav" into its output folder, unless that file
    // exists already (in the input's folder it is the input itself).
    const juce::String writePlain (
        "[ -e \"$dir/$stem.wav\" ] || /usr/bin/ffmpeg -v error -y -i \"$in\" -af volume=0.5 \"$dir/$stem.wav\"");
    const juce::String writeOther (
        "/usr/bin/ffmpeg -v error -y -i \"$in\" -af volume=0.5 \"$dir/enhanced_${stem}_v2.wav\"");

    struct Case
    {
        const char* label;
        juce::String write;
        bool outputBesideInput;
        bool accepted;
    };
    const Case cases[] = {
        { "plain name in another folder", writePlain, false, true },
        { "plain name in the input's folder", writePlain, true, false },
        { "a name containing the stem", writeOther, false, true },
        { "a name containing the stem, beside the input", writeOther, true, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        inFolder.deleteRecursively();
        outFolder.deleteRecursively();
        inFolder.createDirectory();
        outFolder.createDirectory();
        const auto input = writeInput ("talk.wav", 48000.0);
        const auto output = (c.outputBesideInput ? inFolder : outFolder).getChildFile ("_stage1_denoised.wav");

        const auto r = NoiseReducer::process (input.getFullPathName(), output.getFullPathName(),
                                              config (fakeDenoiser (c.write)));

        EXPECT_TRUE (juce::File (r.outputPath).existsAsFile()) << "never fails: a file to go on with, " << r.outputPath;
        if (c.accepted)
        {
            EXPECT_EQ (r.engine, NoiseReductionEngine::DeepFilterNet3);
            EXPECT_EQ (r.outputPath, output.getFullPathName());
            const auto denoised = readAudio (output);
            ASSERT_TRUE (denoised.ok);
            EXPECT_NEAR (peakOf (denoised.buffer), 0.25f, 0.01f);
        }
        else
        {
            EXPECT_EQ (r.engine, NoiseReductionEngine::Passthrough);
            EXPECT_EQ (r.outputPath, input.getFullPathName());
            EXPECT_FALSE (output.exists());
        }
        const auto original = readAudio (input);
        ASSERT_TRUE (original.ok);
        EXPECT_NEAR (peakOf (original.buffer), 0.5f, 0.01f) << "the input is untouched";
    }
}

// Inputs that carry an intermediate name must survive the conversions, which
// would otherwise write over them or delete them.
TEST_F (ReducerTest, InputsNamedLikeIntermediatesAreNeverOverwritten)
{
    struct Case
    {
        const char* inputName;
        bool denoised;
    };
    const Case cases[] = {
        { "_df3_resampled_48k.wav", false },
        // Its conversion back would have to write over it: no result at the input's rate, so a passthrough.
        { "_df3_resample_back.wav", false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.inputName);
        inFolder.deleteRecursively();
        inFolder.createDirectory();
        const auto output = inFolder.getChildFile ("_stage1_denoised.wav");
        const auto input = writeInput (c.inputName, 44100.0);
        juce::MemoryBlock before;
        ASSERT_TRUE (input.loadFileAsData (before));

        const auto r = NoiseReducer::process (input.getFullPathName(), output.getFullPathName(),
                                              config (fakeDenoiser (writeHalvedSuffixed)));

        EXPECT_TRUE (juce::File (r.outputPath).existsAsFile()) << "never fails: a file to go on with, " << r.outputPath;
        EXPECT_EQ (r.engine, c.denoised ? NoiseReductionEngine::DeepFilterNet3 : NoiseReductionEngine::Passthrough);
        juce::MemoryBlock after;
        ASSERT_TRUE (input.loadFileAsData (after));
        EXPECT_TRUE (after == before);
        if (c.denoised)
        {
            const auto denoised = readAudio (output);
            ASSERT_TRUE (denoised.ok);
            EXPECT_NEAR (peakOf (denoised.buffer), 0.25f, 0.02f);
        }
    }
}

TEST_F (ReducerTest, DefaultEmptyToolPathsPassThrough)
{
    const auto input = writeInput ("talk.wav", 44100.0);
    const auto output = outFolder.getChildFile ("_stage1_denoised.wav");

    const auto r = NoiseReducer::process (input.getFullPathName(), output.getFullPathName(), NoiseReducerConfig {});

    EXPECT_TRUE (juce::File (r.outputPath).existsAsFile()) << "never fails: a file to go on with, " << r.outputPath;
    EXPECT_EQ (r.engine, NoiseReductionEngine::Passthrough);
    EXPECT_EQ (r.outputPath, input.getFullPathName());
    EXPECT_EQ (r.message, passthroughMessage);
    EXPECT_FALSE (output.exists());
}
} // namespace
