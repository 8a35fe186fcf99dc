// The per-file driver: stage order and headers, intermediate files, the
// chain-off copy, and what a failure leaves behind.
#include "pipeline/AudioPipeline.h"
#include "support/TestSupport.h"

#include <mutex>

using namespace testing_support;

namespace
{

// Every expected line appears, each starting a line, in this order (other lines may come between).
::testing::AssertionResult inOrder (const std::vector<std::string>& lines, const std::vector<std::string>& expected)
{
    size_t at = 0;
    for (auto& e : expected)
    {
        while (at < lines.size() && lines[at].rfind (e, 0) != 0)
            ++at;
        if (at == lines.size())
            return ::testing::AssertionFailure() << "missing or out of order: \"" << e << "\"";
        ++at;
    }
    return ::testing::AssertionSuccess();
}

juce::MemoryBlock bytesOf (const juce::File& f)
{
    juce::MemoryBlock mb;
    f.loadFileAsData (mb);
    return mb;
}

PipelineConfig quietConfig()
{
    PipelineConfig c;
    c.denoise = false;
    return c;
}

int countSubfolders (const juce::File& folder)
{
    return folder.getNumberOfChildFiles (juce::File::findDirectories);
}
} // namespace

TEST (PipelineDriver, StageHeadersInTableOrder)
{
    TempFolder tmp;
    const auto input = tmp.file ("in.wav");
    writeWav (input, speechLike (1, 48000, 48000.0), 48000.0);

    CapturingLogger log;
    const auto r = AudioPipeline::processFile (input, tmp.file ("out/in.wav"), quietConfig());
    ASSERT_TRUE (r.success) << r.errorMessage;
    EXPECT_EQ (r.denoiseEngine, "Skipped");
    EXPECT_EQ (r.errorMessage, "");
    EXPECT_GT (r.processingTimeMs, 0.0);

    EXPECT_TRUE (inOrder (log.stdLines(), {
        "========================================",
        "[AudioPipeline] Processing: " + input.getFullPathName().toStdString(),
        "[AudioPipeline] Denoise=OFF Compressor=ON EQ=ON Voice=Male",
        "[AudioPipeline] Pass 1: Offline Analysis",
        "[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)",
        "[AudioPipeline] Loaded audio: 1ch, 48000Hz, 48000 samples (1.00s)",
        "[AudioPipeline] Stage 1.6: Pre-Gain Leveling (Target: -18.0 LUFS)",
        "[AudioPipeline] Stage 1.7: Dynamic De-esser",
        "[AudioPipeline] Stage 1.8: Downward Expander",
        "[AudioPipeline] Stage 3: Corrective & Enhancement EQ (Male)",
        "[AudioPipeline] Stage 2: Opto-Style Serial Leveler",
        "[AudioPipeline] Stage 4: Harmonic Saturation",
        "[AudioPipeline] Stage 5: Broadcast Normalization (Target: -18.0 LUFS)",
        "[AudioPipeline] Stage 6: True Peak Limiter",
        "[AudioPipeline] COMPLETE. Total time: ",
        "========================================" }));
    EXPECT_FALSE (log.mentions ("Stage 1: Noise Reduction"));

    // Only the output and the pre-filtered file are left: no feed without denoising, no work folder.
    EXPECT_TRUE (tmp.file ("out/in.wav").existsAsFile());
    EXPECT_TRUE (tmp.file ("out/_stage0_prefiltered.wav").existsAsFile());
    EXPECT_FALSE (tmp.file ("out/in_asr_feed.wav").exists());
    EXPECT_EQ (tmp.file ("out").getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 2);
}

TEST (PipelineDriver, SwitchedOffStagesPrintNoHeader)
{
    TempFolder tmp;
    const auto input = tmp.file ("in.wav");
    writeWav (input, speechLike (2, 44100, 44100.0), 44100.0);

    struct Case { bool eq; bool compressor; int bypass; bool eqHeader; bool levelerHeader; };
    for (auto c : { Case { false, true, 0, false, true }, Case { true, false, 0, true, false },
                    Case { true, true, 3, false, true }, Case { true, true, 4, true, false } })
    {
        auto config = quietConfig();
        config.eq = c.eq;
        config.compressor = c.compressor;
        config.bypassStage = c.bypass;
        config.voiceType = "Female";
        CapturingLogger log;
        ASSERT_TRUE (AudioPipeline::processFile (input, tmp.file ("out.wav"), config).success);
        EXPECT_EQ (log.mentions ("[AudioPipeline] Stage 3: Corrective & Enhancement EQ (Female)"), c.eqHeader) << c.bypass;
        EXPECT_EQ (log.mentions ("[AudioPipeline] Stage 2: Opto-Style Serial Leveler"), c.levelerHeader) << c.bypass;
        EXPECT_TRUE (log.mentions ("[AudioPipeline] Stage 4: Harmonic Saturation"));
    }
}

TEST (PipelineDriver, ChainOffCopiesTheWorkingFile)
{
    TempFolder tmp;
    const auto input = tmp.file ("in.wav");
    writeWav (input, speechLike (1, 24000, 48000.0), 48000.0, 24);

    auto config = quietConfig();
    config.eq = false;
    config.compressor = false;
    CapturingLogger log;
    const auto r = AudioPipeline::processFile (input, tmp.file ("out/in.wav"), config);
    ASSERT_TRUE (r.success);
    EXPECT_FALSE (log.mentions ("Loaded audio"));
    EXPECT_FALSE (log.mentions ("Stage 1.6"));
    // The output is the pre-filtered intermediate, byte for byte.
    EXPECT_EQ (bytesOf (tmp.file ("out/in.wav")), bytesOf (tmp.file ("out/_stage0_prefiltered.wav")));
}

