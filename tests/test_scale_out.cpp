// The scale-out recipe as a user runs it: scripts/scale_out.sh hands the files
// of a folder to GNU parallel, which runs the built engine once per file on
// the machines it is given, and the script adds up their summary lines.
// "Machines" here are this one: either GNU parallel's own name for it (":"),
// or two host names that both log in over ssh to a real OpenSSH server the
// test starts on 127.0.0.1 (tests/support/sshd_server.sh), so the remote
// command line, its quoting and the logins are the ones a real cluster of
// machines gets.
#include "support/Daemons.h"
#include "support/ScaleOutRuns.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

using namespace tessaloom;

using namespace testing_support;

namespace
{
const juce::File repositoryRoot { TESSALOOM_SOURCE_DIR };

std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

std::string summary (int ok, int failed)
{
    return "{\"status\":\"batch_complete\",\"success\":" + std::to_string (ok) + ",\"failed\":"
           + std::to_string (failed) + "}\n";
}

ProcessOutput scaleOut (std::vector<std::string> arguments)
{
    arguments.insert (arguments.begin(), path (repositoryRoot.getChildFile ("scripts/scale_out.sh")));
    return runProcess ("/bin/bash", arguments);
}

// As scaleOut, from another working directory (where a relative report path
// starts).
ProcessOutput scaleOutFrom (const juce::File& workingDirectory, std::vector<std::string> arguments)
{
    return runScriptFrom (workingDirectory, repositoryRoot.getChildFile ("scripts/scale_out.sh"), std::move (arguments));
}


void writeVoices (const juce::File& folder, const std::vector<std::string>& names)
{
    int seed = 3;
    for (auto& name : names)
        writeWav (folder.getChildFile (name), speechLike (1, 48000, 48000.0, seed++), 48000.0, 16);
}

bool isMasteredWav (const juce::File& file)
{
    const auto audio = readAudio (file);
    return audio.ok && audio.formatName == "WAV file" && audio.bitsPerSample == 16 && audio.sampleRate == 48000.0
           && audio.buffer.getNumSamples() == 48000 && peakOf (audio.buffer) > 0.5f && peakOf (audio.buffer) < 0.54f;
}
} // namespace

// The hosts column of GNU parallel's job log (one line per job after the header).
std::multiset<std::string> hostsInJobLog (const juce::File& jobLog)
{
    std::multiset<std::string> hosts;
    std::istringstream in (jobLog.loadFileAsString().toStdString());
    std::string line;
    std::getline (in, line); // header
    while (std::getline (in, line))
    {
        std::istringstream fields (line);
        std::string sequence, host;
        std::getline (fields, sequence, '\t');
        std::getline (fields, host, '\t');
        hosts.insert (host);
    }
    return hosts;
}

TEST (ScaleOut, TwoMachinesOverARealSshdShareAFolderAndTheirSummariesAddUp)
{
    TempFolder tmp;
    const auto in = tmp.file ("shared in");
    const auto out = tmp.file ("shared out");
    in.createDirectory();
    const std::vector<std::string> good { "a voice.wav", "it's mine.wav", "plain.WAV", ".hidden.wav" };
    writeVoices (in, good);
    in.getChildFile ("broken.wav").replaceWithText ("not audio");
    in.getChildFile ("notes.flac").replaceWithText ("not listed");
    in.getChildFile ("sub").createDirectory();
    writeVoices (in.getChildFile ("sub"), { "nested.wav" });

    TestDaemon sshd ("sshd_server.sh", tmp.file ("sshd"));
    ASSERT_TRUE (sshd.ok()) << "sshd could not start on this machine:\n" << sshd.whyNot();

    // Both names lead to the same server (its ssh_config says so); the logins'
    // shell start-up files are ones that fail every command if read.
    const auto ssh = "ssh -F " + path (sshd.file ("ssh_config"));
    const auto run = scaleOut ({ "--input-dir", path (in), "--output-dir", path (out), "--engine", engineExecutable(),
                                 "--ssh", ssh, "--sshlogin", "2/hostA", "--sshlogin", "2/hostB",
                                 "--joblog", path (tmp.file ("jobs.log")), "--", "--denoise", "false" });

    EXPECT_EQ (run.exitCode, 2) << run.err;
    EXPECT_EQ (run.out, summary (4, 1)) << run.err;
    for (auto& name : good)
        EXPECT_TRUE (isMasteredWav (out.getChildFile (name))) << name;
    EXPECT_FALSE (out.getChildFile ("broken.wav").exists());
    EXPECT_FALSE (out.getChildFile ("nested.wav").exists()) << "sub-folders are not entered";
    EXPECT_TRUE (run.errContains ("[Error] Failed processing broken.wav")) << "the engine's log passes through";
    const auto hosts = hostsInJobLog (tmp.file ("jobs.log"));
    EXPECT_EQ (hosts.size(), 5u) << "one job per file";
    EXPECT_GT (hosts.count ("hostA"), 0u) << "both machines get work";
    EXPECT_GT (hosts.count ("hostB"), 0u) << "both machines get work";
    EXPECT_EQ (hosts.count ("hostA") + hosts.count ("hostB"), 5u);
    EXPECT_TRUE (sshd.file ("sshd.log").loadFileAsString().contains ("Accepted publickey"))
        << "the jobs went through the server";

    // The script's shared connections are closed when it ends: only the
    // server (its process and port) and its watcher are left until the test
    // stops them.
    const auto whileUp = juce::String (sshd.leftovers());
    EXPECT_EQ (juce::StringArray::fromLines (whileUp.trim()).size(), 3) << whileUp;
    EXPECT_TRUE (whileUp.contains ("[listener]")) << whileUp;
    EXPECT_TRUE (whileUp.contains ("sshd_server.sh watch")) << whileUp;
    EXPECT_FALSE (whileUp.contains ("[mux]")) << whileUp;
    EXPECT_EQ (sshd.stop(), "");
    EXPECT_EQ (sshd.leftovers(), "") << "no process or listening port outlives the test";
}

