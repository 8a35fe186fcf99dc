// The command line as a user meets it: the built program's exact output and exit codes.
#include "app/CommandLine.h"
#include "support/TestSupport.h"

using namespace tessaloom;

using namespace testing_support;

namespace
{
const std::string expectedHelp =
    "\n"
    "Tessaloom Audio Engine (Batch CPU-Aware)\n"
    "\n"
    "Usage:\n"
    "  tessaloom-audio-engine [options]\n"
    "\n"
    "IO Options:\n"
    "  --input <file>           Single input WAV file\n"
    "  --output <file>          Single output WAV file\n"
    "  --input-dir <dir>        Batch input directory\n"
    "  --output-dir <dir>       Batch output directory\n"
    "\n"
    "Audio Options:\n"
    "  --denoise <bool>         Enable AI noise reduction (default: true)\n"
    "  --compressor <bool>      Enable macro-dynamics compressor (default: true)\n"
    "  --eq <bool>              Enable corrective/enhancement EQ (default: true)\n"
    "  --voice-type <str>       'Male' or 'Female' (default: Male)\n"
    "  --target-lufs <float>    Target loudness (default: -18.0)\n"
    "\n"
    "System Options:\n"
    "  --deepfilter-path <path> Path to DeepFilterNet3 binary\n"
    "  --ffmpeg-path <path>     Path to FFmpeg binary\n"
    "  --help, -h               Show this help message\n"
    "\n";

const std::string runWithHelp = "Run with --help for usage information.\n";

juce::StringArray args (std::initializer_list<const char*> list)
{
    juce::StringArray a { "tessaloom-audio-engine" };
    for (auto* s : list)
        a.add (s);
    return a;
}
} // namespace

TEST (CommandLineExe, HelpIsPrintedOnStdoutAtAnyNamePosition)
{
    for (const auto& arguments : std::vector<std::vector<std::string>> {
             { "--help" },
             { "-h" },
             { "--input", "/nonexistent/a.wav", "--help" },
             { "--input", "a.wav", "--output", "b.wav", "-h", "--bogus" } })
    {
        auto r = runEngineExe (arguments);
        EXPECT_EQ (r.exitCode, 0);
        EXPECT_EQ (r.out, expectedHelp);
        EXPECT_EQ (r.err, "");
    }
}

TEST (CommandLineExe, ErrorsGoToStderrWithExitCodeOne)
{
    struct Case
    {
        std::vector<std::string> arguments;
        std::string message;
    };

    const std::vector<Case> cases {
        { {}, "Must specify either --input/--output or --input-dir/--output-dir." },
        { { "--input", "a.wav" }, "Must specify either --input/--output or --input-dir/--output-dir." },
        { { "--output-dir", "out" }, "Must specify either --input/--output or --input-dir/--output-dir." },
        { { "--bogus", "x", "--help" }, "Unknown argument: --bogus" },
        { { "--input", "a.wav", "--output", "b.wav", "--bogus" }, "Missing value for argument: --bogus" },
        { { "--input" }, "Missing value for argument: --input" },
        // "--help" is taken as the value of --denoise, and validation then fails.
        { { "--denoise", "--help" }, "Must specify either --input/--output or --input-dir/--output-dir." },
        { { "--INPUT", "a.wav" }, "Unknown argument: --INPUT" },
        { { "--input=a.wav", "--output=b.wav" }, "Unknown argument: --input=a.wav" },
        { { "--input", "a.wav", "--output", "b.wav", "--target-lufs", "nan" }, "Invalid value for argument: --target-lufs" },
        { { "--input", "a.wav", "--output", "b.wav", "--target-lufs", "-inf" }, "Invalid value for argument: --target-lufs" },
        // An empty path is as if the option were absent.
        { { "--input", "", "--output", "b.wav" }, "Must specify either --input/--output or --input-dir/--output-dir." },
    };

    for (const auto& c : cases)
    {
        auto r = runEngineExe (c.arguments);
        EXPECT_EQ (r.exitCode, 1) << c.message;
        EXPECT_EQ (r.out, "");
        EXPECT_EQ (r.err, "ERROR: " + c.message + "\n" + runWithHelp);
    }
}

