// The scale-out recipe as a user runs it: scripts/scale_out.sh hands the files
// of a folder to GNU parallel, which runs the built engine once per file on
// the machines it is given, and the script adds up their summary lines.
// "Machines" here are this one: either GNU parallel's own name for it (":"),
// or two host names that both log in over ssh to a real OpenSSH server the
// test starts on 127.0.0.1 (tests/support/sshd_server.sh), so the remote
// command line, its quoting and the logins are the ones a real cluster of
// machines gets.
#include "support/Daemons.h"
#include "support/TestSupport.h"

#include <set>
#include <sstream>

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

std::set<std::string> linesOf (const juce::File& file)
{
    std::set<std::string> lines;
    std::istringstream in (file.loadFileAsString().toStdString());
    for (std::string line; std::getline (in, line);)
        lines.insert (line);
    return lines;
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
    };

    for (auto& c : cases)
    {
        const auto run = scaleOut (c.arguments);
        EXPECT_EQ (run.exitCode, 1) << c.message << "\n" << run.err;
        EXPECT_EQ (run.out, "") << c.message;
        EXPECT_TRUE (run.errContains (c.message)) << run.err;
    }
    EXPECT_EQ (in.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1) << "the input folder is untouched";

    // An empty folder is no error and, as with the engine, prints no summary.
    const auto empty = tmp.file ("empty");
    empty.createDirectory();
    const auto none = scaleOut ({ "--input-dir", path (empty), "--output-dir", path (tmp.file ("out2")) });
    EXPECT_EQ (none.exitCode, 0) << none.err;
    EXPECT_EQ (none.out, "");
}
