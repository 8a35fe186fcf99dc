// Batch runs as a user meets them: file lists, worker pool, summary line, exit
// codes, and the refusals that protect inputs.
#include "app/BatchRunner.h"
#include "support/Hardening.h"
#include "support/TestSupport.h"

#include "support/ExternalTools.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

using namespace tessaloom;

using namespace testing_support;
using hardening::endsSoon;

namespace
{
std::string summary (int ok, int failed)
{
    return "{\"status\":\"batch_complete\",\"success\":" + std::to_string (ok) + ",\"failed\":" + std::to_string (failed) + "}\n";
}

std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

// Index of the first line containing text, or -1.
int lineIndex (const std::vector<std::string>& lines, const std::string& text)
{
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find (text) != std::string::npos)
            return (int) i;
    return -1;
}

juce::MemoryBlock bytesOf (const juce::File& f)
{
    juce::MemoryBlock mb;
    f.loadFileAsData (mb);
    return mb;
}

struct InputSpec
{
    const char* name;
    int channels;
    double rate;
    int bits;
};

const InputSpec mixedInputs[] = {
    { "mono48_16.wav", 1, 48000.0, 16 },
    { "stereo44_24.wav", 2, 44100.0, 24 },
    { "mono44_float.wav", 1, 44100.0, 32 },
    { "stereo48_float.WAV", 2, 48000.0, 32 },
};

void writeInputs (const juce::File& folder)
{
    int seed = 1;
    for (auto& in : mixedInputs)
        writeWav (folder.getChildFile (in.name), speechLike (in.channels, (int) (in.rate * 1.5), in.rate, seed++), in.rate, in.bits);
}
} // namespace

TEST (BatchExe, SingleFileSucceedsAndFails)
{
    TempFolder tmp;
    const auto input = tmp.file ("voice.wav");
    writeWav (input, speechLike (2, 44100, 44100.0), 44100.0, 24);
    const auto before = bytesOf (input);

    auto ok = runEngineExe ({ "--input", path (input), "--output", path (tmp.file ("out/sub/voice-master.wav")), "--denoise", "false" });
    EXPECT_EQ (ok.exitCode, 0) << ok.err;
    EXPECT_EQ (ok.out, summary (1, 0));
    auto written = readAudio (tmp.file ("out/sub/voice-master.wav"));
    ASSERT_TRUE (written.ok);
    EXPECT_EQ (written.formatName, "WAV file");
    EXPECT_EQ (written.bitsPerSample, 16);
    EXPECT_FALSE (written.floatingPoint);
    EXPECT_EQ (written.sampleRate, 44100.0);
    EXPECT_EQ (written.buffer.getNumChannels(), 2);
    EXPECT_EQ (written.buffer.getNumSamples(), 44100);
    EXPECT_EQ (bytesOf (input), before) << "the input must never change";

    // A missing input fails the file, not the run.
    auto missing = runEngineExe ({ "--input", path (tmp.file ("nope.wav")), "--output", path (tmp.file ("o.wav")), "--denoise", "false" });
    EXPECT_EQ (missing.exitCode, 2);
    EXPECT_EQ (missing.out, summary (0, 1));
    EXPECT_TRUE (missing.errContains ("[Error] Failed processing nope.wav: Failed to read audio file for DSP processing: "
                                      + path (tmp.file ("nope.wav"))));
    EXPECT_FALSE (tmp.file ("o.wav").exists());
}

