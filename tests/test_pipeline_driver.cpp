// The per-file driver: stage order and headers, intermediate files, the
// chain-off copy, and what a failure leaves behind.
#include "pipeline/AudioPipeline.h"
#include "pipeline/Pass.h"
#include "pipeline/stages/Gain.h"
#include "pipeline/stages/TruePeakLimiter.h"
#include "support/TestSupport.h"
#include "support/WholeFileIO.h"

#include <cmath>
#include <limits>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

using namespace tessaloom;

using namespace testing_support;

namespace
{
// A source whose reads fail from a frame on, as a file cut short while it is read.
class FailingFrom final : public AudioBlockSource
{
public:
    FailingFrom (AudioBlockSource& s, juce::int64 from) : source (s), failFrom (from) {}
    int numChannels() const override { return source.numChannels(); }
    double sampleRate() const override { return source.sampleRate(); }
    juce::int64 lengthInFrames() const override { return source.lengthInFrames(); }
    bool read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) override
    {
        return start + numFrames <= failFrom && source.read (into, start, numFrames);
    }

private:
    AudioBlockSource& source;
    juce::int64 failFrom;
};

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

// A lone channel's taps run on the helper a block behind the steps, and where
// the steps take longer than the taps, the last steps go there too: the steps
// after a linked one run too where there is none, every frame reaches the taps
// through every step, and when a read fails the taps have still seen every
// block read whole before it, and nothing after.
TEST (PipelineDriver, AMonoPassWithTapsBesideItsStepsLosesNoBlockAtAFailedRead)
{
    struct Case
    {
        const char* label;
        int blocks;           // the length: this many blocks and 100 frames
        int failBlock;        // the first block that cannot be read whole; past the end: none
        bool slowSteps;       // steps that take longer than the taps: the last one goes beside
    };
    const Case cases[] = {
        { "every block read", 3, 4, false },
        { "the third block fails", 3, 2, false },
        { "the second block fails", 3, 1, false },
        { "the first block fails", 3, 0, false },
        { "slow steps, every block read", 6, 7, true },
        { "slow steps, the fifth block fails", 6, 4, true },
    };
    constexpr double rate = 48000.0;
    for (const auto& k : cases)
    {
        const int frames = k.blocks * pass::kChainBlockFrames + 100;
        const juce::int64 failFrom = k.failBlock > k.blocks ? frames : (juce::int64) k.failBlock * pass::kChainBlockFrames + 1;
        const int framesTapped = k.failBlock > k.blocks ? frames : k.failBlock * pass::kChainBlockFrames;
        juce::AudioBuffer<float> input (1, frames);
        for (int i = 0; i < frames; ++i)
            input.setSample (0, i, (float) (i % 1000) * 0.001f);

        BufferSource whole (input, rate);
        FailingFrom source (whole, failFrom);
        side_by_side::KeptHelper helper;
        pass::Pass p;
        const auto slowly = [&k] (float gain)
        {
            return [&k, g = std::make_shared<stages::Gain> (gain)] (int c, float* x, int n)
            {
                g->processChannel (c, x, n);
                if (k.slowSteps)
                    std::this_thread::sleep_for (std::chrono::milliseconds (20));
            };
        };
        p.steps = { { slowly (0.5f) } };
        p.afterLinked = { { slowly (0.25f) } };
        p.helper = &helper;
        std::vector<float> tapped;
        p.taps = { [&] (juce::AudioBuffer<float>& block, int n)
                   { tapped.insert (tapped.end(), block.getReadPointer (0), block.getReadPointer (0) + n); } };

        EXPECT_EQ (pass::run (source, p), framesTapped == frames) << k.label;
        ASSERT_EQ ((int) tapped.size(), framesTapped) << k.label;
        for (int i = 0; i < framesTapped; ++i)
            ASSERT_EQ (tapped[(size_t) i], 0.125f * input.getSample (0, i)) << k.label << ", frame " << i; // powers of two: exact
    }
}

// Where the steps divide: the longer side as short as it can be, the steps in
// their order.
TEST (PipelineDriver, AMonoPassDividesItsStepsWhereBothSidesTakeAboutAsLong)
{
    struct Case
    {
        const char* label;
        std::vector<double> steps;
        double taps;
        int split;
    };
    const Case cases[] = {
        { "taps longer than every step together: all steps here", { 0.1, 0.2 }, 0.5, 2 },
        { "two equal steps, no taps", { 0.2, 0.2 }, 0.0, 1 },
        { "the shaping pass: the last three beside", { 0.05, 0.30, 0.15, 0.07, 0.10, 0.01 }, 0.30, 3 },
        { "one step far heavier than the taps: it stays here", { 0.5 }, 0.1, 1 },
        { "light taps: the last step goes beside them", { 0.05, 0.05 }, 0.02, 1 },
        { "no steps", {}, 0.3, 0 },
    };
    for (const auto& k : cases)
        EXPECT_EQ (pass::balancedSplit (k.steps, k.taps), k.split) << k.label;
}

