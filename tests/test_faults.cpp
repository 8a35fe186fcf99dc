// Faults of the machine rather than of the input: an output folder the run may
// not write, a disk that fills up, a run killed halfway, and a folder of
// hundreds of files on several workers. Each must leave the inputs as they were
// and no output half-written, and must count every file right.
#include "app/BatchRunner.h"
#include "support/ExternalTools.h"
#include "support/Hardening.h"
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <sys/stat.h>
#include <thread>

using namespace tessaloom;

using namespace testing_support;
using namespace hardening;

namespace
{
std::string path (const juce::File& f) { return f.getFullPathName().toStdString(); }

void writeTakes (const juce::File& folder, int count, int frames, double rate, int channels = 1)
{
    folder.createDirectory();
    for (int i = 0; i < count; ++i)
        writeWav (folder.getChildFile ("take " + juce::String (i).paddedLeft ('0', 3) + ".wav"),
                  speechLike (channels, frames, rate, 50 + i), rate);
}

// An output is whole when it reads back as 16-bit audio of the input's length
// and its WAV header accounts for every byte of the file.
void expectWholeOutput (const juce::File& output, const juce::File& input)
{
    const auto in = readAudio (input);
    const auto out = readAudio (output);
    ASSERT_TRUE (out.ok) << path (output);
    EXPECT_EQ (out.bitsPerSample, 16) << path (output);
    EXPECT_EQ (out.buffer.getNumSamples(), in.buffer.getNumSamples()) << path (output);
    EXPECT_EQ (out.buffer.getNumChannels(), in.buffer.getNumChannels()) << path (output);
    const auto bytes = readBytes (output);
    ASSERT_GE (bytes.size(), 44u);
    const std::uint32_t riff = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | (std::uint32_t) bytes[7] << 24;
    EXPECT_EQ ((std::size_t) riff + 8, bytes.size()) << path (output);
}

// The engine run without the capabilities that let root ignore file modes, so a
// read-only folder is read-only for it too. Empty when that is not possible here.
std::vector<std::string> withoutRootOverride (const std::vector<std::string>& arguments)
{
    if (geteuid() != 0)
    {
        std::vector<std::string> direct { engineExecutable() };
        direct.insert (direct.end(), arguments.begin(), arguments.end());
        return direct;
    }
    if (! juce::File ("/usr/bin/setpriv").existsAsFile())
        return {};
    std::vector<std::string> args { "/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search",
                                    "--inh-caps", "-dac_override,-dac_read_search", engineExecutable() };
    args.insert (args.end(), arguments.begin(), arguments.end());
    return args;
}

// Collects nothing; the load test only counts error lines.
class CountingLogger : public juce::Logger
{
public:
    std::atomic<int> errors { 0 };
    std::atomic<int> lines { 0 };

protected:
    void logMessage (const juce::String& message) override
    {
        ++lines;
        if (message.startsWith ("[Error]"))
            ++errors;
    }
};

long peakRssKb()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
} // namespace

TEST (Faults, ReadOnlyOutputFolderFailsEveryFileAndWritesNothing)
{
    struct Case
    {
        const char* label;
        bool batch;
        bool outputFolderExists; // false: it must be made inside a read-only folder
    };
    const Case cases[] = {
        { "batch into a read-only folder", true, true },
        { "batch into a folder to be made in a read-only one", true, false },
        { "single file into a read-only folder", false, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto in = tmp.file ("in");
        writeTakes (in, 3, 12000, 48000.0);
        const auto locked = tmp.file ("locked");
        locked.createDirectory();
        const auto out = c.outputFolderExists ? locked : locked.getChildFile ("out");
        const auto before = snapshot (in);
        ASSERT_EQ (chmod (path (locked).c_str(), 0555), 0);

        const auto command = withoutRootOverride (
            c.batch ? std::vector<std::string> { "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false" }
                    : std::vector<std::string> { "--input", path (in.getChildFile ("take 000.wav")), "--output",
                                                 path (out.getChildFile ("take 000.wav")), "--denoise", "false" });
        if (command.empty())
            GTEST_SKIP() << "running as root without setpriv: a read-only folder cannot be made to bite";

        const auto r = runChild (command.front(), { command.begin() + 1, command.end() });
        chmod (path (locked).c_str(), 0755);

        const int files = c.batch ? 3 : 1;
        EXPECT_EQ (r.exitCode, 2) << r.err;
        EXPECT_EQ (r.out, summaryLine (0, files)) << r.err;
        EXPECT_TRUE (r.errContains ("[Error] Failed processing take 000.wav: Failed to create output file: ")) << r.err;
        EXPECT_TRUE (snapshot (in) == before);
        EXPECT_TRUE (locked.findChildFiles (juce::File::findFilesAndDirectories, true, "*").isEmpty());
    }
}

TEST (Faults, FullDiskFailsTheFileThatDoesNotFitAndTheRunGoesOn)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    writeTakes (in, 3, 24000, 48000.0); // 48 kB outputs
    writeWav (in.getChildFile ("long take.wav"), speechLike (2, 48000 * 4, 48000.0, 9), 48000.0); // a 768 kB output
    const auto out = tmp.file ("out");
    const auto before = snapshot (in);

    ChildOptions limits;
    limits.fileSizeLimitBytes = 300 * 1024;
    const auto r = runChild (engineExecutable(),
                             { "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false" }, limits);

    EXPECT_EQ (r.exitCode, 2) << r.err;
    EXPECT_EQ (r.out, summaryLine (3, 1)) << r.err;
    // The pre-filtered intermediate is the first file the long take fills.
    EXPECT_TRUE (r.errContains ("[Error] Failed processing long take.wav: Pre-filter failed: Failed to write output file: ")) << r.err;
    EXPECT_TRUE (snapshot (in) == before);
    EXPECT_FALSE (out.getChildFile ("long take.wav").exists());
    EXPECT_TRUE (partialFiles (out).empty()) << partialFiles (out).front();
    for (int i = 0; i < 3; ++i)
    {
        const auto name = "take " + juce::String (i).paddedLeft ('0', 3) + ".wav";
        expectWholeOutput (out.getChildFile (name), in.getChildFile (name));
    }
}