TEST (BatchExe, FolderOfMixedFilesWithOneBadFile)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeInputs (in);
    in.getChildFile ("x.wav").replaceWithText ("this is not audio");
    in.getChildFile ("notes.flac").replaceWithText ("not listed");
    in.getChildFile ("take.wave").replaceWithText ("not listed");
    in.getChildFile ("sub").createDirectory();
    writeWav (in.getChildFile ("sub/nested.wav"), sine (1, 4800, 48000.0, 440.0, 0.1f), 48000.0);
    // Leftovers of the program's own never count as inputs.
    writeWav (in.getChildFile ("_stage0_prefiltered.wav"), sine (1, 4800, 48000.0, 440.0, 0.1f), 48000.0);
    writeWav (in.getChildFile ("_df3_resampled_48k.wav"), sine (1, 4800, 48000.0, 440.0, 0.1f), 48000.0);

    const auto out = tmp.file ("out");
    auto r = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false" });

    EXPECT_EQ (r.exitCode, 2) << r.err;
    EXPECT_EQ (r.out, summary (4, 1));
    const auto lines = r.errLines();
    int failures = 0;
    for (auto& l : lines)
        if (l.rfind ("[Error] Failed processing ", 0) == 0)
        {
            ++failures;
            EXPECT_EQ (l.rfind ("[Error] Failed processing x.wav: ", 0), 0u) << l;
        }
    EXPECT_EQ (failures, 1);

    for (auto& input : mixedInputs)
    {
        auto w = readAudio (out.getChildFile (input.name));
        ASSERT_TRUE (w.ok) << input.name;
        EXPECT_EQ (w.bitsPerSample, 16) << input.name;
        EXPECT_FALSE (w.floatingPoint) << input.name;
        EXPECT_EQ (w.sampleRate, input.rate) << input.name;
        EXPECT_EQ (w.buffer.getNumChannels(), input.channels) << input.name;
        EXPECT_EQ (w.buffer.getNumSamples(), (int) (input.rate * 1.5)) << input.name;
    }
    EXPECT_FALSE (out.getChildFile ("x.wav").exists()) << "a failed file leaves no output";
    EXPECT_FALSE (out.getChildFile ("nested.wav").exists());
    EXPECT_FALSE (out.getChildFile ("_df3_resampled_48k.wav").exists());
    EXPECT_TRUE (out.getChildFile ("_stage0_prefiltered.wav").existsAsFile());
    EXPECT_EQ (lineIndex (lines, "Processing: " + path (in.getChildFile ("_stage0_prefiltered.wav"))), -1);
}

TEST (BatchExe, EmptyFolderIsNoError)
{
    TempFolder tmp;
    tmp.file ("in").createDirectory();
    tmp.file ("in/readme.txt").replaceWithText ("no audio here");
    const auto out = tmp.file ("deep/out");

    auto r = runEngineExe ({ "--input-dir", path (tmp.file ("in")), "--output-dir", path (out) });
    EXPECT_EQ (r.exitCode, 0);
    EXPECT_EQ (r.out, "");
    const auto lines = r.errLines();
    ASSERT_EQ (lines.size(), 3u) << r.err;
    EXPECT_EQ (lines[0].rfind ("[System] Topology: ", 0), 0u);
    EXPECT_TRUE (std::regex_match (lines[1], std::regex (R"(\[System\] Initializing ThreadPool with \d+ workers\.)"))) << lines[1];
    EXPECT_EQ (lines[2], "[System] No files found to process.");
    EXPECT_TRUE (out.isDirectory());

    // A folder that does not exist is the same as an empty one.
    auto none = runEngineExe ({ "--input-dir", path (tmp.file ("missing")), "--output-dir", path (out) });
    EXPECT_EQ (none.exitCode, 0);
    EXPECT_EQ (none.out, "");
}

TEST (BatchExe, RunsThatWouldLoseDataAreRefusedBeforeTouchingAnything)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeWav (in.getChildFile ("a.wav"), sine (1, 4800, 48000.0, 440.0, 0.1f), 48000.0);
    writeWav (in.getChildFile ("b.wav"), sine (1, 4800, 48000.0, 880.0, 0.1f), 48000.0);
    const auto aBytes = bytesOf (in.getChildFile ("a.wav"));

    struct Case
    {
        std::vector<std::string> arguments;
        std::string messageStart;
    };
    const std::vector<Case> cases {
        { { "--input-dir", path (in), "--output-dir", path (in) }, "ERROR: Output directory is the input directory" },
        { { "--input-dir", path (in), "--output-dir", path (in) + "/." }, "ERROR: Output directory is the input directory" },
        { { "--input-dir", path (in), "--output", path (tmp.file ("new/one.wav")) }, "ERROR: Batch of 2 files needs --output-dir" },
        { { "--input", path (in.getChildFile ("a.wav")), "--output", path (in.getChildFile ("a.wav")) }, "ERROR: Output file is the input file" },
        { { "--input", path (in.getChildFile ("a.wav")), "--output-dir", path (in) }, "ERROR: Output file is the input file" },
    };

    for (auto& c : cases)
    {
        auto r = runEngineExe (c.arguments);
        EXPECT_EQ (r.exitCode, 1) << c.messageStart;
        EXPECT_EQ (r.out, "");
        const auto lines = r.errLines();
        ASSERT_EQ (lines.size(), 2u) << r.err;
        EXPECT_EQ (lines[0].rfind (c.messageStart, 0), 0u) << lines[0];
        EXPECT_EQ (lines[1], "Run with --help for usage information.");
    }

    EXPECT_EQ (bytesOf (in.getChildFile ("a.wav")), aBytes);
    EXPECT_FALSE (tmp.file ("new").exists()) << "a refused run creates no folder";
    EXPECT_EQ (in.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 2);

    // A batch of one file with --output is fine: nothing is shared.
    const auto one = tmp.file ("one");
    one.createDirectory();
    writeWav (one.getChildFile ("only.wav"), sine (1, 4800, 48000.0, 440.0, 0.1f), 48000.0);
    auto r = runEngineExe ({ "--input-dir", path (one), "--output", path (tmp.file ("single/out.wav")), "--denoise", "false" });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_TRUE (tmp.file ("single/out.wav").existsAsFile());
}

