// The run plan: what each input of a command line becomes (its output and the
// ASR feed beside it) and which names the run claims in its output folder, read
// from the real command line parser.
#include "app/RunPlan.h"

#include <gtest/gtest.h>

using namespace tessaloom;

namespace
{
struct Case
{
    const char* label;
    std::vector<const char*> options; // after the program name and the folders
    const char* input;
    const char* output;  // file name in the output folder
    const char* feed;    // file name, or nullptr when none is written
    bool prefiltered;    // whether the pre-filtered copy is written beside the outputs
};

const Case cases[] = {
    { "WAV keeps its name", {}, "take.wav", "take.wav", "take_asr_feed.wav", true },
    { "WAV keeps its letter case", {}, "Take.WAV", "Take.WAV", "Take_asr_feed.wav", true },
    { "another format to WAV", { "--all-formats" }, "take.mp3", "take.wav", "take_asr_feed.wav", true },
    { "WAV to MP3", { "--output-format", "mp3" }, "take.wav", "take.mp3", "take_asr_feed.wav", true },
    { "FLAC to AAC in .m4a", { "--output-format", "aac" }, "take.flac", "take.m4a", "take_asr_feed.wav", true },
    { "WAV to FLAC", { "--output-format", "flac" }, "take.wav", "take.flac", "take_asr_feed.wav", true },
    { "without noise reduction no feed", { "--denoise", "false" }, "take.wav", "take.wav", nullptr, true },
    { "outputs only", { "--outputs-only" }, "take.wav", "take.wav", nullptr, false },
};
} // namespace

TEST (RunPlan, EachInputsOutputFeedAndClaimedNames)
{
    const auto in = juce::File ("/plan/in"), out = juce::File ("/plan/out");
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        juce::StringArray arguments { "engine", "--input-dir", in.getFullPathName(), "--output-dir", out.getFullPathName() };
        for (auto* option : c.options)
            arguments.add (option);
        const auto options = parseCommandLine (arguments);
        ASSERT_TRUE (options.isValid) << options.errorMessage;

        const auto plan = run_plan::make (options, { in.getChildFile (c.input) });
        EXPECT_TRUE (plan.batch);
        EXPECT_EQ (plan.outputFolder, out);
        ASSERT_EQ (plan.items.size(), 1u);
        EXPECT_EQ (plan.items[0].input, in.getChildFile (c.input));
        EXPECT_EQ (plan.items[0].output, out.getChildFile (c.output));
        EXPECT_EQ (run_plan::outputFor (options, in.getChildFile (c.input)), out.getChildFile (c.output));
        EXPECT_EQ (plan.items[0].asrFeed, c.feed != nullptr ? out.getChildFile (c.feed) : juce::File());
        EXPECT_EQ (plan.prefiltered, c.prefiltered ? out.getChildFile ("_stage0_prefiltered.wav") : juce::File());

        juce::StringArray claimed { c.output };
        if (c.feed != nullptr)
            claimed.add (c.feed);
        EXPECT_EQ (plan.claimedNames(), claimed);
    }
}

// One file: the output is --output, whatever the input is called, and its folder holds what is written beside it.
TEST (RunPlan, ASingleFileGoesToItsOutput)
{
    const auto options = parseCommandLine ({ "engine", "--input", "/plan/in/take.mp3", "--output", "/plan/out/episode 1.mp3" });
    ASSERT_TRUE (options.isValid) << options.errorMessage;
    const auto plan = run_plan::make (options, { juce::File ("/plan/in/take.mp3") });
    EXPECT_FALSE (plan.batch);
    EXPECT_EQ (plan.outputFolder, juce::File ("/plan/out"));
    ASSERT_EQ (plan.items.size(), 1u);
    EXPECT_EQ (plan.items[0].output, juce::File ("/plan/out/episode 1.mp3"));
    EXPECT_EQ (plan.items[0].asrFeed, juce::File ("/plan/out/take_asr_feed.wav"));
    EXPECT_EQ (plan.claimedNames(), juce::StringArray ({ "episode 1.mp3", "take_asr_feed.wav" }));
}