TEST (ScaleOut, AReportOverARealSshdHoldsEveryInputOnceWithItsResult)
{
    TempFolder tmp;
    const auto in = tmp.file ("shared in");
    const auto out = tmp.file ("shared out");
    in.createDirectory();
    std::vector<std::string> good { "it's ten.wav" };
    for (int i = 1; i <= 9; ++i)
        good.push_back ("voice 0" + std::to_string (i) + ".wav");
    writeVoices (in, good);
    in.getChildFile ("broken.wav").replaceWithText ("not audio");
    tmp.file ("reports").createDirectory();
    const auto report = tmp.file ("reports/batch.jsonl");
    report.replaceWithText ("{\"inputPath\":\"from an earlier run\"}\n", false, false, "\n");

    TestDaemon sshd ("sshd_server.sh", tmp.file ("sshd"));
    ASSERT_TRUE (sshd.ok()) << "sshd could not start on this machine:\n" << sshd.whyNot();

    // Every job's engine would empty the file it is given and write its one
    // line: each job needs its own, merged at the end.
    const auto run = scaleOut ({ "--input-dir", path (in), "--output-dir", path (out), "--engine", engineExecutable(),
                                 "--ssh", "ssh -F " + path (sshd.file ("ssh_config")), "--sshlogin", "2/hostA",
                                 "--sshlogin", "2/hostB", "--", "--report", path (report), "--denoise", "false" });
    EXPECT_EQ (run.exitCode, 2) << run.err;
    EXPECT_EQ (run.out, summary (10, 1)) << run.err;

    const auto lines = reportOf (report);
    EXPECT_EQ (lines.size(), 11u);
    std::map<std::string, int> times;
    std::vector<std::string> order;
    for (auto& line : lines)
    {
        ++times[line.inputPath];
        order.push_back (line.inputPath);
        const auto name = juce::File (line.inputPath).getFileName();
        SCOPED_TRACE (line.inputPath);
        EXPECT_EQ (line.outputPath, path (out.getChildFile (name)));
        if (name == "broken.wav")
        {
            EXPECT_FALSE (line.success);
            EXPECT_EQ (line.error, "Failed to read audio file for DSP processing: " + line.inputPath);
        }
        else
        {
            EXPECT_TRUE (line.success) << line.error;
            EXPECT_NEAR (line.outputPeakDbfs, -5.5, 0.01) << "the engine's own line, measured on the output";
        }
    }
    good.push_back ("broken.wav");
    for (auto& name : good)
        EXPECT_EQ (times[path (in.getChildFile (name))], 1) << name << ": one line per input, the real input path";
    EXPECT_TRUE (std::is_sorted (order.begin(), order.end())) << "lines in input path order";

    // Nothing but the report beside it, and no job's report left on the
    // shared folder.
    EXPECT_EQ (tmp.file ("reports").getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 1);
    EXPECT_EQ (out.findChildFiles (juce::File::findFilesAndDirectories, false, ".tessaloom*").size(), 0);
    EXPECT_TRUE (run.errContains ("scale_out: report of 11 file(s) written to " + path (report) + "\n")) << run.err;

    EXPECT_EQ (sshd.stop(), "");
    EXPECT_EQ (sshd.leftovers(), "") << "no process or listening port outlives the test";
}