TEST (Batch, ParallelWorkersGiveTheSameOutputsAsSingleRuns)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    for (int i = 0; i < 6; ++i)
        writeWav (in.getChildFile ("take" + juce::String (i) + ".wav"),
                  speechLike (1 + i % 2, 48000 + 1000 * i, i % 3 == 0 ? 44100.0 : 48000.0, 100 + i),
                  i % 3 == 0 ? 44100.0 : 48000.0, 16);

    CommandLineOptions options;
    options.inputDir = in;
    options.outputDir = tmp.file ("parallel");
    options.config.denoise = false;
    EXPECT_EQ (runBatch (options, 4), 0);

    for (int i = 0; i < 6; ++i)
    {
        const auto name = "take" + juce::String (i) + ".wav";
        CommandLineOptions single;
        single.inputFile = in.getChildFile (name);
        single.outputFile = tmp.file ("single").getChildFile (name);
        single.config.denoise = false;
        ASSERT_EQ (runBatch (single, 1), 0);

        auto a = readAudio (tmp.file ("parallel").getChildFile (name));
        auto b = readAudio (single.outputFile);
        ASSERT_TRUE (a.ok && b.ok) << name;
        ASSERT_EQ (a.buffer.getNumChannels(), b.buffer.getNumChannels());
        ASSERT_EQ (a.buffer.getNumSamples(), b.buffer.getNumSamples());
        for (int c = 0; c < a.buffer.getNumChannels(); ++c)
            for (int s = 0; s < a.buffer.getNumSamples(); ++s)
                ASSERT_EQ (a.buffer.getSample (c, s), b.buffer.getSample (c, s)) << name << " ch " << c << " sample " << s;
    }

    // No private work folder is left behind; only outputs and the products of the run.
    for (auto& f : tmp.file ("parallel").findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
    {
        EXPECT_FALSE (f.isDirectory()) << f.getFullPathName();
        EXPECT_FALSE (f.getFileName().startsWith (".")) << f.getFullPathName();
    }
}

TEST (Batch, WorkerCountRule)
{
    struct Case { int logical; int workers; };
    for (auto c : { Case { 0, 2 }, Case { 1, 1 }, Case { 2, 1 }, Case { 3, 1 }, Case { 4, 2 }, Case { 8, 4 },
                    Case { 12, 6 }, Case { 16, 8 }, Case { 17, 8 } })
        EXPECT_EQ (workerCountFor ("Unknown", c.logical), c.workers) << c.logical;

    EXPECT_EQ (workerCountFor ("Intel Core i5-8250U", 8), 4);
    EXPECT_EQ (workerCountFor ("Intel Core i7-9700", 8), 7);
    EXPECT_EQ (workerCountFor ("Apple M1", 1), 1);
    EXPECT_GE (computeWorkerCount(), 1);
}

