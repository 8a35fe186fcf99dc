// Levels the chain cannot deliver are refused, never mastered into silence
// reported as a success: a loudness target outside -70..0 LUFS at the command
// line, and a float input far above full scale at its analysis.

#include "support/TestSupport.h"

#include "app/CommandLine.h"

#include <gtest/gtest.h>

using namespace tessaloom;

using namespace testing_support;

namespace
{
std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}
} // namespace

TEST (LevelRange, TargetsOutsideWhatTheChainCanDeliverAreRefused)
{
    struct Case
    {
        const char* target;
        bool accepted;
    };
    const Case cases[] = {
        { "1000", false }, { "1e9", false }, { "0.5", false }, { "-70.1", false }, { "-200", false },
        { "0", true },     { "-70", true },  { "-18", true },  { "-5", true },
    };
    TempFolder tmp;
    writeWav (tmp.file ("in.wav"), speechLike (1, 4800, 48000.0, 5), 48000.0);
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.target);
        juce::StringArray arguments { "tessaloom-audio-engine", "--input", tmp.file ("in.wav").getFullPathName(), "--output",
                                      tmp.file ("out/o.wav").getFullPathName(), "--target-lufs", c.target };
        EXPECT_EQ (parseCommandLine (arguments).isValid, c.accepted);
        if (c.accepted)
            continue;

        const auto r = runEngineExe ({ "--input", path (tmp.file ("in.wav")), "--output", path (tmp.file ("out/o.wav")),
                                       "--target-lufs", c.target });
        EXPECT_EQ (r.exitCode, 1);
        EXPECT_EQ (r.out, "");
        EXPECT_EQ (r.err, "ERROR: Invalid value for argument: --target-lufs\nRun with --help for usage information.\n");
        EXPECT_FALSE (tmp.file ("out").exists()) << "a refused run creates nothing";
    }
}

// A float input far above full scale fails with the reason; one a little over
// it (as an editor's export can be) is still mastered.
TEST (LevelRange, AnInputFarAboveFullScaleFailsWithTheReason)
{
    struct Case
    {
        const char* label;
        float amplitude;
        std::string error; // empty: mastered
    };
    const Case cases[] = {
        { "a sine at +60 dBFS", 1000.0f, "Input level out of range: sample peak +60.0 dBFS, above the +20.0 dBFS the chain takes" },
        { "a sine at +26 dBFS", 20.0f, "Input level out of range: sample peak +26.0 dBFS, above the +20.0 dBFS the chain takes" },
        { "a sine at +18 dBFS", 8.0f, "" },
        { "a sine at +3.5 dBFS", 1.5f, "" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        writeWav (tmp.file ("loud.wav"), sine (1, 48000 * 3, 48000.0, 300.0, c.amplitude), 48000.0, 32);
        const auto output = tmp.file ("out/loud.wav");

        const auto r = runEngineExe ({ "--input", path (tmp.file ("loud.wav")), "--output", path (output), "--denoise", "false" });

        if (c.error.empty())
        {
            EXPECT_EQ (r.exitCode, 0) << r.err;
            const auto out = readAudio (output);
            ASSERT_TRUE (out.ok);
            EXPECT_NEAR (toDb (peakOf (out.buffer)), -5.5, 0.1) << "mastered, not silent";
        }
        else
        {
            EXPECT_EQ (r.exitCode, 2);
            EXPECT_EQ (r.out, "{\"status\":\"batch_complete\",\"success\":0,\"failed\":1}\n");
            EXPECT_TRUE (r.errContains ("[Error] Failed processing loud.wav: " + c.error + "\n")) << r.err;
            EXPECT_FALSE (output.exists());
        }
    }
}
