// Mastering a folder as a Slurm job array (share/slurm/submit.sh, its
// array-task.sh and collect.sh) on a real one-node cluster that the test
// starts on this machine (tests/support/slurm_cluster.sh: MUNGE, slurmctld,
// slurmd on 127.0.0.1) and shuts down again. The tasks run the built engine
// on generated recordings; the outputs, the added-up summary line, the exit
// codes, a rerun that skips what is done and a run whose tasks print nothing
// are checked, and that no daemon outlives the cluster.
// The slicing of the file list, the refusals and the adding-up are checked
// without a cluster, through the same scripts (--dry-run, collect.sh on
// written task logs).
#include "app/BatchRunner.h"
#include "common/IntermediateNames.h"
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
const juce::File slurmFolder = repositoryRoot.getChildFile ("share/slurm");

std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

std::string summary (int ok, int failed)
{
    return "{\"status\":\"batch_complete\",\"success\":" + std::to_string (ok) + ",\"failed\":"
           + std::to_string (failed) + "}\n";
}

ProcessOutput slurmScript (const char* script, std::vector<std::string> arguments)
{
    arguments.insert (arguments.begin(), path (slurmFolder.getChildFile (script)));
    return runProcess ("/bin/bash", arguments);
}

struct Recording
{
    std::string name;
    int channels;
    double rate;
    int bits;
    int samples;
};

void writeRecordings (const juce::File& folder, const std::vector<Recording>& recordings)
{
    folder.createDirectory();
    int seed = 11;
    for (auto& r : recordings)
        writeWav (folder.getChildFile (r.name), speechLike (r.channels, r.samples, r.rate, seed++), r.rate, r.bits);
}

// A finished output: 16-bit WAV, the input's rate, channels and length, its
// sample peak at -5.5 dBFS.
::testing::AssertionResult isMastered (const juce::File& file, const Recording& input)
{
    const auto audio = readAudio (file);
    if (! audio.ok)
        return ::testing::AssertionFailure() << file.getFileName() << " does not read as audio";
    const auto peakDb = 20.0 * std::log10 ((double) peakOf (audio.buffer));
    if (audio.formatName != "WAV file" || audio.bitsPerSample != 16 || audio.floatingPoint
        || audio.sampleRate != input.rate || audio.buffer.getNumChannels() != input.channels
        || audio.buffer.getNumSamples() != input.samples || std::abs (peakDb + 5.5) > 0.05)
        return ::testing::AssertionFailure()
               << file.getFileName() << ": " << audio.formatName << ", " << audio.bitsPerSample << " bits, "
               << audio.sampleRate << " Hz, " << audio.buffer.getNumChannels() << " channel(s), "
               << audio.buffer.getNumSamples() << " samples, peak " << peakDb << " dBFS";
    return ::testing::AssertionSuccess();
}

// Name, size and contents of every file in a folder (not recursive).
std::map<std::string, std::string> snapshot (const juce::File& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& f : folder.findChildFiles (juce::File::findFiles, false, "*"))
    {
        juce::MemoryBlock data;
        f.loadFileAsData (data);
        files[f.getFileName().toStdString()] = data.toString().toStdString() + "#" + std::to_string (data.getSize());
    }
    return files;
}

// The lines of the file that match the engine's summary line.
std::vector<std::string> summaryLines (const juce::File& file)
{
    std::vector<std::string> lines;
    std::istringstream in (file.loadFileAsString().toStdString());
    for (std::string line; std::getline (in, line);)
        if (line.rfind ("{\"status\":\"batch_complete\"", 0) == 0)
            lines.push_back (line);
    return lines;
}

// The work folder that submit.sh names on standard error.
juce::File workFolderOf (const ProcessOutput& run)
{
    const auto err = juce::String (run.err);
    return juce::File (err.fromFirstOccurrenceOf ("work folder ", false, false).upToFirstOccurrenceOf ("\n", false, false));
}

// As slurmScript, from another working directory (where a relative report
// path starts).
ProcessOutput slurmScriptFrom (const juce::File& workingDirectory, const char* script, std::vector<std::string> arguments)
{
    return runScriptFrom (workingDirectory, slurmFolder.getChildFile (script), std::move (arguments));
}


