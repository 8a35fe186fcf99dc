// Faults at the edges of a run: targets that are not regular
// files (devices, pipes, links, folders), name clashes the listing let through,
// two runs into one folder, a stop between an output's rename and its report
// line, a report page's folder that cannot take a file, and the small things
// around them. Each case is the smallest fixture that shows it.
#include "support/ExternalTools.h"
#include "support/Hardening.h"
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

using namespace tessaloom;

using namespace testing_support;
using namespace hardening;

namespace
{
std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

mode_t typeAt (const juce::File& f)
{
    struct stat info {};
    return ::lstat (f.getFullPathName().toRawUTF8(), &info) == 0 ? (info.st_mode & S_IFMT) : 0;
}

// A character device like /dev/null, made in the test's own folder.
bool makeNullDevice (const juce::File& f)
{
    return ::mknod (f.getFullPathName().toRawUTF8(), S_IFCHR | 0666, makedev (1, 3)) == 0;
}

bool makeFifo (const juce::File& f)
{
    return ::mkfifo (f.getFullPathName().toRawUTF8(), 0666) == 0;
}

bool makeLink (const juce::File& link, const juce::File& target)
{
    return ::symlink (target.getFullPathName().toRawUTF8(), link.getFullPathName().toRawUTF8()) == 0;
}

void writeVoice (const juce::File& f, double seconds = 1.0, double rate = 16000.0)
{
    f.getParentDirectory().createDirectory();
    writeWav (f, speechLike (1, (int) (seconds * rate), rate, 11), rate);
}

// A denoiser that takes its time, then passes the audio through.
juce::File slowDenoiser (const juce::File& folder, double seconds)
{
    return writeScript (folder.getChildFile ("slow denoiser.sh"),
                        "in=\"$1\"; dir=\"$3\"; base=\"${in##*/}\"; stem=\"${base%.*}\"\n"
                        "sleep " + juce::String (seconds, 1) + "\n"
                        "cp \"$in\" \"$dir/${stem}_DeepFilterNet3.wav\"\n");
}

bool waitFor (const std::function<bool()>& condition, double seconds = 30.0)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double> (seconds);
    while (! condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }
    return true;
}

bool holdsWorkFolder (const juce::File& folder)
{
    for (const auto& name : namesIn (folder))
        if (name.startsWith ("_work_"))
            return true;
    return false;
}
} // namespace

// ---- Refused before anything runs ---------------------------------------------
// Each fixture sets up what lies at a target (or beside it) and returns the
// arguments; the run must end with exit 1 and the ERROR line, create no output,
// and leave the fixture as it was.
struct RefusedCase
{
    const char* name;
    // Builds the fixture in the folder; returns the run's arguments (input included).
    std::function<std::vector<std::string> (const juce::File& tmp)> setUp;
    const char* message; // the ERROR line up to the path
    const char* namedPath; // relative to the temp folder: the path the message names
    // What must still be there, of which type, afterwards (relative), 0 for nothing to check.
    const char* kept;
    mode_t keptType;
    const char* afterPath = ""; // what the message says after the path
};

void PrintTo (const RefusedCase& c, std::ostream* os)
{
    *os << c.name;
}

class Refused : public ::testing::TestWithParam<RefusedCase>
{
};

TEST_P (Refused, BeforeAnythingRunsNamingWhatIsInTheWay)
{
    const auto& c = GetParam();
    TempFolder tmp;
    auto arguments = c.setUp (tmp.path());
    if (arguments.empty())
        GTEST_SKIP() << "this system lets the test make no " << c.name;
    const auto before = namesIn (tmp.path());

    const auto r = runEngineExe (arguments);

    EXPECT_EQ (r.exitCode, 1) << r.err;
    const auto expected = std::string ("ERROR: ") + c.message + path (tmp.file (c.namedPath)) + c.afterPath + "\n";
    EXPECT_EQ (r.err.substr (0, expected.size()), expected) << r.err;
    EXPECT_EQ (r.out, "");
    EXPECT_EQ (namesIn (tmp.path()), before) << "nothing is created by a refused run";
    if (c.kept != nullptr)
    {
        EXPECT_EQ (typeAt (tmp.file (c.kept)), c.keptType) << c.kept << " was replaced";
    }
}

