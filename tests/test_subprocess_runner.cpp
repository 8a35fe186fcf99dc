#include "tools/SubprocessRunner.h"

#include "support/ExternalTools.h"
#include "support/Hardening.h"
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tessaloom;

using namespace testing_support;
using hardening::endsSoon;

namespace
{
const juce::String executingPrefix ("[SubprocessRunner] Executing: ");
const juce::String exitCodePrefix ("[SubprocessRunner] Exit code: ");
const juce::String outputPrefix ("[SubprocessRunner] Output: ");

// A child that would run far longer than any test: when it is back early, the
// limit did it.
constexpr double killedWellBeforeChildEndMs = 15000.0;

struct RunnerTest : ::testing::Test
{
    TempFolder temp;
    CapturingLogger logger;

    juce::File script (const juce::String& name, const juce::String& body)
    {
        return writeScript (temp.file (name), body);
    }
};

TEST_F (RunnerTest, EmptyArgumentListIsNotRunAndNotLogged)
{
    const auto r = SubprocessRunner::run ({}, 1000);

    EXPECT_EQ (r.exitCode, -1);
    EXPECT_FALSE (r.outcome.ok());
    EXPECT_EQ (r.outcome.message, "ERROR: Empty command arguments");
    EXPECT_TRUE (r.output.isEmpty());
    EXPECT_EQ (r.elapsedMs, 0.0);
    EXPECT_FALSE (r.timedOut);
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.joined();
}

TEST_F (RunnerTest, ExecutablesThatCannotBeStartedGiveTheStartFailure)
{
    struct Case
    {
        const char* label;
        juce::String path;
    };
    const Case cases[] = {
        { "empty path", "" },
        { "missing file", temp.file ("no such dir").getChildFile ("tool").getFullPathName() },
        { "a folder", temp.path().getFullPathName() },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        CapturingLogger log;
        const juce::StringArray args { c.path, "-i", "a b.wav" };

        const auto r = SubprocessRunner::run (args, 5000);

        EXPECT_EQ (r.exitCode, -1);
        EXPECT_FALSE (r.outcome.ok()) << c.label;
        EXPECT_EQ (r.outcome.message, "ERROR: Failed to start process: " + c.path);
        EXPECT_FALSE (r.timedOut);
        EXPECT_TRUE (r.output.isEmpty());
        EXPECT_GE (r.elapsedMs, 0.0);
        const juce::StringArray expected { executingPrefix + c.path + " -i a b.wav",
                                           "[SubprocessRunner] ERROR: Failed to start process: " + c.path };
        EXPECT_EQ (log.lines(), expected) << log.joined();
    }
}

// A file that is there but may not be executed fails only once the child tries
// it; either form of failure is fine as long as it never looks like success.
TEST_F (RunnerTest, FileWithoutExecutePermissionNeverSucceeds)
{
    const auto exe = script ("plain.sh", "exit 0");
    ASSERT_TRUE (exe.setExecutePermission (false));

    const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, 5000);

    EXPECT_NE (r.exitCode, 0);
    EXPECT_FALSE (r.timedOut);
}

TEST_F (RunnerTest, ExitCodesAndMergedOutputAreReported)
{
    struct Case
    {
        const char* label;
        juce::String body;
        int exitCode;
        juce::String output;
    };
    const Case cases[] = {
        { "silent success", "exit 0", 0, "" },
        { "non-zero exit", "exit 3", 3, "" },
        { "both streams, in order", "echo out\necho err >&2\necho out2\nexit 7", 7, "out\nerr\nout2\n" },
        { "stderr only", "echo '  only errors  ' >&2\nexit 1", 1, "  only errors  \n" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        CapturingLogger log;
        const auto exe = script ("child.sh", c.body);

        const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, 10000);

        EXPECT_EQ (r.exitCode, c.exitCode);
        EXPECT_EQ (r.output, c.output);
        EXPECT_TRUE (r.outcome.ok() && r.outcome.message.isEmpty());
        EXPECT_FALSE (r.timedOut);

        const auto lines = log.lines();
        ASSERT_GE (lines.size(), 2) << log.joined();
        EXPECT_EQ (lines[0], executingPrefix + exe.getFullPathName());
        EXPECT_TRUE (lines[1].startsWith (exitCodePrefix + juce::String (c.exitCode) + " | Elapsed: ")) << lines[1];
        if (c.output.isEmpty())
        {
            EXPECT_EQ (lines.size(), 2) << "no output line for a silent child\n" << log.joined();
        }
        else
        {
            ASSERT_EQ (lines.size(), 3) << log.joined();
            EXPECT_EQ (lines[2], outputPrefix + c.output.trim());
        }
    }
}