// Points the Slurm clients that the scripts start at the test's cluster.
struct SlurmConfFor
{
    explicit SlurmConfFor (const TestDaemon& cluster)
    {
        setenv ("SLURM_CONF", cluster.file ("slurm.conf").getFullPathName().toRawUTF8(), 1);
    }
    ~SlurmConfFor() { unsetenv ("SLURM_CONF"); }
};

bool waitUntilQueueEmpty (int seconds)
{
    for (int i = 0; i < seconds * 10; ++i)
    {
        const auto queue = runProcess ("/usr/bin/squeue", { "-h", "-o", "%i" });
        if (queue.exitCode == 0 && queue.out.empty())
            return true;
        juce::Thread::sleep (100);
    }
    return false;
}
} // namespace

TEST (SlurmArray, MastersAFolderCountsTheBadFileAndARerunMastersOnlyWhatIsMissing)
{
    TempFolder tmp;
    const auto in = tmp.file ("recordings in");
    const auto out = tmp.file ("mastered");
    const std::vector<Recording> good {
        { "voice one.wav", 1, 48000.0, 16, 48000 },
        { "two.wav", 2, 44100.0, 24, 66150 },
        { "it's three.WAV", 1, 22050.0, 32, 33075 },
        { ".four.wav", 2, 48000.0, 16, 36000 },
    };
    writeRecordings (in, good);
    in.getChildFile ("bad.wav").replaceWithText ("not audio");
    in.getChildFile ("notes.txt").replaceWithText ("not listed");
    const auto inputsBefore = snapshot (in);

    TestDaemon cluster ("slurm_cluster.sh", tmp.file ("cluster"));
    ASSERT_TRUE (cluster.ok()) << "Slurm could not start on this machine:\n" << cluster.whyNot();
    SlurmConfFor conf (cluster);

    // Five files, two per task: three tasks, the bad file in the first.
    const auto first = slurmScript ("submit.sh", { "--input-dir", path (in), "--output-dir", path (out), "--engine",
                                                   engineExecutable(), "--files-per-task", "2", "--wait", "--",
                                                   "--denoise", "false", "--target-lufs", "-16" });
    EXPECT_EQ (first.exitCode, 2) << first.err;
    EXPECT_EQ (first.out, summary (4, 1)) << first.err;
    EXPECT_TRUE (first.errContains ("5 file(s) in 3 task(s) of up to 2")) << first.err;
    EXPECT_TRUE (first.errContains ("3 of 3 task summaries added up")) << first.err;
    for (auto& r : good)
        EXPECT_TRUE (isMastered (out.getChildFile (r.name), r));
    EXPECT_FALSE (out.getChildFile ("bad.wav").exists());

    // Each task's own summary line is kept in its output file.
    const auto work = workFolderOf (first);
    const std::vector<std::string> perTask[] = {
        { "{\"status\":\"batch_complete\",\"success\":1,\"failed\":1}" }, // .four.wav, bad.wav
        { "{\"status\":\"batch_complete\",\"success\":2,\"failed\":0}" },
        { "{\"status\":\"batch_complete\",\"success\":1,\"failed\":0}" },
    };
    for (int task = 0; task < 3; ++task)
        EXPECT_EQ (summaryLines (work.getChildFile ("logs/" + juce::String (task) + ".out")), perTask[task])
            << "task " << task;
    for (int task = 0; task < 3; ++task)
        EXPECT_TRUE (work.getChildFile ("logs/" + juce::String (task) + ".err").loadFileAsString().contains ("(Target: -16.0 LUFS)"))
            << "engine options reach every task";
    EXPECT_TRUE (work.getChildFile ("logs/0.err").loadFileAsString().contains ("[Error] Failed processing bad.wav"));

    // A rerun that skips what is done masters the two removed outputs and
    // tries the bad file again; the rest is not touched.
    ASSERT_TRUE (out.getChildFile ("two.wav").deleteFile());
    ASSERT_TRUE (out.getChildFile ("voice one.wav").deleteFile());
    const auto keptTime = out.getChildFile (".four.wav").getLastModificationTime();
    juce::Thread::sleep (20);
    const auto rerun = slurmScript ("submit.sh", { "--input-dir", path (in), "--output-dir", path (out), "--engine",
                                                   engineExecutable(), "--skip-existing", "--wait", "--",
                                                   "--denoise", "false" });
    EXPECT_EQ (rerun.exitCode, 2) << rerun.err;
    EXPECT_EQ (rerun.out, summary (2, 1)) << rerun.err;
    EXPECT_TRUE (rerun.errContains ("2 file(s) already mastered, left out")) << rerun.err;
    EXPECT_TRUE (rerun.errContains ("3 file(s) in 3 task(s) of up to 1")) << rerun.err;
    EXPECT_TRUE (isMastered (out.getChildFile ("two.wav"), good[1]));
    EXPECT_TRUE (isMastered (out.getChildFile ("voice one.wav"), good[0]));
    EXPECT_EQ (out.getChildFile (".four.wav").getLastModificationTime(), keptTime) << "a done file is left alone";

    // Submitted without waiting (and held, so that it cannot end early):
    // collect refuses while the job is queued, and adds up once it has ended.
    const auto in2 = tmp.file ("second folder");
    writeRecordings (in2, { good[0], good[1] });
    const auto held = slurmScript ("submit.sh", { "--input-dir", path (in2), "--output-dir", path (tmp.file ("out2")),
                                                  "--engine", engineExecutable(), "--sbatch", "--hold", "--",
                                                  "--denoise", "false" });
    ASSERT_EQ (held.exitCode, 0) << held.err;
    const auto job = juce::String (held.out).trim();
    EXPECT_TRUE (job.containsOnly ("0123456789") && job.isNotEmpty()) << held.out;
    const auto heldWork = path (workFolderOf (held));
    const auto early = slurmScript ("collect.sh", { heldWork });
    EXPECT_EQ (early.exitCode, 1) << early.err;
    EXPECT_EQ (early.out, "");
    EXPECT_TRUE (early.errContains ("queued or running; collect when it has ended")) << early.err;
    EXPECT_EQ (runProcess ("/usr/bin/scontrol", { "release", job.toStdString() }).exitCode, 0);
    ASSERT_TRUE (waitUntilQueueEmpty (60));
    const auto later = slurmScript ("collect.sh", { heldWork });
    EXPECT_EQ (later.exitCode, 0) << later.err;
    EXPECT_EQ (later.out, summary (2, 0)) << later.err;

    // Tasks that print no summary line (here: no engine where they run)
    // count all their files as failed.
    const auto noEngine = slurmScript ("submit.sh", { "--input-dir", path (in2), "--output-dir",
                                                      path (tmp.file ("out3")), "--engine",
                                                      path (tmp.file ("no-such-engine")), "--wait" });
    EXPECT_EQ (noEngine.exitCode, 2) << noEngine.err;
    EXPECT_EQ (noEngine.out, summary (0, 2)) << noEngine.err;
    EXPECT_TRUE (noEngine.errContains ("task 1 printed no summary line; its 1 file(s) count as failed"))
        << noEngine.err;

    EXPECT_EQ (snapshot (in), inputsBefore) << "the input folder is unchanged";

    // Shut down: every daemon has ended and no port is left listening.
    const auto stopLog = cluster.stop();
    EXPECT_EQ (stopLog, "");
    EXPECT_EQ (cluster.leftovers(), "");
}

