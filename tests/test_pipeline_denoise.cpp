// Stage 1 through the built program: the denoiser and FFmpeg as child
// processes, the ASR feed beside the output, and nothing else left behind.

#include "support/ExternalTools.h"
#include "support/TestSupport.h"

using namespace tessaloom;

using namespace testing_support;

namespace
{
const std::string ffmpeg (TESSALOOM_FFMPEG);
const std::string denoisedLine ("[AudioPipeline] Denoise complete. Engine: DeepFilterNet3");
const std::string passthroughLine ("[AudioPipeline] Denoise complete. Engine: None (passthrough)");

struct PipelineDenoiseTest : ::testing::Test
{
    TempFolder temp;
    juce::File inFolder = temp.file ("in");
    juce::File outFolder = temp.file ("out");
    juce::File keptCopy = temp.file ("denoiser kept.wav");

    void SetUp() override
    {
        inFolder.createDirectory();
        outFolder.createDirectory();
    }

    // A stand-in denoiser that halves the level, and keeps a copy of what it
    // wrote so the test can compare the pipeline's files with it.
    juce::File fakeDenoiser()
    {
        return writeScript (temp.file ("deep filter.sh"),
                            "in=\"$1\"; dir=\"$3\"; base=$(basename \"$in\"); stem=\"${base%.*}\"\n"
                            "out=\"$dir/${stem}_DeepFilterNet3.wav\"\n"
                            "/usr/bin/ffmpeg -v error -y -i \"$in\" -af volume=0.5 -c:a pcm_s16le \"$out\" || exit 1\n"
                            "cp \"$out\" " + shellQuote (keptCopy.getFullPathName()));
    }

    juce::File writeInput (const juce::String& name, double sampleRate, juce::int64 seed = 7)
    {
        const auto file = inFolder.getChildFile (name);
        writeWav (file, speechLike (2, (int) sampleRate, sampleRate, seed), sampleRate);
        return file;
    }

    static juce::StringArray namesIn (const juce::File& folder)
    {
        juce::StringArray names;
        for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
            names.add (f.getFileName());
        names.sort (false);
        return names;
    }