TEST (ScaleOut, TheReportIsTheCallersAmongTheEngineOptionsTheLastOneCounting)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    const auto caller = tmp.file ("where the user stands");
    in.createDirectory();
    caller.getChildFile ("reports").createDirectory();
    writeVoices (in, { "one.wav", "two.wav" });

    // A relative report path starts where the user stands, not where the
    // jobs run; the options around it still reach every engine.
    const auto run = scaleOutFrom (caller, { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")),
                                             "--engine", engineExecutable(), "--jobs", "2", "--", "--report",
                                             "first.jsonl", "--denoise", "false", "--report", "reports/r.jsonl",
                                             "--target-lufs", "-16" });
    EXPECT_EQ (run.exitCode, 0) << run.err;
    EXPECT_EQ (run.out, summary (2, 0));
    EXPECT_TRUE (run.errContains ("(Target: -16.0 LUFS)")) << run.err;
    const auto lines = reportOf (caller.getChildFile ("reports/r.jsonl"));
    ASSERT_EQ (lines.size(), 2u);
    EXPECT_EQ (lines[0].inputPath, path (in.getChildFile ("one.wav")));
    EXPECT_EQ (lines[1].inputPath, path (in.getChildFile ("two.wav")));
    EXPECT_TRUE (lines[0].success && lines[1].success);
    EXPECT_FALSE (caller.getChildFile ("first.jsonl").exists()) << "only the last --report counts";
}

TEST (ScaleOut, ThisMachineOnlyAndRerunWithSkipExisting)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    const auto out = tmp.file ("out");
    in.createDirectory();
    writeVoices (in, { "one.wav", "two.wav" });

    const std::vector<std::string> common { "--input-dir", path (in), "--output-dir", path (out), "--engine",
                                            engineExecutable(), "--sshlogin", ":", "--jobs", "2" };
    auto first = common;
    first.insert (first.end(), { "--", "--denoise", "false", "--target-lufs", "-16" });
    const auto run = scaleOut (first);
    EXPECT_EQ (run.exitCode, 0) << run.err;
    EXPECT_EQ (run.out, summary (2, 0));
    EXPECT_TRUE (run.errContains ("(Target: -16.0 LUFS)")) << "engine options reach every run";
    EXPECT_TRUE (isMasteredWav (out.getChildFile ("one.wav")));
    EXPECT_TRUE (isMasteredWav (out.getChildFile ("two.wav")));

    // Only the new file is mastered on the second run.
    writeVoices (in, { "three.wav" });
    auto again = common;
    again.insert (again.end(), { "--skip-existing", "--", "--denoise", "false" });
    const auto rerun = scaleOut (again);
    EXPECT_EQ (rerun.exitCode, 0) << rerun.err;
    EXPECT_EQ (rerun.out, summary (1, 0));
    EXPECT_TRUE (rerun.errContains ("scale_out: 2 file(s) already mastered, left out"));
    EXPECT_TRUE (isMasteredWav (out.getChildFile ("three.wav")));
}

// A job whose file was mastered but failed a check ends with the engine's own status 3,
// which the summary lines do not carry: the run ends with 3 too, with the user's job log
// or without one. (Before, such a run ended with 0.)
TEST (ScaleOut, AFileThatFailedACheckEndsTheRunWithThree)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    // A quiet take with full-scale clicks: without the limiter (stage 7) the normalization lifts
    // its peaks over the podcast preset's -1 dBTP ceiling, and its true-peak check fails.
    auto peaky = speechLike (1, 48000 * 4, 48000.0, 41);
    peaky.applyGain (0.05f / peakOf (peaky));
    for (int i = 12000; i < peaky.getNumSamples(); i += 24000)
        peaky.setSample (0, i, 0.9f);
    writeWav (in.getChildFile ("peaky.wav"), peaky, 48000.0);
    auto calm = speechLike (1, 48000 * 4, 48000.0, 42);
    calm.applyGain (0.3f / peakOf (calm));
    writeWav (in.getChildFile ("calm.wav"), calm, 48000.0);

    struct Case
    {
        const char* label;
        std::vector<std::string> extra;   // scale_out.sh's own options
        std::vector<std::string> engine;  // after --
        int exitCode;
    };
    const auto jobLog = path (tmp.file ("jobs.log"));
    const Case cases[] = {
        { "a check failed", {}, { "--bypass-stage", "7" }, 3 },
        { "a check failed, the user's job log", { "--joblog", jobLog }, { "--bypass-stage", "7" }, 3 },
        { "every check passed", {}, {}, 0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        const auto out = tmp.file ("out");
        out.deleteRecursively();
        std::vector<std::string> args { "--input-dir", path (in), "--output-dir", path (out), "--engine", engineExecutable(),
                                        "--sshlogin", ":", "--jobs", "2" };
        args.insert (args.end(), c.extra.begin(), c.extra.end());
        args.insert (args.end(), { "--", "--preset", "podcast", "--denoise", "false" });
        args.insert (args.end(), c.engine.begin(), c.engine.end());
        const auto run = scaleOut (args);
        EXPECT_EQ (run.exitCode, c.exitCode) << run.err;
        EXPECT_EQ (run.out, summary (2, 0));
        EXPECT_EQ (run.errContains ("scale_out: 1 file(s) mastered but failed a check"), c.exitCode == 3) << run.err;
        EXPECT_TRUE (out.getChildFile ("peaky.wav").existsAsFile());
        EXPECT_TRUE (out.getChildFile ("calm.wav").existsAsFile());
    }
    EXPECT_EQ (hostsInJobLog (juce::File (jobLog)).size(), 2u) << "the user's job log is kept";
}