TEST (SlurmArray, AReportHoldsEveryInputOnceWithItsRealPath)
{
    TempFolder tmp;
    const auto in = tmp.file ("recordings in");
    const auto out = tmp.file ("mastered");
    const auto caller = tmp.file ("where the user stands");
    std::vector<Recording> good;
    for (int i = 0; i < 10; ++i)
        good.push_back ({ "take " + std::to_string (i) + ".wav", 1 + i % 2, i % 3 == 0 ? 44100.0 : 48000.0, 16, 24000 });
    writeRecordings (in, good);
    in.getChildFile ("bad.wav").replaceWithText ("not audio");
    caller.getChildFile ("reports").createDirectory();
    const auto report = caller.getChildFile ("reports/batch.jsonl");

    TestDaemon cluster ("slurm_cluster.sh", tmp.file ("cluster"));
    ASSERT_TRUE (cluster.ok()) << "Slurm could not start on this machine:\n" << cluster.whyNot();
    SlurmConfFor conf (cluster);

    // Eleven files, three per task: four tasks, each of whose engines would
    // empty the report it is given. The path is relative to where the user
    // stands.
    const auto run = slurmScriptFrom (caller, "submit.sh", { "--input-dir", path (in), "--output-dir", path (out),
                                                             "--engine", engineExecutable(), "--files-per-task", "3",
                                                             "--wait", "--", "--denoise", "false", "--report",
                                                             "reports/batch.jsonl" });
    EXPECT_EQ (run.exitCode, 2) << run.err;
    EXPECT_EQ (run.out, summary (10, 1)) << run.err;
    EXPECT_TRUE (run.errContains ("11 file(s) in 4 task(s) of up to 3")) << run.err;

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
        if (name == "bad.wav")
        {
            EXPECT_FALSE (line.success);
            EXPECT_EQ (line.error, "Failed to read audio file for DSP processing: " + line.inputPath)
                << "the message names the input, not the task's link to it";
        }
        else
        {
            EXPECT_TRUE (line.success) << line.error;
            EXPECT_NEAR (line.outputPeakDbfs, -5.5, 0.01) << "the engine's own line, measured on the output";
        }
    }
    for (auto& r : good)
        EXPECT_EQ (times[path (in.getChildFile (r.name))], 1) << r.name << ": one line, the real input path";
    EXPECT_EQ (times[path (in.getChildFile ("bad.wav"))], 1);
    EXPECT_TRUE (std::is_sorted (order.begin(), order.end())) << "lines in input path order";
    EXPECT_EQ (caller.getChildFile ("reports").getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 1)
        << "nothing but the report beside it";
    EXPECT_TRUE (run.errContains ("slurm-collect: report of 11 file(s) written to " + path (report) + "\n")) << run.err;

    EXPECT_EQ (cluster.stop(), "");
    EXPECT_EQ (cluster.leftovers(), "");
}