namespace
{
std::vector<std::string> single (const juce::File& tmp, const char* output, std::vector<std::string> more = {})
{
    writeVoice (tmp.getChildFile ("in/voice.wav"));
    std::vector<std::string> a { "--input", path (tmp.getChildFile ("in/voice.wav")), "--output",
                                 path (tmp.getChildFile (output)), "--denoise", "false" };
    a.insert (a.end(), more.begin(), more.end());
    return a;
}

std::vector<std::string> folderRun (const juce::File& tmp, std::vector<std::string> more = {})
{
    writeVoice (tmp.getChildFile ("in/voice.wav"));
    std::vector<std::string> a { "--input-dir", path (tmp.getChildFile ("in")), "--output-dir",
                                 path (tmp.getChildFile ("out")), "--denoise", "false" };
    a.insert (a.end(), more.begin(), more.end());
    return a;
}

const RefusedCase refusedCases[] = {
    // Targets that are not regular files: the rename would swap them for one.
    { "device", [] (const juce::File& t)
      { return makeNullDevice (t.getChildFile ("null")) ? single (t, "null") : std::vector<std::string> {}; },
      "Output file is a device, not a file; it would be replaced: ", "null", "null", S_IFCHR },
    { "named pipe", [] (const juce::File& t)
      { return makeFifo (t.getChildFile ("pipe.wav")) ? single (t, "pipe.wav") : std::vector<std::string> {}; },
      "Output file is a named pipe, not a file; it would be replaced: ", "pipe.wav", "pipe.wav", S_IFIFO },
    { "link", [] (const juce::File& t)
      {
          t.getChildFile ("kept.wav").replaceWithText ("a file the link points to");
          return makeLink (t.getChildFile ("latest.wav"), t.getChildFile ("kept.wav")) ? single (t, "latest.wav")
                                                                                      : std::vector<std::string> {};
      },
      "Output file is a symbolic link, not a file; it would be replaced: ", "latest.wav", "latest.wav", S_IFLNK },
    { "folder", [] (const juce::File& t)
      {
          t.getChildFile ("take.wav").createDirectory();
          return single (t, "take.wav");
      },
      "Output file is a folder, not a file; it would be replaced: ", "take.wav", "take.wav", S_IFDIR },
    { "link among a folder run's outputs", [] (const juce::File& t)
      {
          t.getChildFile ("out").createDirectory();
          t.getChildFile ("elsewhere.wav").replaceWithText ("not to be replaced");
          return makeLink (t.getChildFile ("out/voice.wav"), t.getChildFile ("elsewhere.wav")) ? folderRun (t)
                                                                                                : std::vector<std::string> {};
      },
      "Output file is a symbolic link, not a file; it would be replaced: ", "out/voice.wav", "out/voice.wav", S_IFLNK },
    { "link as the report page", [] (const juce::File& t)
      {
          t.getChildFile ("old page.html").replaceWithText ("<p>last week's page</p>");
          return makeLink (t.getChildFile ("page.html"), t.getChildFile ("old page.html"))
                     ? single (t, "out/voice.wav", { "--report-html", path (t.getChildFile ("page.html")) })
                     : std::vector<std::string> {};
      },
      "Report page is a symbolic link; the page would replace the link, not what it points to: ", "page.html",
      "page.html", S_IFLNK },
    // The pre-filtered copy's place is taken by a folder: it would silently not be written.
    { "folder at the pre-filtered file's name", [] (const juce::File& t)
      {
          t.getChildFile ("out/_stage0_prefiltered.wav").createDirectory();
          return folderRun (t);
      },
      "The place of a file written beside the outputs is taken by a folder: ", "out/_stage0_prefiltered.wav",
      "out/_stage0_prefiltered.wav", S_IFDIR },
    // The lock file of the run lives in the output folder while the run goes on.
    { "report named as the lock file", [] (const juce::File& t)
      { return folderRun (t, { "--report", path (t.getChildFile ("out/.tessaloom-engine.lock")) }); },
      "Report file has the name of the run's lock file: ", "out/.tessaloom-engine.lock", nullptr, 0 },
    // a.wav and a.WAV: one feed name, a_asr_feed.wav.
    { "two inputs with one feed", [] (const juce::File& t)
      {
          writeVoice (t.getChildFile ("in/a.WAV"), 2.0);
          auto a = folderRun (t);
          writeVoice (t.getChildFile ("in/a.wav"), 1.0);
          a.erase (a.end() - 2, a.end()); // denoise on
          a.insert (a.end(), { "--deepfilter-path", "/bin/false" });
          return a;
      },
      "Input files a.WAV and a.wav have one ASR feed; both would be written to one file: ", "out/a_asr_feed.wav",
      nullptr, 0 },
    // A path ending in a separator names a folder.
    { "output path ending in a separator", [] (const juce::File& t)
      {
          auto a = single (t, "x");
          a[3] = path (t.getChildFile ("newd")) + "/";
          return a;
      },
      "Invalid value for argument: --output (a path ending with / names a folder, not a file): ", "newd", nullptr, 0,
      "/" },
};

std::string caseName (const ::testing::TestParamInfo<RefusedCase>& info)
{
    std::string name;
    for (const char* p = info.param.name; *p != 0; ++p)
        name += std::isalnum ((unsigned char) *p) ? *p : '_';
    return name;
}
} // namespace