// The chain works through a file in blocks, so a file whose samples alone
// would not fit in the memory the run may use is mastered like any other.
TEST (BatchExe, AFileLargerThanTheRunsMemoryIsMasteredInBlocks)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeWav (in.getChildFile ("small.wav"), sine (1, 48000, 48000.0, 440.0, 0.2f), 48000.0);

    // A 16-bit mono file of 60 million samples (a sparse file, so it costs no disk
    // to make): its float samples alone need 240 MB, more than the run may use below.
    const auto big = in.getChildFile ("big.wav");
    writeWav (big, silence (1, 1), 48000.0);
    juce::MemoryBlock header;
    big.loadFileAsData (header);
    const std::string raw (static_cast<const char*> (header.getData()), header.getSize());
    const auto dataAt = raw.find ("data");
    ASSERT_NE (dataAt, std::string::npos);
    const juce::uint32 dataBytes = 120000000;
    const juce::uint32 riffBytes = (juce::uint32) (dataAt + 8 + dataBytes - 8);
    std::memcpy (static_cast<char*> (header.getData()) + dataAt + 4, &dataBytes, 4);
    std::memcpy (static_cast<char*> (header.getData()) + 4, &riffBytes, 4);
    header.setSize (dataAt + 8);
    big.replaceWithData (header.getData(), header.getSize());
    std::filesystem::resize_file (big.getFullPathName().toStdString(), dataAt + 8 + dataBytes);

    const std::string command = "ulimit -v 200000; exec '" + std::string (engineExecutable()) + "' --input-dir '"
                                + path (in) + "' --output-dir '" + path (tmp.file ("out")) + "' --denoise false";
    auto r = runProcess ("/bin/sh", { "-c", command });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_EQ (r.out, summary (2, 0));
    EXPECT_TRUE (tmp.file ("out/small.wav").existsAsFile());
    // Every sample written as 16 bits, behind the same header as the small file's.
    const auto headerBytes = tmp.file ("out/small.wav").getSize() - 48000 * 2;
    EXPECT_EQ (tmp.file ("out/big.wav").getSize(), headerBytes + (juce::int64) dataBytes);
    EXPECT_TRUE (tmp.file ("out").findChildFiles (juce::File::findDirectories, false, "_work_*").isEmpty());
}

// A log reader that went away (`2>&1 | head`, a job runner that stopped
// reading) leaves standard error a pipe with no reader: the batch still masters
// every file and prints its summary.
TEST (BatchExe, ClosedStandardErrorDoesNotStopTheBatch)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeInputs (in);
    const auto out = tmp.file ("out");
    hardening::ChildOptions options;
    options.stderrToClosedPipe = true;
    const auto r = hardening::Child (engineExecutable(),
                                     { "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false" },
                                     options)
                       .finish();

    EXPECT_EQ (r.exitCode, 0) << "128 + 13 is SIGPIPE";
    EXPECT_EQ (r.out, summary (4, 0));
    for (auto& input : mixedInputs)
        EXPECT_TRUE (readAudio (out.getChildFile (input.name)).ok) << input.name;
}