TEST (SlurmSubmit, SlicesTheFileListAndRefusesBadRequests)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    for (auto name : { "a.wav", "b.wav", "c.WAV", "d.wav", "e.wav", "_stage0_prefiltered.wav" })
        in.getChildFile (name).replaceWithText ("listed, never read");
    in.getChildFile ("f.mp3").replaceWithText ("not listed");
    const auto engine = std::string (engineExecutable());

    struct Case
    {
        std::vector<std::string> options;
        int exitCode;
        std::string message; // on standard error
        std::string array;   // the array sbatch is asked for
    };
    const Case cases[] = {
        { {}, 0, "5 file(s) in 5 task(s) of up to 1", "--array=0-4" },
        { { "--files-per-task", "2" }, 0, "5 file(s) in 3 task(s) of up to 2", "--array=0-2" },
        { { "--max-tasks", "2" }, 0, "5 file(s) in 2 task(s) of up to 3", "--array=0-1" },
        { { "--max-tasks", "5" }, 0, "5 file(s) in 5 task(s) of up to 1", "--array=0-4" },
        { { "--files-per-task", "1", "--max-tasks", "4" }, 1, "5 files at 1 per task make 5 tasks, more than --max-tasks 4", "" },
        { { "--files-per-task", "0" }, 1, "--files-per-task takes a whole number from 1: 0", "" },
        { { "--max-tasks", "x" }, 1, "--max-tasks takes a whole number from 1: x", "" },
        { { "--sbatch", "--array=0-9" }, 1, "sbatch option --array=0-9 is set by submit.sh", "" },
        { { "--sbatch", "-o" }, 1, "sbatch option -o is set by submit.sh", "" },
        { { "--", "--input-dir", "x" }, 1, "--input-dir is set by submit.sh", "" },
        { { "--bogus" }, 1, "unknown argument: --bogus", "" },
        { { "--engine" }, 1, "missing value for --engine", "" },
        { { "--", "--report", path (tmp.file ("r.jsonl")) }, 0, "5 file(s) in 5 task(s) of up to 1", "--array=0-4" },
        { { "--", "--denoise", "false", "--report" }, 1, "missing value for --report", "" },
        { { "--", "--report", path (in.getChildFile ("r.wav")) }, 1,
          "the report file would be taken as an input: " + path (in.getChildFile ("r.wav")), "" },
        { { "--", "--report", path (tmp.file ("missing/r.jsonl")) }, 1,
          "cannot create the report file, its folder is missing: " + path (tmp.file ("missing/r.jsonl")), "" },
    };

    int n = 0;
    for (auto& c : cases)
    {
        const auto out = tmp.file ("out" + juce::String (n++));
        std::vector<std::string> arguments { "--input-dir", path (in), "--output-dir", path (out), "--dry-run" };
        if (c.options != std::vector<std::string> { "--engine" })
            arguments.insert (arguments.end(), { "--engine", engine });
        arguments.insert (arguments.end(), c.options.begin(), c.options.end());
        const auto run = slurmScript ("submit.sh", arguments);
        SCOPED_TRACE (c.message);
        EXPECT_EQ (run.exitCode, c.exitCode) << run.err;
        EXPECT_TRUE (run.errContains (c.message)) << run.err;
        if (c.exitCode == 0)
        {
            EXPECT_NE (run.out.find ("sbatch --parsable " + c.array + " "), std::string::npos) << run.out;
            EXPECT_NE (run.out.find ("array-task.sh"), std::string::npos) << run.out;
        }
        else
            EXPECT_EQ (run.out, "");
    }

    // Refusals about the folders themselves.
    const std::pair<std::vector<std::string>, std::string> folderCases[] = {
        { { "--input-dir", path (in), "--output-dir", path (in) }, "the output folder is the input folder" },
        { { "--input-dir", path (in), "--output-dir", path (in.getChildFile (".")) }, "the output folder is the input folder" },
        { { "--input-dir", path (in) }, "--input-dir and --output-dir are both needed" },
        { { "--input-dir", path (tmp.file ("missing")), "--output-dir", path (tmp.file ("o")) }, "no such folder" },
    };
    for (auto& [arguments, message] : folderCases)
    {
        auto all = arguments;
        all.push_back ("--dry-run");
        const auto run = slurmScript ("submit.sh", all);
        EXPECT_EQ (run.exitCode, 1) << message << "\n" << run.err;
        EXPECT_TRUE (run.errContains (message)) << run.err;
    }

    // An empty folder is no error, and submits nothing.
    const auto empty = tmp.file ("empty");
    empty.createDirectory();
    const auto none = slurmScript ("submit.sh", { "--input-dir", path (empty), "--output-dir", path (tmp.file ("o2")) });
    EXPECT_EQ (none.exitCode, 0) << none.err;
    EXPECT_EQ (none.out, "");
    EXPECT_TRUE (none.errContains ("no files to process")) << none.err;
}