INSTANTIATE_TEST_SUITE_P (TargetsAndNames, Refused, ::testing::ValuesIn (refusedCases), caseName);

// ---- Written through -----------------------------------------------------------
// The page to a device or a pipe is what the user means: it goes through them,
// and they stay what they were.
struct ThroughCase
{
    const char* name;
    bool fifo;   // else a device
    bool viaLink; // reached through a link, as /dev/stdout
};

void PrintTo (const ThroughCase& c, std::ostream* os)
{
    *os << c.name << (c.viaLink ? " through a link" : "");
}

class PageWrittenThrough : public ::testing::TestWithParam<ThroughCase>
{
};

TEST_P (PageWrittenThrough, AndLeftInPlace)
{
    const auto& c = GetParam();
    TempFolder tmp;
    const auto node = tmp.file (c.fifo ? "page fifo" : "null");
    if (! (c.fifo ? makeFifo (node) : makeNullDevice (node)))
        GTEST_SKIP() << "no " << c.name << " can be made here";
    const auto page = c.viaLink ? tmp.file ("page.html") : node;
    if (c.viaLink)
    {
        ASSERT_TRUE (makeLink (page, node));
    }
    writeVoice (tmp.file ("in/voice.wav"));

    // The pipe's reader: opened without waiting for a writer (a run that never
    // opens the pipe must not hold the test), it reads until the run has ended.
    std::string read;
    std::atomic<bool> ended { false };
    std::thread reader;
    if (c.fifo)
        reader = std::thread ([&]
        {
            const int fd = ::open (path (node).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            for (bool last = false; fd >= 0;)
            {
                last = ended.load();
                pollfd p { fd, POLLIN, 0 };
                ::poll (&p, 1, 50);
                char bytes[65536];
                ssize_t n = 0;
                while ((n = ::read (fd, bytes, sizeof (bytes))) > 0)
                    read.append (bytes, (size_t) n);
                if (last)
                    break;
            }
            if (fd >= 0)
                ::close (fd);
        });
    const auto r = runEngineExe ({ "--input", path (tmp.file ("in/voice.wav")), "--output", path (tmp.file ("out/voice.wav")),
                                   "--denoise", "false", "--report-html", path (page) });
    ended = true;
    if (reader.joinable())
        reader.join();

    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_TRUE (r.errContains ("[System] Report page written: " + path (page) + "\n")) << r.err;
    EXPECT_EQ (typeAt (node), c.fifo ? S_IFIFO : S_IFCHR);
    if (c.viaLink)
    {
        EXPECT_EQ (typeAt (page), S_IFLNK);
    }
    if (c.fifo)
    {
        EXPECT_NE (read.find ("</html>"), std::string::npos) << read.size() << " bytes came through";
    }
}

INSTANTIATE_TEST_SUITE_P (DeviceAndPipe, PageWrittenThrough,
                          ::testing::Values (ThroughCase { "device", false, false }, ThroughCase { "fifo", true, false },
                                             ThroughCase { "fifo", true, true }),
                          [] (const auto& info)
                          { return std::string (info.param.name) + (info.param.viaLink ? "ThroughALink" : ""); });

// ---- A report page's folder that takes no file ---------------------------------------
// Root passes every permission check; the engine here runs as root without the
// capability that overrides file modes, as a root on a read-only mount would.
TEST (PageFolder, ThatTakesNoFileIsRefusedBeforeTheBatch)
{
    if (geteuid() != 0 || ! juce::File ("/usr/bin/setpriv").existsAsFile())
        GTEST_SKIP() << "needs root and setpriv";
    TempFolder tmp;
    writeVoice (tmp.file ("in/voice.wav"));
    const auto locked = tmp.file ("locked");
    locked.createDirectory();
    ASSERT_EQ (::chmod (path (locked).c_str(), 0555), 0);
    const auto page = locked.getChildFile ("page.html");

    const auto r = runChild ("/usr/bin/setpriv",
                             { "--bounding-set", "-dac_override,-dac_read_search", "--inh-caps",
                               "-dac_override,-dac_read_search", engineExecutable(), "--input",
                               path (tmp.file ("in/voice.wav")), "--output", path (tmp.file ("out/voice.wav")),
                               "--denoise", "false", "--report-html", path (page) });
    ::chmod (path (locked).c_str(), 0755);

    EXPECT_EQ (r.exitCode, 1) << r.err;
    EXPECT_EQ (r.err, "ERROR: Failed to create report page: " + path (page) + "\n");
    EXPECT_FALSE (tmp.file ("out/voice.wav").exists()) << "nothing is mastered for a page that cannot be written";
    EXPECT_EQ (namesIn (locked), juce::StringArray());
}

// ---- A folder that does not exist ------------------------------------------------
TEST (InputFolder, ThatDoesNotExistIsSaidOnStandardErrorAndStillExitsZero)
{
    TempFolder tmp;
    const auto missing = tmp.file ("no such folder");
    const auto r = runEngineExe ({ "--input-dir", path (missing), "--output-dir", path (tmp.file ("out")) });
    EXPECT_EQ (r.exitCode, 0) << "as specified: no files is no failure";
    EXPECT_TRUE (r.errContains ("\n[System] WARNING: Input directory does not exist: " + path (missing) + "\n"
                                "[System] No files found to process.\n"))
        << r.err;
}

// ---- Two runs into one folder -----------------------------------------------------
// The second run writes the same names into the folder while the first works:
// refused, naming the folder, and the first is untouched. A second run with
// other names (a scale-out's jobs) goes on side by side.
struct SecondRunCase
{
    friend void PrintTo (const SecondRunCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    const char* secondInput; // file name in the second run's input folder
    bool refused;
    const char* taken = nullptr;          // the name the refusal gives, when not secondInput
    std::vector<std::string> secondOptions {}; // the second run's own options
    const char* written = nullptr;        // the second run's output, when not secondInput
};

class TwoRuns : public ::testing::TestWithParam<SecondRunCase>
{
};

TEST_P (TwoRuns, IntoOneFolder)
{
    const auto& c = GetParam();
    TempFolder tmp;
    writeVoice (tmp.file ("first/voice.wav"));
    const auto secondInput = tmp.file ("second/" + juce::String (c.secondInput));
    writeVoice (secondInput.withFileExtension ("wav"), 0.5);
    if (! secondInput.hasFileExtension ("wav")) // another format, made by FFmpeg
    {
        const auto wav = secondInput.withFileExtension ("wav");
        ASSERT_EQ (runProcess ("/usr/bin/ffmpeg", { "-v", "error", "-y", "-i", path (wav), path (secondInput) }).exitCode, 0);
        wav.deleteFile();
    }
    const auto out = tmp.file ("out");
    const auto denoiser = slowDenoiser (tmp.path(), 2.0);
    const auto run = [&] (const char* in, const char* report)
    {
        return std::vector<std::string> { "--input-dir", path (tmp.file (in)), "--output-dir", path (out),
                                          "--deepfilter-path", path (denoiser), "--ffmpeg-path", "/usr/bin/ffmpeg",
                                          "--report", path (tmp.file (report)) };
    };

    Child first (engineExecutable(), run ("first", "first.jsonl"));
    ASSERT_TRUE (waitFor ([&] { return holdsWorkFolder (out); })) << "the first run never started its file";
    auto secondArguments = run ("second", "second.jsonl");
    secondArguments.insert (secondArguments.end(), c.secondOptions.begin(), c.secondOptions.end());
    const auto second = runEngineExe (secondArguments);
    const auto firstRun = first.finish();

    EXPECT_EQ (firstRun.exitCode, 0) << firstRun.err;
    if (c.refused)
    {
        EXPECT_EQ (second.exitCode, 1) << second.err;
        EXPECT_EQ (second.err, "ERROR: Output directory is in use by another run that writes "
                                   + std::string (c.taken != nullptr ? c.taken : c.secondInput)
                                   + " there too: " + path (out) + "\n");
        EXPECT_FALSE (tmp.file ("second.jsonl").exists()) << "nothing is written by the refused run";
    }
    else
    {
        EXPECT_EQ (second.exitCode, 0) << second.err;
        EXPECT_TRUE (out.getChildFile (c.written != nullptr ? c.written : c.secondInput).existsAsFile());
    }
    EXPECT_EQ (tmp.file ("first.jsonl").loadFileAsString().contains ("\"success\":true"), true);
    EXPECT_FALSE (out.getChildFile (".tessaloom-engine.lock").exists()) << "the last run out takes its lock file away";
}

INSTANTIATE_TEST_SUITE_P (SameOrOtherNames, TwoRuns,
                          ::testing::Values (SecondRunCase { "SameName", "voice.wav", true },
                                             SecondRunCase { "SameNameOtherCase", "VOICE.wav", true },
                                             SecondRunCase { "OtherName", "other.wav", false },
                                             // The names are the outputs' names, not the inputs': voice.flac
                                             // is written to voice.wav, the first run's output ...
                                             SecondRunCase { "SameOutputFromAnotherFormat", "voice.flac", true, "voice.wav",
                                                             { "--all-formats", "--denoise", "false" } },
                                             // ... and voice.wav as MP3, alone, has none of the first run's names.
                                             SecondRunCase { "OtherOutputFromTheSameName", "voice.wav", false, nullptr,
                                                             { "--output-format", "mp3", "--outputs-only" }, "voice.mp3" }),
                          [] (const auto& info) { return std::string (info.param.name); });

// ---- Stopped between an output's rename and its report line -------------------------
// The output of a long file comes into place, then the run reads it back for the
// report: a stop the moment it lands must leave it with its line, or take it away.
TEST (StopAfterRename, LeavesNoOutputWithoutItsReportLine)
{
    TempFolder tmp;
    const auto input = tmp.file ("in/long.wav");
    input.getParentDirectory().createDirectory();
    writeWav (input, speechLike (2, 48000 * 240, 48000.0, 5), 48000.0);
    const auto out = tmp.file ("out");
    out.createDirectory();
    const auto report = tmp.file ("report.jsonl");

    const int watch = inotify_init1 (IN_CLOEXEC);
    ASSERT_GE (watch, 0);
    ASSERT_GE (inotify_add_watch (watch, path (out).c_str(), IN_MOVED_TO), 0);

    Child run (engineExecutable(), { "--input", path (input), "--output", path (out.getChildFile ("long.wav")),
                                     "--denoise", "false", "--report", path (report) });
    bool landed = false;
    while (! landed)
    {
        pollfd p { watch, POLLIN, 0 };
        ASSERT_EQ (::poll (&p, 1, 120000), 1) << "the output never came into place";
        alignas (inotify_event) char events[4096];
        const auto got = ::read (watch, events, sizeof (events));
        for (char* e = events; e < events + got; e += sizeof (inotify_event) + ((inotify_event*) e)->len)
            landed = landed || juce::String (((inotify_event*) e)->name) == "long.wav";
    }
    ::kill (run.id(), SIGTERM);
    ::close (watch);
    const auto r = run.finish();

    ASSERT_EQ (r.exitCode, 128 + SIGTERM) << "the run ended before the stop: " << r.err.substr (r.err.size() - 300);
    const bool hasLine = report.loadFileAsString().contains ("long.wav");
    EXPECT_EQ (out.getChildFile ("long.wav").existsAsFile(), hasLine)
        << "an output is on disk with its report line, or not at all";
}

// ---- Interrupts reach the engine however the suite was started -----------------------
// Run from a background job, the test process has SIGINT and SIGHUP ignored; the
// engine it starts must still get them at their defaults, so it stops on them.
TEST (Interrupts, ReachTheEngineWhenTheTestsRunWithThemIgnored)
{
    for (const int signalNumber : { SIGINT, SIGHUP })
    {
        SCOPED_TRACE (signalNumber);
        TempFolder tmp;
        writeVoice (tmp.file ("in/voice.wav"));
        const auto denoiser = slowDenoiser (tmp.path(), 20.0);
        const auto previous = std::signal (signalNumber, SIG_IGN);
        Child run (engineExecutable(), { "--input", path (tmp.file ("in/voice.wav")), "--output",
                                         path (tmp.file ("out/voice.wav")), "--deepfilter-path", path (denoiser),
                                         "--ffmpeg-path", "/usr/bin/ffmpeg" },
                   ChildOptions { -1, 60, {}, false });
        std::signal (signalNumber, previous);
        ASSERT_TRUE (waitFor ([&] { return holdsWorkFolder (tmp.file ("out")); }));
        ASSERT_EQ (::kill (run.id(), signalNumber), 0);
        const auto r = run.finish();
        EXPECT_EQ (r.exitCode, 128 + signalNumber) << r.err;
    }
}

// ---- File names are bytes ------------------------------------------------------------
// A Latin-1 name is no UTF-8: the file is still mastered, its output and feed
// written under the right bytes, and the report and the page name it so that
// it can be found again (\udcXX in the report, as Python's surrogateescape
// reads it back; \xXX on the page; U+FFFD in the log).
namespace
{
const std::string latin1Stem = "lat1\xe9t\xe9";

bool isFileNamed (const std::string& rawPath)
{
    struct stat info {};
    return ::lstat (rawPath.c_str(), &info) == 0 && S_ISREG (info.st_mode);
}

// Reads a file named in bytes by a valid name: a link to it.
LoadedAudio readByBytes (const std::string& rawPath, const juce::File& scratch)
{
    scratch.deleteFile();
    if (::symlink (rawPath.c_str(), path (scratch).c_str()) != 0)
        return {};
    return readAudio (scratch);
}
} // namespace

struct ByteNameCase
{
    const char* name;
    bool folderRun;
    friend void PrintTo (const ByteNameCase& c, std::ostream* os) { *os << c.name; }
};

class ByteNames : public ::testing::TestWithParam<ByteNameCase>
{
};

TEST_P (ByteNames, AreMasteredAndReportedSoTheFileCanBeFoundAgain)
{
    const auto& c = GetParam();
    TempFolder tmp;
    const auto in = path (tmp.file ("in")), out = path (tmp.file ("out"));
    tmp.file ("in").createDirectory();
    const auto rawInput = in + "/" + latin1Stem + ".wav";
    {
        const auto made = tmp.file ("made.wav");
        writeVoice (made, 1.0);
        ASSERT_EQ (std::rename (path (made).c_str(), rawInput.c_str()), 0);
    }
    const auto passThrough = writeScript (tmp.file ("denoiser.sh"),
                                          "in=\"$1\"; dir=\"$3\"; base=\"${in##*/}\"; stem=\"${base%.*}\"\n"
                                          "cp \"$in\" \"$dir/${stem}_DeepFilterNet3.wav\"\n");
    std::vector<std::string> arguments;
    if (c.folderRun)
    {
        writeVoice (tmp.file ("in/plain.wav"), 0.5);
        arguments = { "--input-dir", in, "--output-dir", out };
    }
    else
    {
        arguments = { "--input", rawInput, "--output", out + "/" + latin1Stem + ".wav" };
    }
    const auto report = tmp.file ("report.jsonl"), page = tmp.file ("page.html");
    arguments.insert (arguments.end(), { "--deepfilter-path", path (passThrough), "--ffmpeg-path", "/usr/bin/ffmpeg",
                                         "--report", path (report), "--report-html", path (page) });

    const auto r = runEngineExe (arguments);

    EXPECT_EQ (r.exitCode, 0) << r.err;
    const auto rawOutput = out + "/" + latin1Stem + ".wav";
    ASSERT_TRUE (isFileNamed (rawOutput)) << "no output under the input's own bytes; the folder holds: "
                                          << tmp.file ("out").findChildFiles (juce::File::findFilesAndDirectories, false).size()
                                          << " entries\n" << r.err;
    const auto written = readByBytes (rawOutput, tmp.file ("read.wav"));
    ASSERT_TRUE (written.ok);
    EXPECT_EQ (written.buffer.getNumSamples(), 16000);
    EXPECT_TRUE (isFileNamed (out + "/" + latin1Stem + "_asr_feed.wav")) << "the feed under the input's bytes";
    EXPECT_TRUE (isFileNamed (rawInput)) << "the input stays";

    const auto shown = juce::String::fromUTF8 ("lat1\xef\xbf\xbdt\xef\xbf\xbd.wav");
    EXPECT_TRUE (r.errContains (("[AudioPipeline] Processing: " + path (tmp.file ("in").getChildFile (shown))).c_str()))
        << r.err;
    const auto line = report.loadFileAsString();
    EXPECT_TRUE (line.contains ("\"inputPath\":\"" + juce::String (in) + "/lat1\\udce9t\\udce9.wav\"")) << line;
    EXPECT_TRUE (line.contains ("\"outputPath\":\"" + juce::String (out) + "/lat1\\udce9t\\udce9.wav\"")) << line;
    EXPECT_TRUE (page.loadFileAsString().contains ("lat1\\xE9t\\xE9.wav"));
    // Nothing made from the name is left in the output folder under another spelling.
    for (const auto& f : tmp.file ("out").findChildFiles (juce::File::findFilesAndDirectories, false))
        EXPECT_FALSE (f.getFileName().startsWith (".") || f.getFileName().startsWith ("_work_")) << path (f);
}

INSTANTIATE_TEST_SUITE_P (Latin1, ByteNames,
                          ::testing::Values (ByteNameCase { "SingleFile", false }, ByteNameCase { "FolderRun", true }),
                          [] (const auto& info) { return std::string (info.param.name); });