// Besides its outputs a run leaves the pre-filtered file and, with noise
// reduction on, one ASR feed per input in the output folder. A run where one of
// those would land on an output, an input or the report is refused before
// anything is written: the later write would replace the earlier, and both
// files would be reported mastered. Names are compared without regard to case,
// as the listing compares them.
TEST (BatchExe, NameClashesWithTheFilesWrittenBesideTheOutputsAreRefused)
{
    TempFolder tmp;
    const auto clash = tmp.file ("clash");      // an earlier output folder used as input
    const auto upper = tmp.file ("upper");
    const auto single = tmp.file ("single");
    const auto shared = tmp.file ("shared");    // input and output in one folder
    for (auto& [folder, names] : std::vector<std::pair<juce::File, std::vector<const char*>>> {
             { clash, { "X.wav", "X_asr_feed.wav" } },
             { upper, { "X.wav", "x_ASR_Feed.wav" } },
             { single, { "take.wav" } },
             { shared, { "_stage0_prefiltered.wav" } } })
    {
        folder.createDirectory();
        int seed = 3;
        for (auto* name : names)
            writeWav (folder.getChildFile (name), speechLike (1, 24000, 48000.0, seed++), 48000.0);
    }
    const auto take = single.getChildFile ("take.wav");
    const auto out = tmp.file ("out");
    const auto at = [&] (const char* name) { return path (out.getChildFile (name)); };

    struct Case
    {
        const char* label;
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string feedOfX = "ERROR: Output file has the name of the ASR feed of X.wav; both would be written to one file: ";
    const std::string prefiltered = "ERROR: Output file has the name of the pre-filtered file written beside it; "
                                    "the output would be replaced by it: ";
    const std::string reportClash = "ERROR: Report file has the name of a file written beside the outputs; "
                                    "the report would be replaced by a WAV file: ";
    const std::vector<Case> cases {
        { "an input's feed onto another input's output", { "--input-dir", path (clash), "--output-dir", path (out) },
          feedOfX + at ("X_asr_feed.wav") },
        { "the same in other letter case", { "--input-dir", path (upper), "--output-dir", path (out) },
          feedOfX + at ("x_ASR_Feed.wav") },
        { "the input's own feed", { "--input", path (take), "--output", at ("take_asr_feed.wav") },
          "ERROR: Output file has the name of the ASR feed of take.wav; both would be written to one file: "
              + at ("take_asr_feed.wav") },
        { "the pre-filtered file", { "--input", path (take), "--output", at ("_stage0_prefiltered.wav") },
          prefiltered + at ("_stage0_prefiltered.wav") },
        { "the pre-filtered file in other letter case", { "--input", path (take), "--output", at ("_STAGE0_Prefiltered.WAV") },
          prefiltered + at ("_STAGE0_Prefiltered.WAV") },
        { "the pre-filtered file, batch of one", { "--input-dir", path (single), "--output", at ("_stage0_prefiltered.wav") },
          prefiltered + at ("_stage0_prefiltered.wav") },
        { "another intermediate file", { "--input", path (take), "--output", at ("_df3_resampled_48k.wav"), "--denoise", "false" },
          "ERROR: Output file has the name of an intermediate file of the run: " + at ("_df3_resampled_48k.wav") },
        { "an input the pre-filtered file would replace",
          { "--input", path (shared.getChildFile ("_stage0_prefiltered.wav")), "--output", path (shared.getChildFile ("m.wav")),
            "--denoise", "false" },
          "ERROR: Input file has the name of a file written beside the output; the input would be replaced: "
              + path (shared.getChildFile ("_stage0_prefiltered.wav")) },
        { "report named like the pre-filtered file",
          { "--input-dir", path (single), "--output-dir", path (out), "--denoise", "false", "--report", at ("_stage0_prefiltered.wav") },
          reportClash + at ("_stage0_prefiltered.wav") },
        { "report named like a feed",
          { "--input", path (take), "--output", at ("take.wav"), "--report", at ("TAKE_asr_feed.wav") },
          reportClash + at ("TAKE_asr_feed.wav") },
    };

    std::map<std::string, juce::MemoryBlock> before;
    for (auto& folder : { clash, upper, single, shared })
        for (auto& f : folder.findChildFiles (juce::File::findFiles, false))
            before[path (f)] = bytesOf (f);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        auto r = runEngineExe (c.arguments);
        EXPECT_EQ (r.exitCode, 1);
        EXPECT_EQ (r.out, "");
        EXPECT_EQ (r.err, c.message + "\nRun with --help for usage information.\n");
        EXPECT_FALSE (out.exists()) << "a refused run creates nothing";
    }
    for (auto& [name, bytes] : before)
        EXPECT_EQ (bytesOf (juce::File (name)), bytes) << name;
    EXPECT_EQ (shared.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1);

    // Without noise reduction no feed is written, and the same names are fine.
    auto both = runEngineExe ({ "--input-dir", path (clash), "--output-dir", path (out), "--denoise", "false" });
    EXPECT_EQ (both.exitCode, 0) << both.err;
    EXPECT_EQ (both.out, summary (2, 0));
    for (auto* name : { "X.wav", "X_asr_feed.wav" })
    {
        const auto written = readAudio (out.getChildFile (name));
        ASSERT_TRUE (written.ok) << name;
        EXPECT_EQ (written.buffer.getNumSamples(), 24000) << name;
        EXPECT_NEAR (toDb (peakOf (written.buffer)), -5.5, 0.05) << name << " is mastered";
    }
    auto own = runEngineExe ({ "--input", path (take), "--output", path (tmp.file ("out2/take_asr_feed.wav")), "--denoise", "false" });
    EXPECT_EQ (own.exitCode, 0) << own.err;
    EXPECT_TRUE (tmp.file ("out2/take_asr_feed.wav").existsAsFile());
}

namespace
{
// The pid a fake tool wrote into a file, once it is there (0 when it never came).
pid_t pidWrittenTo (const juce::File& file)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (60);
    while (std::chrono::steady_clock::now() < deadline)
    {
        const auto text = file.loadFileAsString();
        if (text.endsWithChar ('\n'))
            return (pid_t) text.trim().getIntValue();
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }
    return 0;
}

// Kills what a failed test leaves running.
struct KillAtEnd
{
    std::vector<pid_t> pids;
    ~KillAtEnd()
    {
        for (auto pid : pids)
            if (pid > 0)
                ::kill (pid, SIGKILL);
    }
};
} // namespace