// The names of a NUL-separated list of paths, in its order.
std::vector<std::string> namesInList (const std::string& paths)
{
    std::vector<std::string> names;
    std::istringstream in (paths);
    for (std::string file; std::getline (in, file, '\0');)
        names.push_back (file.substr (file.rfind ('/') + 1));
    return names;
}

// The scripts list a folder's inputs as the engine does (share/slurm/list-inputs.sh,
// sourced by submit.sh and scripts/scale_out.sh): the same files whatever the
// letter case, among digits, spaces, hidden files, links, a folder and files
// that are not audio, and in byte order of their names, where the engine
// takes them as the folder gives them.
TEST (SlurmSubmit, ListsTheInputsTheEngineTakesInByteOrderOfTheirNames)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    for (auto name : { "b.wav", "B.wav", "a.wav", "a10.wav", "a2.wav", "A1.WAV", "talk 3.wav", "talk 10.Wav",
                       ".hidden.wav", "x_asr_feed.wav", "\xc3\x9cn\xc3\xaf" "code.wav", "_STAGE0_PREFILTERED.WAV",
                       "_Stage1_Denoised.wav", "_df3_resampled_48k.wav", "_df3_resample_back.WAV", "notes.txt",
                       "clip.mp3", "take.wav.bak", "wav" })
        ASSERT_TRUE (in.getChildFile (juce::String::fromUTF8 (name)).replaceWithText ("listed by name, never read"));
    ASSERT_TRUE (in.getChildFile ("folder.wav").createDirectory());
    ASSERT_TRUE (in.getChildFile ("a.wav").createSymbolicLink (in.getChildFile ("link.wav"), false));
    ASSERT_TRUE (in.getChildFile ("folder.wav").createSymbolicLink (in.getChildFile ("folder link.wav"), false));

    const std::vector<std::string> expected { ".hidden.wav", "A1.WAV", "B.wav", "a.wav", "a10.wav", "a2.wav",
                                              "b.wav", "link.wav", "talk 10.Wav", "talk 3.wav", "x_asr_feed.wav",
                                              "\xc3\x9cn\xc3\xaf" "code.wav" };

    CommandLineOptions options;
    options.inputDir = in;
    std::vector<std::string> engine;
    for (const auto& f : collectInputFiles (options))
        engine.push_back (f.getFileName().toStdString());
    std::sort (engine.begin(), engine.end()); // byte order, as LC_ALL=C sorts
    EXPECT_EQ (engine, expected) << "the engine's own listing";

    const auto listInputs = path (slurmFolder.getChildFile ("list-inputs.sh"));
    const auto listed = runProcess ("/bin/bash", { "-c", "source \"$0\" && list_inputs \"$1\"", listInputs, path (in) });
    ASSERT_EQ (listed.exitCode, 0) << listed.err;
    EXPECT_EQ (namesInList (listed.out), expected) << "list_inputs";

    // submit.sh's file list, which the array's tasks take in its order.
    const auto work = tmp.file ("work");
    const auto submit = slurmScript ("submit.sh", { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")),
                                                    "--engine", engineExecutable(), "--work-dir", path (work),
                                                    "--dry-run" });
    ASSERT_EQ (submit.exitCode, 0) << submit.err;
    juce::MemoryBlock files;
    ASSERT_TRUE (work.getChildFile ("files").loadFileAsData (files));
    EXPECT_EQ (namesInList (std::string ((const char*) files.getData(), files.getSize())), expected) << "submit.sh";

    // The intermediate names the scripts leave out are the engine's, and in
    // lower case, as the scripts compare them with a lowered name.
    const auto names = runProcess ("/bin/bash", { "-c", "source \"$0\" && printf '%s\\n' \"${intermediate_names[@]}\"",
                                                  listInputs });
    std::string engineNames;
    for (auto* name : intermediate_names::all)
    {
        engineNames += std::string (name) + "\n";
        EXPECT_EQ (juce::String (name).toLowerCase(), juce::String (name));
    }
    EXPECT_EQ (names.out, engineNames);
}