TEST (CommandLineParse, ValueConversions)
{
    auto o = parseCommandLine (args ({ "--input", "in.wav", "--output", "out.wav" }));
    ASSERT_TRUE (o.isValid);
    EXPECT_TRUE (o.config.denoise);
    EXPECT_TRUE (o.config.compressor);
    EXPECT_TRUE (o.config.eq);
    EXPECT_EQ (o.config.voiceType, "Male");
    EXPECT_FLOAT_EQ (o.config.targetLufs, -18.0f);
    EXPECT_EQ (o.config.bypassStage, 0);
    EXPECT_EQ (o.inputFile, juce::File::getCurrentWorkingDirectory().getChildFile ("in.wav"));
    EXPECT_TRUE (juce::File::isAbsolutePath (o.outputFile.getFullPathName()));

    struct BoolCase { const char* text; bool value; };
    for (auto c : { BoolCase { "true", true }, BoolCase { "1", true }, BoolCase { "TRUE", false },
                    BoolCase { "True", false }, BoolCase { "yes", false }, BoolCase { "on", false },
                    BoolCase { "", false }, BoolCase { "0", false } })
    {
        auto p = parseCommandLine (args ({ "--input", "a", "--output", "b", "--denoise", c.text, "--eq", c.text,
                                           "--compressor", c.text }));
        EXPECT_EQ (p.config.denoise, c.value) << c.text;
        EXPECT_EQ (p.config.eq, c.value) << c.text;
        EXPECT_EQ (p.config.compressor, c.value) << c.text;
    }

    struct LufsCase { const char* text; float value; };
    for (auto c : { LufsCase { "-16.5dB", -16.5f }, LufsCase { "  -23", -23.0f }, LufsCase { "loud", 0.0f },
                    LufsCase { "-1.4e1", -14.0f } })
        EXPECT_FLOAT_EQ (parseCommandLine (args ({ "--input", "a", "--output", "b", "--target-lufs", c.text })).config.targetLufs,
                         c.value) << c.text;

    struct IntCase { const char* text; int value; };
    for (auto c : { IntCase { "3", 3 }, IntCase { "9", 9 }, IntCase { "x", 0 }, IntCase { " 7abc", 7 }, IntCase { "-2", -2 } })
        EXPECT_EQ (parseCommandLine (args ({ "--input", "a", "--output", "b", "--bypass-stage", c.text })).config.bypassStage,
                   c.value) << c.text;
}

TEST (CommandLineParse, LastOccurrenceWinsAndMixesAreValid)
{
    auto o = parseCommandLine (args ({ "--input", "a", "--output", "b", "--bypass-stage", "2", "--bypass-stage", "5",
                                       "--voice-type", "Female", "--voice-type", "female" }));
    EXPECT_EQ (o.config.bypassStage, 5);
    EXPECT_EQ (o.config.voiceType, "female");

    EXPECT_TRUE (parseCommandLine (args ({ "--input", "a", "--output-dir", "d" })).isValid);
    EXPECT_TRUE (parseCommandLine (args ({ "--input-dir", "a", "--output", "b" })).isValid);

    // A value that starts with "--" is still a value.
    auto v = parseCommandLine (args ({ "--input", "--output", "--output", "x" }));
    EXPECT_TRUE (v.isValid);
    EXPECT_EQ (v.inputFile.getFileName(), "--output");

    auto config = parseCommandLine (args ({ "--input", "a", "--output", "b", "--deepfilter-path", "df", "--ffmpeg-path",
                                            "ff", "--target-lufs", "-23" })).config;
    EXPECT_EQ (config.deepFilterPath, "df");
    EXPECT_EQ (config.ffmpegPath, "ff");
    EXPECT_FLOAT_EQ (config.targetLufs, -23.0f);
}