// Stopped by a signal while the denoiser works, the run ends the denoiser and
// what the denoiser started before it ends itself: nothing of the run goes on
// working on files that are being removed.
TEST (BatchExe, InterruptedRunStopsTheDenoiserAndWhatItStarted)
{
    for (const int signalNumber : { SIGTERM, SIGINT, SIGHUP })
    {
        SCOPED_TRACE (strsignal (signalNumber));
        TempFolder tmp;
        const auto input = tmp.file ("in/voice.wav");
        input.getParentDirectory().createDirectory();
        writeWav (input, speechLike (1, 24000, 48000.0, 5), 48000.0);
        const auto denoiserPid = tmp.file ("denoiser.pid");
        const auto helperPid = tmp.file ("helper.pid");
        const auto denoiser = writeScript (tmp.file ("slow denoiser.sh"),
                                           "sleep 600 &\n"
                                           "echo $! > " + shellQuote (helperPid.getFullPathName()) + "\n"
                                           "echo $$ > " + shellQuote (denoiserPid.getFullPathName()) + "\n"
                                           "wait\n");

        hardening::Child run (engineExecutable(), { "--input", path (input), "--output", path (tmp.file ("out/voice.wav")),
                                                    "--deepfilter-path", path (denoiser) });
        KillAtEnd leftovers;
        leftovers.pids = { pidWrittenTo (helperPid), pidWrittenTo (denoiserPid) };
        ASSERT_GT (leftovers.pids[0], 0) << "the denoiser never started";
        ASSERT_GT (leftovers.pids[1], 0) << "the denoiser never started";
        ASSERT_EQ (::kill (run.id(), signalNumber), 0);
        const auto r = run.finish();

        EXPECT_EQ (r.exitCode, 128 + signalNumber) << r.err;
        EXPECT_EQ (r.out, "");
        EXPECT_TRUE (r.errContains ("[System] Interrupted: removed 1 unfinished file(s) and work folder(s).")) << r.err;
        EXPECT_TRUE (endsSoon (leftovers.pids[1])) << "the denoiser runs on after the run has ended";
        EXPECT_TRUE (endsSoon (leftovers.pids[0])) << "what the denoiser started runs on after the run has ended";
        EXPECT_TRUE (hardening::workFolders (tmp.file ("out")).empty());
    }
}

// A denoiser that finishes its work but leaves a process behind that holds its
// output open (a helper it started in the background) does not hold the run:
// the file is mastered with the denoiser's result, and the helper is stopped.
TEST (BatchExe, AProcessLeftHoldingTheDenoisersOutputDoesNotHoldTheRun)
{
    TempFolder tmp;
    const auto input = tmp.file ("in/voice.wav");
    input.getParentDirectory().createDirectory();
    writeWav (input, speechLike (1, 24000, 48000.0, 5), 48000.0);
    const auto helperPid = tmp.file ("helper.pid");
    const auto denoiser = writeScript (tmp.file ("denoiser.sh"),
                                       "in=\"$1\"; dir=\"$3\"; base=$(basename \"$in\"); stem=\"${base%.*}\"\n"
                                       "cp \"$in\" \"$dir/${stem}_DeepFilterNet3.wav\"\n"
                                       "sleep 60 &\n"
                                       "echo $! > " + shellQuote (helperPid.getFullPathName()) + "\n"
                                       "echo denoised\n"
                                       "exit 0\n");

    // The helper would hold the run for a minute; `timeout` ends it after 30 s with 124.
    auto r = runProcess ("/usr/bin/timeout", { "30", engineExecutable(), "--input", path (input), "--output",
                                               path (tmp.file ("out/voice.wav")), "--deepfilter-path", path (denoiser) });
    KillAtEnd leftovers { { pidWrittenTo (helperPid) } };

    EXPECT_EQ (r.exitCode, 0) << (r.exitCode == 124 ? "the run was still waiting after 30 s" : r.err);
    EXPECT_EQ (r.out, summary (1, 0));
    EXPECT_TRUE (r.errContains ("[SubprocessRunner] Output: denoised\n")) << r.err;
    EXPECT_TRUE (r.errContains ("[AudioPipeline] Denoise complete. Engine: DeepFilterNet3\n")) << r.err;
    EXPECT_TRUE (readAudio (tmp.file ("out/voice.wav")).ok);
    ASSERT_GT (leftovers.pids[0], 0);
    EXPECT_TRUE (endsSoon (leftovers.pids[0])) << "the helper outlives the run";
}