TEST_F (RunnerTest, ArgumentsReachTheChildAsTheyAreWithoutAShell)
{
    const auto exe = script ("args.sh", "for a in \"$@\"; do printf '[%s]' \"$a\"; done");
    const juce::StringArray args { exe.getFullPathName(), "a b", "$HOME", "*", "semi;colon", "\"quoted\"", "x|y" };

    const auto r = SubprocessRunner::run (args, 10000);

    EXPECT_EQ (r.exitCode, 0);
    EXPECT_EQ (r.output, "[a b][$HOME][*][semi;colon][\"quoted\"][x|y]");
    EXPECT_TRUE (logger.contains (executingPrefix + args.joinIntoString (" "))) << logger.joined();
}

TEST_F (RunnerTest, OutputIsReturnedWholeAndLoggedOnlyBelow2000Characters)
{
    struct Case
    {
        int characters;
        bool logged;
    };
    for (const auto c : { Case { 1999, true }, Case { 2000, false }, Case { 10000, false } })
    {
        SCOPED_TRACE (c.characters);
        CapturingLogger log;
        const auto exe = script ("long.sh", "head -c " + juce::String (c.characters) + " /dev/zero | tr '\\0' x");

        const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, 10000);

        EXPECT_EQ (r.exitCode, 0);
        EXPECT_EQ (r.output, juce::String::repeatedString ("x", c.characters));
        EXPECT_EQ (log.linesStartingWith (outputPrefix).size(), c.logged ? 1 : 0);
    }
}

TEST_F (RunnerTest, ChattyChildNeitherBlocksNorLosesOutput)
{
    // Megabytes on both streams: far more than a pipe holds, and more than the
    // run keeps.
    const int outBytes = 6 * 1000 * 1000;
    const int errBytes = 3 * 1000 * 1000;
    const auto exe = script ("chatty.sh", "head -c " + juce::String (outBytes) + " /dev/zero | tr '\\0' a\n"
                                          "head -c " + juce::String (errBytes) + " /dev/zero | tr '\\0' b >&2\n"
                                          "echo end\nexit 4");

    const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, 120000);

    EXPECT_FALSE (r.timedOut);
    EXPECT_EQ (r.exitCode, 4);
    // Kept: the first and the last 64 KiB, and the count of every byte between
    // them, so nothing is lost unaccounted and nothing is held whole.
    const int kept = 64 * 1024;
    const auto leftOut = "\n[... " + juce::String (outBytes + errBytes + 4 - 2 * kept) + " bytes left out ...]\n";
    ASSERT_EQ (r.output.length(), 2 * kept + leftOut.length());
    const auto bytes = r.output.toStdString();
    EXPECT_EQ (bytes.substr (0, (size_t) kept), std::string ((size_t) kept, 'a'));
    EXPECT_EQ (bytes.substr ((size_t) kept, (size_t) leftOut.length()), leftOut.toStdString());
    EXPECT_EQ (bytes.substr (bytes.size() - (size_t) kept), std::string ((size_t) kept - 4, 'b') + "end\n")
        << "the streams arrive in the order written";
    EXPECT_TRUE (logger.linesStartingWith (outputPrefix).isEmpty());
}

TEST_F (RunnerTest, ChildThatStaysAliveIsKilledAtTheLimit)
{
    struct Case
    {
        const char* label;
        juce::String body;
        int limitMs;
        juce::String output;
        bool outputKnown;
    };
    const Case cases[] = {
        { "quiet child", "exec sleep 60", 300, "", true },
        { "a few bytes, then quiet", "printf 'started'\nexec sleep 60", 300, "started", true },
        { "a limit of one round", "exec sleep 60", 50, "", true },
        // The killed shell leaves its own child behind, holding the pipe open:
        // the run still ends, without the bytes of an unfinished read.
        { "grandchild keeps the pipe", "printf 'parent'\nsleep 30\necho never", 300, "", false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        CapturingLogger log;
        const auto exe = script ("hang.sh", c.body);

        const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, c.limitMs);

        EXPECT_TRUE (r.timedOut);
        EXPECT_TRUE (r.outcome.ok() && r.outcome.message.isEmpty());
        if (c.outputKnown)
        {
            EXPECT_EQ (r.output, c.output);
        }
        EXPECT_LT (r.elapsedMs, killedWellBeforeChildEndMs);

        const auto lines = log.lines();
        const int timedOutLine = lines.indexOf ("[SubprocessRunner] Process timed out after "
                                                + juce::String (c.limitMs) + "ms");
        ASSERT_GE (timedOutLine, 0) << log.joined();
        ASSERT_GT (lines.size(), timedOutLine + 1);
        EXPECT_TRUE (lines[timedOutLine + 1].startsWith (exitCodePrefix)) << log.joined();
    }
}