TEST (Faults, KilledMidBatchLeavesNoHalfOutputAndARerunCompletes)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    const int files = 12;
    writeTakes (in, files, 48000 * 3, 48000.0, 2);
    const auto out = tmp.file ("out");
    const auto before = snapshot (in);
    const std::vector<std::string> args { "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false" };

    auto outputsIn = [&]
    {
        int n = 0;
        for (auto& f : out.findChildFiles (juce::File::findFiles, false, "take *.wav"))
            n += f.existsAsFile() ? 1 : 0;
        return n;
    };

    // Three kills at different moments (each run starts the batch over), so one
    // of them is likely to land in the middle of a write.
    for (int round = 0; round < 3; ++round)
    {
        SCOPED_TRACE ("kill " + std::to_string (round + 1));
        {
            Child run (engineExecutable(), args);
            const int target = outputsIn() + 1;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (120);
            while (outputsIn() < target && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for (std::chrono::milliseconds (2));
            std::this_thread::sleep_for (std::chrono::milliseconds (9 * round));
            ASSERT_EQ (kill (run.id(), SIGKILL), 0);
            const auto r = run.finish();
            EXPECT_EQ (r.exitCode, 128 + SIGKILL);
            EXPECT_EQ (r.out, "") << "killed before the summary";
        }

        EXPECT_TRUE (snapshot (in) == before);
        for (auto& f : out.findChildFiles (juce::File::findFiles, false, "take *.wav"))
            expectWholeOutput (f, in.getChildFile (f.getFileName()));
        std::cout << "[ killed   ] " << outputsIn() << " of " << files << " outputs done, " << partialFiles (out).size()
                  << " temporary files and " << workFolders (out).size() << " work folders left so far\n";
    }
    EXPECT_LT (outputsIn(), files) << "the kills came too late to test anything";

    const auto r = runChild (engineExecutable(), args);
    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_EQ (r.out, summaryLine (files, 0));
    EXPECT_TRUE (snapshot (in) == before);
    for (auto& f : in.findChildFiles (juce::File::findFiles, false, "*.wav"))
        expectWholeOutput (out.getChildFile (f.getFileName()), f);
}