TEST (PipelineDriver, DenoiseFallsBackAndExportsTheFeed)
{
    TempFolder tmp;
    const auto input = tmp.file ("talk show.wav");
    writeWav (input, speechLike (1, 24000, 48000.0), 48000.0);

    PipelineConfig config; // denoise on, no tool paths: the reducer passes the audio through
    CapturingLogger log;
    const auto r = AudioPipeline::processFile (input, tmp.file ("out/talk show.wav"), config);
    ASSERT_TRUE (r.success) << r.errorMessage;
    EXPECT_EQ (r.denoiseEngine, "None (passthrough)");
    EXPECT_TRUE (inOrder (log.stdLines(), { "[AudioPipeline] Stage 1: Noise Reduction",
                                         "[AudioPipeline] Denoise complete. Engine: None (passthrough)",
                                         "[AudioPipeline/ASR Hook] Exported ASR feed to: talk show_asr_feed.wav",
                                         "[AudioPipeline] Loaded audio: " }));
    // The feed is the unchanged working file: the pre-filtered audio.
    EXPECT_EQ (bytesOf (tmp.file ("out/talk show_asr_feed.wav")), bytesOf (tmp.file ("out/_stage0_prefiltered.wav")));
    EXPECT_EQ (countSubfolders (tmp.file ("out")), 0);
}

TEST (PipelineDriver, FailuresKeepEarlierOutputAndWriteNothingHalfway)
{
    TempFolder tmp;
    const auto input = tmp.file ("broken.wav");
    input.replaceWithText ("RIFF but not really a wave file");
    const auto output = tmp.file ("out/broken.wav");
    output.getParentDirectory().createDirectory();
    output.replaceWithText ("an earlier master");

    {
        CapturingLogger log;
        const auto r = AudioPipeline::processFile (input, output, quietConfig());
        EXPECT_FALSE (r.success);
        EXPECT_EQ (r.errorMessage, "Failed to read audio file for DSP processing: " + input.getFullPathName());
        EXPECT_TRUE (log.mentions ("[AudioPipeline] WARNING: Could not read input for Pass 1 analysis"));
        EXPECT_FALSE (log.mentions ("COMPLETE"));
        EXPECT_EQ (r.analysisJson, "");
    }
    EXPECT_EQ (output.loadFileAsString(), "an earlier master");

    // With denoising on, the reducer gets a copy inside the call's work folder,
    // and the message still names the input.
    {
        PipelineConfig config;
        CapturingLogger log;
        const auto r = AudioPipeline::processFile (input, output, config);
        EXPECT_FALSE (r.success);
        EXPECT_EQ (r.errorMessage, "Failed to read audio file for DSP processing: " + input.getFullPathName());
        // The failed call's folder held only the copy of the input, nothing worth keeping: it is gone.
        EXPECT_TRUE (tmp.file ("out").findChildFiles (juce::File::findDirectories, false, "*").isEmpty());
        EXPECT_EQ (tmp.path().getNumberOfChildFiles (juce::File::findFiles), 1) << "nothing written beside the input";
    }
    EXPECT_EQ (output.loadFileAsString(), "an earlier master");

    // An output that cannot be created is a failure, not a success.
    const auto good = tmp.file ("good.wav");
    writeWav (good, sine (1, 4800, 48000.0, 440.0, 0.2f), 48000.0);
    tmp.file ("blocker").replaceWithText ("a file where a folder should be");
    const auto r = AudioPipeline::processFile (good, tmp.file ("blocker/good.wav"), quietConfig());
    EXPECT_FALSE (r.success);
    EXPECT_EQ (r.errorMessage, "Failed to create output file: " + tmp.file ("blocker/good.wav").getFullPathName());
}

TEST (PipelineDriver, HeaderClaimingGigabytesIsReadOnlyAsFarAsTheFileHolds)
{
    TempFolder tmp;
    const auto input = tmp.file ("liar.wav");
    writeWav (input, sine (1, 50, 48000.0, 1000.0, 0.5f), 48000.0);

    // Patch the data chunk's size to claim nearly 2 GB.
    juce::MemoryBlock data;
    input.loadFileAsData (data);
    auto* bytes = static_cast<char*> (data.getData());
    const std::string raw (bytes, data.getSize());
    const auto at = (int) raw.find ("data");
    ASSERT_GT (at, 0);
    const juce::uint32 claim = 0x7ffffff0;
    std::memcpy (bytes + at + 4, &claim, 4);
    input.replaceWithData (data.getData(), data.getSize());

    const auto r = AudioPipeline::processFile (input, tmp.file ("out.wav"), quietConfig());
    ASSERT_TRUE (r.success) << r.errorMessage;
    auto written = readAudio (tmp.file ("out.wav"));
    ASSERT_TRUE (written.ok);
    EXPECT_LE (written.buffer.getNumSamples(), (int) input.getSize() / 2);
    EXPECT_GE (written.buffer.getNumSamples(), 50);
}

TEST (PipelineDriver, LongFileNamesStillGetTheirIntermediates)
{
    TempFolder tmp;
    const juce::String longName = juce::String::repeatedString ("a", 240) + ".wav";
    const auto input = tmp.file (longName);
    writeWav (input, speechLike (1, 24000, 48000.0), 48000.0);

    PipelineConfig config;
    const auto r = AudioPipeline::processFile (input, tmp.file ("out").getChildFile (longName), config);
    ASSERT_TRUE (r.success) << r.errorMessage;
    EXPECT_EQ (r.denoiseEngine, "None (passthrough)");
    EXPECT_TRUE (tmp.file ("out").getChildFile (longName).existsAsFile());
    EXPECT_TRUE (tmp.file ("out/_stage0_prefiltered.wav").existsAsFile());
}