TEST (ScaleOut, JobsWithoutASummaryCountAsFailed)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeVoices (in, { "one.wav", "two.wav", "three.wav" });

    const auto run = scaleOut ({ "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--engine",
                                 path (tmp.file ("no-such-engine")) });
    EXPECT_EQ (run.exitCode, 2) << run.err;
    EXPECT_EQ (run.out, summary (0, 3));
    EXPECT_TRUE (run.errContains ("scale_out: 3 file(s) without a summary line"));

    // With a report, each of them has a failure line there.
    const auto report = tmp.file ("report.jsonl");
    const auto reported = scaleOut ({ "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--engine",
                                      path (tmp.file ("no-such-engine")), "--", "--report", path (report) });
    EXPECT_EQ (reported.exitCode, 2) << reported.err;
    EXPECT_EQ (reported.out, summary (0, 3));
    const auto lines = reportOf (report);
    ASSERT_EQ (lines.size(), 3u);
    const char* names[] = { "one.wav", "three.wav", "two.wav" };
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ (lines[(size_t) i].inputPath, path (in.getChildFile (names[i])));
        EXPECT_EQ (lines[(size_t) i].outputPath, path (tmp.file ("out").getChildFile (names[i])));
        EXPECT_FALSE (lines[(size_t) i].success);
        EXPECT_EQ (lines[(size_t) i].error, "No report line for this file: its job wrote none (the engine did not "
                                            "start, the machine was not reached, or the job was killed)");
    }
    EXPECT_TRUE (reported.errContains ("3 of them failure lines for files whose job wrote none")) << reported.err;
}

TEST (ScaleOut, RefusedRunsTouchNothing)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeVoices (in, { "one.wav" });
    const auto engine = std::string (engineExecutable());

    struct Case
    {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        { { "--input-dir", path (in), "--output-dir", path (in), "--engine", engine },
          "the output folder is the input folder" },
        { { "--input-dir", path (in), "--output-dir", path (in.getChildFile (".")), "--engine", engine },
          "the output folder is the input folder" },
        { { "--input-dir", path (in), "--engine", engine }, "--input-dir and --output-dir are both needed" },
        { { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--", "--output", "x.wav" },
          "--output is set by scale_out.sh" },
        { { "--input-dir", path (tmp.file ("missing")), "--output-dir", path (tmp.file ("out")) }, "no such folder" },
        { { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--jobs" }, "missing value for --jobs" },
        { { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--bogus", "1" },
          "unknown argument: --bogus" },
        // The report is renamed into place at the end, so whatever it would
        // replace is refused at the start, as the engine refuses it.
        { { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--", "--denoise", "false", "--report" },
          "missing value for --report" },
        { { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--", "--report",
            path (in.getChildFile ("report.WAV")) },
          "the report file would be taken as an input: " + path (in.getChildFile ("report.WAV")) },
        { { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--", "--report",
            path (tmp.file ("out").getChildFile ("one.wav")) },
          "the report file is an output file: " + path (tmp.file ("out").getChildFile ("one.wav")) },
        { { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--", "--report",
            path (tmp.file ("missing/r.jsonl")) },
          "cannot create the report file, its folder is missing: " + path (tmp.file ("missing/r.jsonl")) },
        { { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--", "--report", path (tmp.path()) },
          "the report file is a folder: " + path (tmp.path()) },
    };

    for (auto& c : cases)
    {
        const auto run = scaleOut (c.arguments);
        EXPECT_EQ (run.exitCode, 1) << c.message << "\n" << run.err;
        EXPECT_EQ (run.out, "") << c.message;
        EXPECT_TRUE (run.errContains (c.message)) << run.err;
    }
    EXPECT_EQ (in.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1) << "the input folder is untouched";
    EXPECT_EQ (tmp.file ("out").getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0) << "nothing written";

    // An empty folder is no error and, as with the engine, prints no summary.
    const auto empty = tmp.file ("empty");
    empty.createDirectory();
    const auto none = scaleOut ({ "--input-dir", path (empty), "--output-dir", path (tmp.file ("out2")) });
    EXPECT_EQ (none.exitCode, 0) << none.err;
    EXPECT_EQ (none.out, "");
}