// Stopped with SIGTERM (or Ctrl-C) while the denoiser works, the run takes away
// the work folders and temporaries of the files it had not finished, then ends
// by the signal as before. What it had finished stays, and the inputs are as
// they were.
TEST (Faults, InterruptedRunRemovesItsUnfinishedFiles)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    writeTakes (in, 3, 48000, 48000.0, 1);
    const auto out = tmp.file ("out");
    const auto before = snapshot (in);
    // A denoiser that takes its time, so that the stop lands inside its work.
    const auto slowDenoiser = writeScript (tmp.file ("slow denoiser.sh"),
                                           "sleep 2\n"
                                           "in=\"$1\"; dir=\"$3\"; base=$(basename \"$in\"); stem=\"${base%.*}\"\n"
                                           "cp \"$in\" \"$dir/${stem}_DeepFilterNet3.wav\"");

    Child run (engineExecutable(), { "--input-dir", path (in), "--output-dir", path (out), "--deepfilter-path",
                                     path (slowDenoiser), "--ffmpeg-path", "/usr/bin/ffmpeg" });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (60);
    while (workFolders (out).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    ASSERT_FALSE (workFolders (out).empty()) << "the run never started a file";
    std::this_thread::sleep_for (std::chrono::milliseconds (300));
    ASSERT_EQ (kill (run.id(), SIGTERM), 0);
    const auto r = run.finish();

    EXPECT_EQ (r.exitCode, 128 + SIGTERM) << r.err;
    EXPECT_EQ (r.out, "") << "stopped before the summary";
    EXPECT_TRUE (r.errContains ("[System] Interrupted: removed ")) << r.err;
    EXPECT_TRUE (workFolders (out).empty()) << workFolders (out).front();
    EXPECT_TRUE (partialFiles (out).empty()) << partialFiles (out).front();
    EXPECT_TRUE (snapshot (in) == before);
    for (auto& f : out.findChildFiles (juce::File::findFiles, false, "take *.wav"))
        expectWholeOutput (f, in.getChildFile (f.getFileName()));
}

TEST (Faults, LoadOfFiveHundredFilesOnFourWorkers)
{
    const int warmUpFiles = 100;
    const int files = 500;
    const double rate = 16000.0;
    const int frames = 3200; // 0.2 s

    TempFolder tmp;
    writeTakes (tmp.file ("warm"), warmUpFiles, frames, rate);
    writeTakes (tmp.file ("in"), files, frames, rate);
    const auto before = snapshot (tmp.file ("in"));

    CountingLogger logger;
    juce::Logger::setCurrentLogger (&logger);

    auto run = [&] (const juce::File& in, const juce::File& out)
    {
        CommandLineOptions options;
        options.inputDir = in;
        options.outputDir = out;
        options.config.denoise = false;
        options.isValid = true;
        testing::internal::CaptureStdout();
        const int exitCode = runBatch (options, 4);
        return std::make_pair (exitCode, testing::internal::GetCapturedStdout());
    };

    const auto warm = run (tmp.file ("warm"), tmp.file ("warm out"));
    const long peakAfterWarmUp = peakRssKb();
    const auto start = std::chrono::steady_clock::now();
    const auto load = run (tmp.file ("in"), tmp.file ("out"));
    const double seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
    const long peakAfterLoad = peakRssKb();
    juce::Logger::setCurrentLogger (nullptr);

    EXPECT_EQ (warm.first, 0);
    EXPECT_EQ (load.first, 0);
    EXPECT_EQ (load.second, summaryLine (files, 0));
    EXPECT_EQ (logger.errors.load(), 0);
    EXPECT_TRUE (snapshot (tmp.file ("in")) == before);

    const auto out = tmp.file ("out");
    EXPECT_TRUE (workFolders (out).empty()) << workFolders (out).front();
    EXPECT_TRUE (partialFiles (out).empty()) << partialFiles (out).front();
    EXPECT_EQ (out.findChildFiles (juce::File::findFiles, false, "take *.wav").size(), files);

    // Every output: the input's layout and length at the trimmed peak of -5.5 dBFS.
    const float trimmedPeak = juce::Decibels::decibelsToGain (-5.5f);
    for (int i = 0; i < files; ++i)
    {
        const auto name = "take " + juce::String (i).paddedLeft ('0', 3) + ".wav";
        const auto o = readAudio (out.getChildFile (name));
        ASSERT_TRUE (o.ok) << name;
        ASSERT_EQ (o.bitsPerSample, 16) << name;
        ASSERT_EQ (o.sampleRate, rate) << name;
        ASSERT_EQ (o.buffer.getNumChannels(), 1) << name;
        ASSERT_EQ (o.buffer.getNumSamples(), frames) << name;
        ASSERT_NEAR (peakOf (o.buffer), trimmedPeak, 2.0f / 32768.0f) << name;
    }

    // Memory flat in the number of files: five times the files after the
    // warm-up raise the high-water mark by no more than noise.
    EXPECT_LE (peakAfterLoad - peakAfterWarmUp, 16 * 1024 + addressSanitizerQuarantineKb + sanitizerSlackKb / 8)
        << "peak " << peakAfterWarmUp << " KiB after " << warmUpFiles << " files, " << peakAfterLoad << " KiB after "
        << files << " more";
    std::cout << "[ load     ] " << files << " files on 4 workers in " << seconds << " s ("
              << files / seconds << " files/s); peak RSS " << peakAfterWarmUp << " KiB after " << warmUpFiles
              << " files, " << peakAfterLoad << " KiB after " << files << " more\n";
}