TEST (SlurmCollect, AddsUpTaskSummariesAndCountsMissingOnesAsFailed)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    for (auto name : { "a.wav", "b.wav", "c.wav", "d.wav", "e.wav" })
        in.getChildFile (name).replaceWithText ("listed, never read");

    const auto line = [] (int ok, int failed) { return summary (ok, failed); };
    struct Case
    {
        const char* what;
        std::vector<std::string> taskOutputs; // logs/<task>.out, three tasks of 2, 2 and 1 files; "-" = none
        std::string expected;
        int exitCode;
    };
    const Case cases[] = {
        { "all mastered", { line (2, 0), line (2, 0), line (1, 0) }, line (5, 0), 0 },
        { "one failed", { line (1, 1), line (2, 0), line (1, 0) }, line (4, 1), 2 },
        { "a task that never ran", { line (2, 0), "-", line (1, 0) }, line (3, 2), 2 },
        { "a task killed before its summary", { line (2, 0), "[Info] started\n", line (1, 0) }, line (3, 2), 2 },
        { "a summary short of the slice", { line (1, 0), line (2, 0), line (1, 0) }, line (4, 1), 2 },
        { "log lines around the summary", { "x\n" + line (2, 0) + "y\n", line (2, 0), line (1, 0) }, line (5, 0), 0 },
        { "nothing ran", { "-", "-", "-" }, line (0, 5), 2 },
    };

    int n = 0;
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto work = tmp.file ("work" + juce::String (n++));
        const auto submit = slurmScript ("submit.sh", { "--input-dir", path (in), "--output-dir",
                                                        path (tmp.file ("out")), "--work-dir", path (work),
                                                        "--files-per-task", "2", "--dry-run" });
        ASSERT_EQ (submit.exitCode, 0) << submit.err;
        for (size_t task = 0; task < c.taskOutputs.size(); ++task)
            if (c.taskOutputs[task] != "-")
                work.getChildFile ("logs/" + juce::String ((int) task) + ".out").replaceWithText (c.taskOutputs[task], false, false, "\n");
        const auto run = slurmScript ("collect.sh", { path (work) });
        EXPECT_EQ (run.out, c.expected) << run.err;
        EXPECT_EQ (run.exitCode, c.exitCode) << run.err;
    }

    const auto notWork = slurmScript ("collect.sh", { path (in) });
    EXPECT_EQ (notWork.exitCode, 1);
    EXPECT_TRUE (notWork.errContains ("is not the work folder of a submitted run")) << notWork.err;
}