// Every pass goes through pass::run: the taps get every frame once and in
// order, the check after a step sees every sample it left, and a linked step's
// lookahead comes back at the end, whatever the length against the block.
TEST (PipelineDriver, APassHandsOverEveryFrameOnceInOrder)
{
    struct Case
    {
        const char* label;
        int channels;
        int frames;
        bool linked;     // through the true-peak limiter, which holds its lookahead back
        bool sideBySide; // the channels on the kept helper
        int nanAt;       // a NaN at this frame of the last channel; -1: none
    };
    const Case cases[] = {
        { "mono, shorter than a block", 1, 1000, false, false, -1 },
        { "stereo, exactly one block", 2, pass::kChainBlockFrames, false, true, -1 },
        { "stereo, a block and a bit", 2, pass::kChainBlockFrames + 17, false, true, -1 },
        { "stereo, a NaN in the second block", 2, pass::kChainBlockFrames + 99, false, false, pass::kChainBlockFrames + 5 },
        { "mono limiter, shorter than its lookahead", 1, 5, true, false, -1 },
        { "mono beside the helper, three blocks and a bit", 1, 3 * pass::kChainBlockFrames + 11, false, true, -1 },
        { "mono beside the helper, a NaN in the last block", 1, 2 * pass::kChainBlockFrames + 40, false, true, 2 * pass::kChainBlockFrames + 3 },
        { "mono beside the helper, exactly two blocks", 1, 2 * pass::kChainBlockFrames, false, true, -1 },
        { "stereo limiter, across blocks", 2, 2 * pass::kChainBlockFrames + 3, true, true, -1 },
    };
    constexpr double rate = 48000.0;
    for (const auto& k : cases)
    {
        juce::AudioBuffer<float> input (k.channels, k.frames);
        float peak = 0.0f;
        for (int c = 0; c < k.channels; ++c)
            for (int i = 0; i < k.frames; ++i)
            {
                const float x = 0.2f * (float) std::sin (2.0 * juce::MathConstants<double>::pi * (440.0 + 110.0 * c) * i / rate);
                input.setSample (c, i, x);
                peak = juce::jmax (peak, std::abs (x));
            }
        if (k.nanAt >= 0)
            input.setSample (k.channels - 1, k.nanAt, std::numeric_limits<float>::quiet_NaN());
        BufferSource source (input, rate);

        sample_checks::ChannelTallies halved (k.channels);
        side_by_side::KeptHelper helper;
        std::optional<stages::TruePeakLimiter> limiter;
        pass::Pass p;
        p.steps = { { pass::holding (std::make_shared<stages::Gain> (0.5f)), &halved } };
        if (k.linked)
        {
            limiter.emplace (stages::designTruePeakLimiter ({}, rate), k.channels);
            p.linked = pass::LinkedStep { [&] (float* const* s, int n) { return limiter->process (s, n); },
                                          [&] (float* const* s) { return limiter->flush (s); }, limiter->latency() };
        }
        juce::AudioBuffer<float> delivered (k.channels, k.frames);
        int at = 0;
        p.taps = { [&] (juce::AudioBuffer<float>& block, int n)
                   {
                       ASSERT_LE (at + n, k.frames) << k.label;
                       for (int c = 0; c < k.channels; ++c)
                           delivered.copyFrom (c, at, block, c, 0, n);
                       at += n;
                   } };
        if (k.sideBySide)
            p.helper = &helper;

        ASSERT_TRUE (pass::run (source, p)) << k.label;
        EXPECT_EQ (at, k.frames) << k.label;
        const auto tally = halved.total();
        EXPECT_EQ (tally.nonFinite, k.nanAt >= 0 ? 1 : 0) << k.label;
        if (k.nanAt < 0)
        {
            EXPECT_EQ (tally.peak, 0.5f * peak) << k.label; // halving is exact
        }
        // Far under the ceiling the limiter only delays; the delay is taken out.
        const float tolerance = k.linked ? 1.0e-6f : 0.0f;
        for (int c = 0; c < k.channels; ++c)
            for (int i = 0; i < k.frames; ++i)
                if (! (c == k.channels - 1 && i == k.nanAt))
                {
                    ASSERT_NEAR (delivered.getSample (c, i), 0.5f * input.getSample (c, i), tolerance)
                        << k.label << ", channel " << c << ", frame " << i;
                }
    }
}