    static bool sameBytes (const juce::File& a, const juce::File& b)
    {
        juce::MemoryBlock x, y;
        return a.loadFileAsData (x) && b.loadFileAsData (y) && x == y;
    }
};

TEST_F (PipelineDenoiseTest, DenoisedAudioFeedsTheAsrCopyAndIntermediatesAreGone)
{
    struct Case
    {
        const char* label;
        double rate;
        bool chain;
    };
    // At 44.1 kHz FFmpeg runs both ways; with the chain off the output is the
    // denoised file itself, which makes it comparable with the feed.
    const Case cases[] = {
        { "48 kHz, chain on", 48000.0, true },
        { "44.1 kHz, chain off", 44100.0, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        outFolder.deleteRecursively();
        keptCopy.deleteFile();
        const auto input = writeInput ("talk.wav", c.rate);
        const auto output = outFolder.getChildFile ("talk_master.wav");
        const auto feed = outFolder.getChildFile ("talk_asr_feed.wav");

        const auto r = runEngineExe ({ "--input", input.getFullPathName().toStdString(), "--output",
                                       output.getFullPathName().toStdString(), "--deepfilter-path",
                                       fakeDenoiser().getFullPathName().toStdString(), "--ffmpeg-path", ffmpeg,
                                       "--compressor", c.chain ? "true" : "false", "--eq", c.chain ? "true" : "false" });

        ASSERT_EQ (r.exitCode, 0) << r.err;
        EXPECT_TRUE (r.errContains (denoisedLine)) << r.err;
        EXPECT_TRUE (r.errContains ("[AudioPipeline/ASR Hook] Exported ASR feed to: talk_asr_feed.wav\n")) << r.err;
        EXPECT_EQ (r.out, "{\"status\":\"batch_complete\",\"success\":1,\"failed\":0}\n");

        const juce::StringArray expectedOut { "_stage0_prefiltered.wav", "talk_asr_feed.wav", "talk_master.wav" };
        EXPECT_EQ (namesIn (outFolder), expectedOut) << "no _stage1_denoised.wav and no work folder left";
        EXPECT_EQ (namesIn (inFolder), juce::StringArray { "talk.wav" });

        if (c.rate == 48000.0)
            EXPECT_TRUE (sameBytes (feed, keptCopy)) << "the feed is the denoiser's own file";
        else
            EXPECT_TRUE (sameBytes (feed, output)) << "the feed is the denoised file";

        const auto fed = readAudio (feed);
        const auto prefiltered = readAudio (outFolder.getChildFile ("_stage0_prefiltered.wav"));
        ASSERT_TRUE (fed.ok && prefiltered.ok);
        EXPECT_EQ (fed.sampleRate, c.rate);
        EXPECT_EQ (fed.bitsPerSample, 16);
        EXPECT_EQ (fed.buffer.getNumChannels(), 2);
        EXPECT_NEAR (peakOf (fed.buffer), 0.5f * peakOf (prefiltered.buffer), 0.02f);
    }
}

TEST_F (PipelineDenoiseTest, WithoutToolPathsTheAudioPassesThroughToTheFeed)
{
    const auto input = writeInput ("talk.wav", 44100.0);
    const auto output = outFolder.getChildFile ("talk_master.wav");

    const auto r = runEngineExe ({ "--input", input.getFullPathName().toStdString(), "--output",
                                   output.getFullPathName().toStdString() });

    ASSERT_EQ (r.exitCode, 0) << r.err;
    EXPECT_TRUE (r.errContains ("[NoiseReducer] DeepFilterNet3 FAILED: Failed to resample input to 48kHz for "
                                "DeepFilterNet3\n"))
        << r.err;
    EXPECT_TRUE (r.errContains (passthroughLine + "\n")) << r.err;
    EXPECT_TRUE (sameBytes (outFolder.getChildFile ("talk_asr_feed.wav"),
                            outFolder.getChildFile ("_stage0_prefiltered.wav")))
        << "on pass-through the feed is the unchanged working file";
    EXPECT_EQ (namesIn (inFolder), juce::StringArray { "talk.wav" });
}

TEST_F (PipelineDenoiseTest, DenoiseOffRunsNoReducerAndMakesNoFeed)
{
    const auto input = writeInput ("talk.wav", 44100.0);
    const auto output = outFolder.getChildFile ("talk_master.wav");

    const auto r = runEngineExe ({ "--input", input.getFullPathName().toStdString(), "--output",
                                   output.getFullPathName().toStdString(), "--denoise", "false",
                                   "--deepfilter-path", fakeDenoiser().getFullPathName().toStdString(),
                                   "--ffmpeg-path", ffmpeg });

    ASSERT_EQ (r.exitCode, 0) << r.err;
    EXPECT_FALSE (r.errContains ("[AudioPipeline] Stage 1: Noise Reduction")) << r.err;
    EXPECT_FALSE (r.errContains ("[NoiseReducer]")) << r.err;
    EXPECT_FALSE (r.errContains ("[SubprocessRunner]")) << r.err;
    EXPECT_FALSE (r.errContains ("Denoise complete")) << r.err;
    EXPECT_FALSE (keptCopy.exists());
    const juce::StringArray expectedOut { "_stage0_prefiltered.wav", "talk_master.wav" };
    EXPECT_EQ (namesIn (outFolder), expectedOut);
}

TEST_F (PipelineDenoiseTest, BatchRunGivesEveryInputItsOwnFeed)
{
    writeInput ("a.wav", 44100.0, 1);
    writeInput ("b.wav", 48000.0, 2);

    const auto r = runEngineExe ({ "--input-dir", inFolder.getFullPathName().toStdString(), "--output-dir",
                                   outFolder.getFullPathName().toStdString(), "--deepfilter-path",
                                   fakeDenoiser().getFullPathName().toStdString(), "--ffmpeg-path", ffmpeg,
                                   "--compressor", "false", "--eq", "false" });

    ASSERT_EQ (r.exitCode, 0) << r.err;
    EXPECT_EQ (r.out, "{\"status\":\"batch_complete\",\"success\":2,\"failed\":0}\n");
    const juce::StringArray expectedOut { "_stage0_prefiltered.wav", "a.wav", "a_asr_feed.wav", "b.wav",
                                          "b_asr_feed.wav" };
    EXPECT_EQ (namesIn (outFolder), expectedOut);
    const juce::StringArray expectedIn { "a.wav", "b.wav" };
    EXPECT_EQ (namesIn (inFolder), expectedIn);

    for (const juce::String name : { "a", "b" })
    {
        SCOPED_TRACE (name);
        EXPECT_TRUE (sameBytes (outFolder.getChildFile (name + "_asr_feed.wav"), outFolder.getChildFile (name + ".wav")));
        const auto fed = readAudio (outFolder.getChildFile (name + "_asr_feed.wav"));
        ASSERT_TRUE (fed.ok);
        EXPECT_EQ (fed.sampleRate, name == "a" ? 44100.0 : 48000.0);
    }
}

TEST_F (PipelineDenoiseTest, UnreadableInputLeavesTheInputFolderAlone)
{
    const auto input = inFolder.getChildFile ("broken.wav");
    input.replaceWithText ("this is not audio");
    const auto output = outFolder.getChildFile ("broken_master.wav");

    const auto r = runEngineExe ({ "--input", input.getFullPathName().toStdString(), "--output",
                                   output.getFullPathName().toStdString(), "--deepfilter-path",
                                   fakeDenoiser().getFullPathName().toStdString(), "--ffmpeg-path", ffmpeg });

    EXPECT_EQ (r.exitCode, 2) << r.err;
    EXPECT_TRUE (r.errContains ("[NoiseReducer] DeepFilterNet3 FAILED: Cannot read input WAV file\n")) << r.err;
    EXPECT_EQ (namesIn (inFolder), juce::StringArray { "broken.wav" });
    EXPECT_EQ (input.loadFileAsString(), "this is not audio");
    EXPECT_FALSE (output.exists());
}
} // namespace