TEST (SlurmCollect, MergesTheTasksReportsIntoOneLinePerInputWithTheRealPaths)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    const auto out = tmp.file ("out");
    in.createDirectory();
    for (auto name : { "a.wav", "b.wav", "c.wav", "d.wav", "e.wav" })
        in.getChildFile (name).replaceWithText ("listed, never read");
    const auto report = tmp.file ("report.jsonl");

    // A line of the engine's form for an input path (b.wav fails); the
    // figures keep trailing zeros that a merge rewriting the line would lose.
    const auto engineLine = [&] (const std::string& input, char name)
    {
        const std::string output = path (out) + "/" + name + ".wav";
        const bool ok = name != 'b';
        return "{\"inputPath\":\"" + input + "\",\"outputPath\":\"" + output + "\",\"success\":"
               + (ok ? "true,\"error\":null" : "false,\"error\":\"Failed to read audio file for DSP processing: " + input + "\"")
               + ",\"processingTimeMs\":12.500,\"output\":{\"integratedLufs\":-18.000}}";
    };

    struct Case
    {
        const char* what;
        // What each task's report holds (tasks of a+b, c+d, e): the files it
        // wrote a line for, "x~" a line cut short, "!" a line that is not JSON;
        // "-" no report at all.
        std::vector<std::string> tasks;
        std::string kept; // the inputs whose engine line is kept; the others get a failure line
    };
    const Case cases[] = {
        { "every task wrote its lines", { "b a", "c d", "e" }, "abcde" },
        { "a task that never ran", { "a b", "-", "e" }, "abe" },
        { "a task killed while writing a line", { "a b~", "c d", "e" }, "acde" },
        { "a line that is not JSON, a file of another task", { "a ! b", "c d e", "" }, "abcd" },
        { "nothing ran", { "-", "-", "-" }, "" },
    };

    int n = 0;
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto work = tmp.file ("work" + juce::String (n++));
        const auto submit = slurmScript ("submit.sh", { "--input-dir", path (in), "--output-dir", path (out),
                                                        "--work-dir", path (work), "--files-per-task", "2",
                                                        "--dry-run", "--", "--report", path (report) });
        ASSERT_EQ (submit.exitCode, 0) << submit.err;
        for (size_t task = 0; task < c.tasks.size(); ++task)
        {
            if (c.tasks[task] == "-")
                continue;
            std::string text;
            std::istringstream tokens (c.tasks[task]);
            for (std::string token; tokens >> token;)
            {
                const auto link = path (work) + "/slices/" + std::to_string (task) + "/" + token[0] + ".wav";
                if (token == "!")
                    text += "[Info] not a report line\n";
                else if (token.size() == 2 && token[1] == '~')
                    text += engineLine (link, token[0]).substr (0, 40);
                else
                    text += engineLine (link, token[0]) + "\n";
            }
            work.getChildFile ("logs/" + juce::String ((int) task) + ".jsonl").replaceWithText (text, false, false, "\n");
        }
        report.replaceWithText ("{\"inputPath\":\"from an earlier run\"}\n", false, false, "\n");

        const auto run = slurmScript ("collect.sh", { path (work) });
        EXPECT_EQ (run.exitCode, 2) << run.err;

        std::string expected;
        for (char name = 'a'; name <= 'e'; ++name)
        {
            const auto input = path (in) + "/" + name + ".wav";
            const auto task = std::to_string ((name - 'a') / 2);
            if (c.kept.find (name) != std::string::npos)
                expected += engineLine (input, name) + "\n";
            else
                expected += "{\"inputPath\":\"" + input + "\",\"outputPath\":\"" + path (out) + "/" + name
                            + ".wav\",\"success\":false,\"error\":\"No report line for this file: array task " + task
                            + " wrote none (it never ran, was cancelled or killed, or the engine could not start; see "
                            + path (work) + "/logs/" + task + ".err)\",\"denoiseEngine\":null,\"processingTimeMs\":null,"
                            + "\"inputAnalysis\":null,\"settings\":null,\"output\":null}\n";
        }
        EXPECT_EQ (report.loadFileAsString().toStdString(), expected);
        EXPECT_EQ (reportOf (report).size(), 5u);
        EXPECT_EQ (tmp.path().findChildFiles (juce::File::findFiles, false, ".report.jsonl*").size(), 0)
            << "no partial merge left beside the report";
    }
}