TEST_F (RunnerTest, ElapsedTimeIsLoggedWithOneDecimal)
{
    const auto exe = script ("nap.sh", "sleep 0.2");

    const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, 10000);

    EXPECT_GE (r.elapsedMs, 200.0);
    const auto lines = logger.linesStartingWith (exitCodePrefix);
    ASSERT_EQ (lines.size(), 1);
    EXPECT_EQ (lines[0], exitCodePrefix + "0 | Elapsed: " + juce::String (r.elapsedMs, 1) + "ms");
    EXPECT_TRUE (std::regex_match (lines[0].toStdString(),
                                   std::regex (R"(\[SubprocessRunner\] Exit code: 0 \| Elapsed: \d+\.\dms)")))
        << lines[0];
}

TEST_F (RunnerTest, OutputThatIsNotUtf8IsStillReturned)
{
    const auto exe = script ("bytes.sh", "printf '\\377\\376ok\\n'");

    const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, 10000);

    EXPECT_EQ (r.exitCode, 0);
    EXPECT_TRUE (r.output.isNotEmpty());
    EXPECT_TRUE (r.output.contains ("ok")) << r.output;
}

TEST_F (RunnerTest, ConcurrentRunsKeepTheirOwnOutput)
{
    const auto exe = script ("echo.sh", "i=0\nwhile [ $i -lt 2000 ]; do echo \"$1\"; i=$((i+1)); done\nexit $2");
    constexpr int numRuns = 4;
    std::vector<SubprocessResult> results (numRuns);
    std::vector<std::thread> threads;

    for (int i = 0; i < numRuns; ++i)
        threads.emplace_back ([&, i]
                              { results[(size_t) i] = SubprocessRunner::run (
                                    { exe.getFullPathName(), "token" + juce::String (i), juce::String (i) }, 60000); });
    for (auto& t : threads)
        t.join();

    for (int i = 0; i < numRuns; ++i)
    {
        SCOPED_TRACE (i);
        const auto& r = results[(size_t) i];
        EXPECT_EQ (r.exitCode, i);
        EXPECT_EQ (r.output, juce::String::repeatedString ("token" + juce::String (i) + "\n", 2000));
    }
}

// Whatever the child starts in the background goes when the run is over: when
// the child ends by itself (even while that process still holds its output
// open, which must not hold the run for the rest of its limit) and when it is
// killed at the limit. The run keeps what the child wrote.
TEST_F (RunnerTest, NothingTheChildStartedOutlivesTheRun)
{
    struct Case
    {
        const char* label;
        juce::String body; // $1: where the background process's pid goes
        int limitMs;
        int exitCode;
        bool timedOut;
        juce::String output;
    };
    const Case cases[] = {
        { "left holding the output after a clean exit", "sleep 600 &\necho $! > \"$1\"\nprintf done\nexit 0", 60000, 0,
          false, "done" },
        { "left with its output closed", "sleep 600 > /dev/null 2>&1 &\necho $! > \"$1\"\nprintf done\nexit 5", 60000, 5,
          false, "done" },
        { "left when the child is killed at the limit", "sleep 600 &\necho $! > \"$1\"\nprintf started\nexec sleep 600",
          500, -1, true, "started" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        CapturingLogger log;
        const auto exe = script ("starts a helper.sh", c.body);
        const auto pidFile = temp.file ("helper.pid");
        pidFile.deleteFile();

        const auto r = SubprocessRunner::run ({ exe.getFullPathName(), pidFile.getFullPathName() }, c.limitMs);

        const auto helper = (pid_t) pidFile.loadFileAsString().trim().getIntValue();
        ASSERT_GT (helper, 0) << log.joined();
        const bool gone = endsSoon (helper);
        if (! gone)
            ::kill (helper, SIGKILL);
        EXPECT_TRUE (gone) << "the background process outlived the run";
        EXPECT_EQ (r.timedOut, c.timedOut);
        if (! c.timedOut)
        {
            EXPECT_EQ (r.exitCode, c.exitCode);
        }
        EXPECT_EQ (r.output, c.output);
        EXPECT_TRUE (r.outcome.ok() && r.outcome.message.isEmpty());
    }
}

// The child's standard input is not the program's (a tool in a process group
// of its own that read the terminal would be stopped): it reads end of file.
TEST_F (RunnerTest, ChildReadsNothingFromStandardInput)
{
    const auto exe = script ("reads.sh", "if read line; then echo \"got $line\"; else echo nothing; fi");

    const auto r = SubprocessRunner::run ({ exe.getFullPathName() }, 10000);

    EXPECT_EQ (r.exitCode, 0);
    EXPECT_EQ (r.output, "nothing\n");
}
} // namespace
