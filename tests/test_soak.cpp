// A soak of the batch driver as a user meets it: a hundred short files and a
// few bad ones on eight workers, a denoiser that fails at random in every way
// it can (a crash after writing a whole-looking file, megabytes of output
// among them), a report, and runs stopped by SIGTERM at random moments. After every
// run each input is either mastered whole and reported so, or counted and
// reported as failed, or (in a stopped run) not reached; the report holds whole
// lines only; a crashed denoiser's file is never used; the log stays bounded
// and free of the tool's control bytes; the output folder holds nothing but
// what the README documents; and nothing the run started is left running.
// Then two runs started into one folder, and stops timed at the moment an
// output comes into place.
#include "support/ExternalTools.h"
#include "support/Hardening.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <poll.h>
#include <random>
#include <sys/inotify.h>
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

// What an input must become; frames 0: the file must fail.
struct Expected
{
    int frames = 0;
    double rate = 0.0;
    int channels = 0;
};

// Processes (zombies aside: their command line is empty) whose command line
// mentions the text.
std::vector<std::string> processesMentioning (const std::string& text)
{
    std::vector<std::string> found;
    if (auto* dir = ::opendir ("/proc"))
    {
        while (auto* entry = ::readdir (dir))
        {
            const std::string pid = entry->d_name;
            if (pid.empty() || pid.find_first_not_of ("0123456789") != std::string::npos)
                continue;
            // read(), not a stream: a process that ends while it is read makes the read fail with ESRCH,
            // which a filebuf throws out of its underflow.
            std::string line;
            const int fd = ::open (("/proc/" + pid + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0)
            {
                char chunk[4096];
                ssize_t got;
                while ((got = ::read (fd, chunk, sizeof (chunk))) > 0)
                    line.append (chunk, (size_t) got);
                ::close (fd);
            }
            std::replace (line.begin(), line.end(), '\0', ' ');
            if (line.find (text) != std::string::npos)
                found.push_back (pid + ": " + line);
        }
        ::closedir (dir);
    }
    return found;
}

// Those still there after a moment: a killed process takes a little while to go.
std::vector<std::string> processesLeftMentioning (const std::string& text)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (10);
    auto found = processesMentioning (text);
    while (! found.empty() && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
        found = processesMentioning (text);
    }
    return found;
}

void expectMastered (const juce::File& output, const Expected& e)
{
    const auto written = readAudio (output);
    ASSERT_TRUE (written.ok) << path (output) << " (" << output.getSize() << " bytes)";
    EXPECT_EQ (written.bitsPerSample, 16) << path (output);
    EXPECT_EQ (written.sampleRate, e.rate) << path (output);
    EXPECT_EQ (written.buffer.getNumChannels(), e.channels) << path (output);
    EXPECT_EQ (written.buffer.getNumSamples(), e.frames) << path (output);
    EXPECT_NEAR (toDb (peakOf (written.buffer)), -5.5, 0.05) << path (output);
}
} // namespace

TEST (Soak, EightWorkersAFailingDenoiserAndRandomStops)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();

    std::map<std::string, Expected> inputs;
    int goodFiles = 0;
    // A hundred takes keep eight workers busy for a run of tens of seconds, in
    // which each of the denoiser's eleven ways to fail comes up about four times
    // and a stop can land at any point of the batch; its cost is the children
    // each file starts (the denoiser's shell and tools, FFmpeg), the same under
    // the sanitizers, so more takes only make each run longer.
    for (int i = 0; i < 100; ++i)
    {
        // Half a second each: a quarter at 16 kHz (converted to 48 kHz for the
        // denoiser and back by FFmpeg), a quarter 48 kHz stereo, the rest 48 kHz mono.
        const double rate = i % 4 == 0 ? 16000.0 : 48000.0;
        const Expected e { (int) rate / 2, rate, i % 4 == 1 ? 2 : 1 };
        const auto name = "take " + juce::String (i).paddedLeft ('0', 3) + ".wav";
        writeWav (in.getChildFile (name), speechLike (e.channels, e.frames, e.rate, 100 + i), e.rate);
        inputs[name.toStdString()] = e;
        ++goodFiles;
    }
    // Bad content among them: text, nothing, noise, and a copy cut short
    // (which is mastered as far as it goes).
    in.getChildFile ("notes.wav").replaceWithText ("these are my notes, not audio");
    writeBytes (in.getChildFile ("empty.wav"), {});
    Bytes noise (5000);
    std::mt19937 bytes (5);
    for (auto& b : noise)
        b = (std::uint8_t) bytes();
    writeBytes (in.getChildFile ("noise.wav"), noise);
    for (const char* name : { "notes.wav", "empty.wav", "noise.wav" })
        inputs[name] = {};
    WavSpec header;
    header.sampleRate = 16000;
    const auto whole = wavBytes (header, pcmBytes (speechLike (1, 8000, 16000.0, 99), 1, 16));
    writeBytes (in.getChildFile ("cut.wav"), Bytes (whole.begin(), whole.begin() + 44 + 3000 * 2 + 1));
    inputs["cut.wav"] = { 3000, 16000.0, 1 };
    ++goodFiles;
    const int badFiles = (int) inputs.size() - goodFiles;
    const auto before = snapshot (in);

    // The denoiser fails one way or another on about two files in five
    // (exit codes, a crash, no output, a short, cut or unreadable output, a
    // crash after a full-length file whose second half is silence, megabytes of
    // random bytes on its output before it gives up), sometimes leaving a
    // helper behind that holds its output open; else it passes the audio
    // through. Each call leaves a mark, named after the work folder it was
    // given, saying what it did.
    const auto helper = tmp.file ("soak helper");
    ASSERT_TRUE (juce::File ("/bin/sleep").copyFileTo (helper));
    ASSERT_TRUE (helper.setExecutePermission (true));
    const auto h = shellQuote (helper.getFullPathName());
    const auto denoiser = writeScript (tmp.file ("flaky denoiser.sh"),
                                       "in=\"$1\"; dir=\"$3\"; base=\"${in##*/}\"; stem=\"${base%.*}\"\n"
                                       "out=\"$dir/${stem}_DeepFilterNet3.wav\"\n"
                                       "r=$(od -An -N1 -tu1 /dev/urandom)\n"
                                       "echo $((r % 22)) > \"$SOAK_MARKS/${dir##*/}\"\n"
                                       "case $((r % 22)) in\n"
                                       "  0) echo 'model not found' >&2; exit 3 ;;\n"
                                       "  1) exit 0 ;;\n"
                                       "  2) /usr/bin/ffmpeg -v error -y -i \"$in\" -t 0.1 -c:a pcm_s16le \"$out\"; exit 0 ;;\n"
                                       "  3) echo 'not audio' > \"$out\"; exit 0 ;;\n"
                                       "  4) cp \"$in\" \"$out\"; " + h + " 30 & exit 0 ;;\n"
                                       "  5) cp \"$in\" \"$out\"; kill -KILL $$ ;;\n"
                                       "  6) " + h + " 0.3; cp \"$in\" \"$out\" ;;\n"
                                       "  7) echo 'segmentation fault' >&2; kill -SEGV $$ ;;\n"
                                       "  8) head -c 3000 \"$in\" > \"$out\"; exit 0 ;;\n"
                                       "  9) /usr/bin/sox \"$in\" \"$out\" trim 0 0.25 pad 0 0.25; kill -SEGV $$ ;;\n"
                                       "  10) head -c 4000000 /dev/urandom; exit 3 ;;\n"
                                       "  *) cp \"$in\" \"$out\" ;;\n"
                                       "esac\n");

    std::random_device seedSource;
    const auto seed = seedSource();
    std::cout << "[ seed     ] " << seed << "\n";
    std::mt19937 random (seed);

    const int runs = 15;
    double fullRunSeconds = 0.0;
    int stoppedRuns = 0;
    int finishedRuns = 0;
    for (int run = 0; run < runs; ++run)
    {
        SCOPED_TRACE ("run " + std::to_string (run));
        const bool letFinish = run % 5 == 0;
        const auto out = tmp.file ("out " + juce::String (run));
        const auto report = tmp.file ("report " + juce::String (run) + ".jsonl");
        const auto marks = tmp.file ("marks " + juce::String (run));
        marks.createDirectory();

        const auto start = std::chrono::steady_clock::now();
        Child engine ("/usr/bin/env", { "LD_PRELOAD=" SOAK_MORE_PROCESSORS, "SOAK_MARKS=" + path (marks), engineExecutable(), "--input-dir", path (in),
                                        "--output-dir", path (out), "--deepfilter-path", path (denoiser),
                                        "--ffmpeg-path", "/usr/bin/ffmpeg", "--report", path (report) });
        double stopAfter = 0.0;
        if (! letFinish)
        {
            stopAfter = std::uniform_real_distribution<double> (0.05, 0.9) (random) * fullRunSeconds;
            std::this_thread::sleep_for (std::chrono::duration<double> (stopAfter));
            ::kill (engine.id(), SIGTERM);
        }
        const auto r = engine.finish();
        const double seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
        if (run == 0)
            fullRunSeconds = seconds;

        EXPECT_TRUE (r.errContains ("[System] Initializing ThreadPool with 8 workers.\n")) << r.err.substr (0, 300);
        const bool stopped = r.exitCode == 128 + SIGTERM;
        if (stopped)
        {
            ++stoppedRuns;
            EXPECT_EQ (r.out, "") << "stopped before the summary";
            EXPECT_TRUE (r.errContains ("[System] Interrupted: removed "));
        }
        else
        {
            ++finishedRuns;
            EXPECT_EQ (r.exitCode, 2) << "the bad files fail";
            EXPECT_EQ (r.out, summaryLine (goodFiles, badFiles));
        }

        // The denoiser's output reached the log bounded and escaped.
        EXPECT_EQ (r.err.find ('\x1b'), std::string::npos) << "a terminal escape of the denoiser's output in the log";
        size_t longestLine = 0;
        for (size_t at = 0, next = 0; at < r.err.size(); at = next + 1)
        {
            next = std::min (r.err.find ('\n', at), r.err.size());
            longestLine = std::max (longestLine, next - at);
        }
        EXPECT_LT (longestLine, (size_t) 600 * 1024) << "a log line holds more than the head and tail of a tool's output";

        // What each file's denoiser call did, by input name.
        std::map<std::string, int> didWhat;
        for (const auto& mark : marks.findChildFiles (juce::File::findFiles, false))
            for (const auto& [name, expected] : inputs)
                if (mark.getFileName().startsWith ("_work_" + juce::String (name) + "_"))
                    didWhat[name] = mark.loadFileAsString().trim().getIntValue();

        // Every line whole, one per input at most.
        std::map<std::string, juce::var> lines;
        const auto text = report.loadFileAsString();
        EXPECT_TRUE (text.isEmpty() || text.endsWithChar ('\n')) << "the report ends with a line cut short";
        if (text.isNotEmpty())
            for (const auto& line : juce::StringArray::fromLines (text.trimEnd()))
            {
                juce::var parsed;
                ASSERT_TRUE (juce::JSON::parse (line, parsed).wasOk() && parsed.isObject()) << line;
                const auto name = juce::File (parsed["inputPath"].toString()).getFileName().toStdString();
                EXPECT_EQ (inputs.count (name), 1u) << line;
                EXPECT_EQ (lines.count (name), 0u) << "two lines for " << name;
                lines[name] = parsed;
            }

        // Each input: mastered and reported so, failed and reported so, or not reached.
        int outputs = 0;
        int notYetReported = 0;
        for (const auto& [name, expected] : inputs)
        {
            SCOPED_TRACE (name);
            const auto output = out.getChildFile (name);
            const auto line = lines.find (name);
            const bool hasLine = line != lines.end();
            if (! stopped)
            {
                EXPECT_TRUE (hasLine) << "a finished run reports every input";
            }
            if (hasLine)
            {
                EXPECT_EQ ((bool) line->second["success"], expected.frames > 0) << line->second["error"].toString();
            }
            if (expected.frames == 0)
            {
                EXPECT_FALSE (output.exists()) << "a failed file leaves no output";
                continue;
            }
            if (hasLine && (bool) line->second["success"])
            {
                EXPECT_TRUE (output.existsAsFile()) << "reported mastered, but not there";
                if (const auto did = didWhat.find (name); did != didWhat.end() && (did->second == 9 || did->second == 10))
                {
                    EXPECT_EQ (line->second["denoiseEngine"].toString(), "None (passthrough)")
                        << "the result of a denoiser that crashed or failed was used (mark " << did->second << ")";
                }
            }
            if (output.existsAsFile())
            {
                ++outputs;
                // Renamed into place, and the run stopped before its line was
                // written: the stop must have taken it away.
                if (! hasLine)
                    ++notYetReported;
                EXPECT_TRUE (hasLine) << "on disk, and no report line mentions it";
                expectMastered (output, expected);
            }
        }

        // Nothing in the output folder but what the README lists.
        std::vector<std::string> debris;
        for (const auto& f : out.findChildFiles (juce::File::findFilesAndDirectories, false, "*",
                                                 juce::File::FollowSymlinks::no))
        {
            const auto name = f.getFileName();
            if (f.existsAsFile() && (inputs.count (name.toStdString()) > 0 || name == "_stage0_prefiltered.wav"))
                continue;
            if (f.existsAsFile() && name.endsWith ("_asr_feed.wav")
                && inputs.count (name.dropLastCharacters (13).toStdString() + ".wav") > 0)
                continue;
            // A failed file keeps its work folder, for inspection.
            bool failedFilesFolder = false;
            for (const auto& [input, line] : lines)
                failedFilesFolder = failedFilesFolder
                                    || (! (bool) line["success"] && f.isDirectory()
                                        && name.startsWith ("_work_" + juce::String (input) + "_"));
            if (! failedFilesFolder)
                debris.push_back (name.toStdString());
        }
        EXPECT_TRUE (debris.empty()) << debris.size() << " left, the first: " << debris.front();

        const auto left = processesLeftMentioning (path (tmp.path()));
        EXPECT_TRUE (left.empty()) << left.size() << " processes of the run left, the first: " << left.front();

        std::cout << "[ run " << std::setw (2) << run << "   ] " << (stopped ? "stopped" : "finished") << " after "
                  << juce::String (seconds, 1) << " s"
                  << (letFinish ? "" : " (SIGTERM at " + juce::String (stopAfter, 1).toStdString() + " s)") << ": "
                  << lines.size() << " report lines, " << outputs << " outputs"
                  << (notYetReported > 0 ? " (" + std::to_string (notYetReported) + " not yet reported)" : "")
                  << ", exit " << r.exitCode << "\n";
        out.deleteRecursively();
    }

    EXPECT_GE (finishedRuns, 3);
    EXPECT_GE (stoppedRuns, 6) << "the stops came too late to test anything";
    EXPECT_TRUE (snapshot (in) == before) << "the inputs must never change";
}

// Two runs of one batch started at the same moment into one output folder,
// again and again: one masters the batch, the other is refused naming the
// folder (never both refused, never both writing), and what the winner
// reports is on disk. Two runs with their own halves of the batch go on side
// by side, as a scale-out's jobs do.
TEST (Soak, TwoRunsStartedIntoOneFolder)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i)
    {
        const auto name = "take " + juce::String (i).paddedLeft ('0', 2) + ".wav";
        writeWav (in.getChildFile (name), speechLike (1, 24000, 48000.0, 300 + i), 48000.0);
        names.push_back (name.toStdString());
    }
    // The same inputs in halves, for the runs that share the folder but no name.
    for (const char* half : { "first", "second" })
        tmp.file (half).createDirectory();
    for (size_t i = 0; i < names.size(); ++i)
        ASSERT_TRUE (in.getChildFile (names[i]).copyFileTo (tmp.file (i % 2 == 0 ? "first" : "second").getChildFile (names[i])));

    const auto reportOf = [] (const juce::File& report)
    {
        std::map<std::string, bool> lines;
        if (report.existsAsFile())
            for (const auto& line : juce::StringArray::fromLines (report.loadFileAsString().trimEnd()))
            {
                juce::var parsed;
                if (line.isNotEmpty() && juce::JSON::parse (line, parsed).wasOk())
                    lines[juce::File (parsed["outputPath"].toString()).getFileName().toStdString()] = (bool) parsed["success"];
            }
        return lines;
    };

    for (int round = 0; round < 8; ++round)
    {
        SCOPED_TRACE ("round " + std::to_string (round));
        const bool halves = round % 4 == 3;
        const auto out = tmp.file ("out " + juce::String (round));
        std::vector<std::unique_ptr<Child>> runs;
        for (int k = 0; k < 2; ++k)
        {
            const auto source = halves ? tmp.file (k == 0 ? "first" : "second") : in;
            runs.push_back (std::make_unique<Child> (
                engineExecutable(),
                std::vector<std::string> { "--input-dir", path (source), "--output-dir", path (out), "--denoise", "false",
                                           "--report", path (tmp.file ("report " + juce::String (round) + "-"
                                                                       + juce::String (k) + ".jsonl")) }));
        }
        int mastered = 0;
        for (int k = 0; k < 2; ++k)
        {
            const auto r = runs[(size_t) k]->finish();
            const auto report = tmp.file ("report " + juce::String (round) + "-" + juce::String (k) + ".jsonl");
            if (r.exitCode == 0)
            {
                ++mastered;
                const auto lines = reportOf (report);
                EXPECT_EQ (lines.size(), halves ? names.size() / 2 : names.size());
                for (const auto& [name, ok] : lines)
                {
                    EXPECT_TRUE (ok) << name;
                    expectMastered (out.getChildFile (name), { 24000, 48000.0, 1 });
                }
                continue;
            }
            EXPECT_FALSE (halves) << "runs with their own names go side by side: " << r.err;
            EXPECT_EQ (r.exitCode, 1) << r.err.substr (0, 300);
            EXPECT_TRUE (r.errContains ("ERROR: Output directory is in use by another run that writes "))
                << r.err.substr (0, 300);
            EXPECT_TRUE (r.errContains (" there too: " + path (out) + "\n")) << r.err.substr (0, 300);
            EXPECT_TRUE (reportOf (report).empty()) << "a refused run reports nothing";
        }
        if (halves)
        {
            EXPECT_EQ (mastered, 2);
        }
        else
        {
            // Started together, the two want the same names at once: exactly one goes on.
            EXPECT_EQ (mastered, 1) << "never both refused, never both writing the same files";
        }
        EXPECT_FALSE (out.getChildFile (".tessaloom-engine.lock").exists()) << "the last run out removes its lock file";
        std::cout << "[ round " << round << " ] " << (halves ? "halves: " : "one batch: ") << mastered << " of 2 mastered\n";
    }
}

// Stops timed by the folder's own events: SIGTERM the moment the k-th output
// is renamed into place, while the run reads it back for its report line.
// After every stop each output on disk has its line and each line that says
// mastered has its output: nothing on disk that no report mentions.
TEST (Soak, InterruptsBetweenAnOutputsRenameAndItsReportLine)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    const int files = 6;
    // Ten seconds of stereo: reading an output back for its line still takes
    // far longer than the stop takes to land after the rename, so the stops
    // land in that window as they did with takes three times as long, which
    // only cost time (several times more under the sanitizers).
    const int frames = 48000 * 10;
    for (int i = 0; i < files; ++i)
        writeWav (in.getChildFile ("long " + juce::String (i) + ".wav"), speechLike (2, frames, 48000.0, 400 + i), 48000.0);

    std::random_device seedSource;
    const auto seed = seedSource();
    std::cout << "[ seed     ] " << seed << "\n";
    std::mt19937 random (seed);

    int removed = 0, kept = 0;
    for (int run = 0; run < 10; ++run)
    {
        SCOPED_TRACE ("run " + std::to_string (run));
        const auto out = tmp.file ("out " + juce::String (run));
        out.createDirectory();
        const auto report = tmp.file ("report " + juce::String (run) + ".jsonl");
        const int stopAt = std::uniform_int_distribution<int> (1, files) (random);

        const int watch = inotify_init1 (IN_CLOEXEC);
        ASSERT_GE (watch, 0);
        ASSERT_GE (inotify_add_watch (watch, path (out).c_str(), IN_MOVED_TO), 0);
        Child engine (engineExecutable(), { "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false",
                                            "--report", path (report) });
        std::string stoppedAfter;
        for (int landed = 0; landed < stopAt;)
        {
            pollfd p { watch, POLLIN, 0 };
            ASSERT_EQ (::poll (&p, 1, 300000), 1) << "no output came into place";
            alignas (inotify_event) char events[4096];
            const auto got = ::read (watch, events, sizeof (events));
            for (char* e = events; e < events + got; e += sizeof (inotify_event) + ((inotify_event*) e)->len)
            {
                const std::string name = ((inotify_event*) e)->name;
                if (name.rfind ("long ", 0) == 0 && ++landed == stopAt)
                    stoppedAfter = name;
            }
        }
        ::kill (engine.id(), SIGTERM);
        ::close (watch);
        const auto r = engine.finish();
        EXPECT_EQ (r.exitCode, 128 + SIGTERM) << "stopped before its end";

        std::map<std::string, bool> lines;
        const auto text = report.loadFileAsString();
        EXPECT_TRUE (text.isEmpty() || text.endsWithChar ('\n'));
        if (text.isNotEmpty())
            for (const auto& line : juce::StringArray::fromLines (text.trimEnd()))
            {
                juce::var parsed;
                ASSERT_TRUE (juce::JSON::parse (line, parsed).wasOk()) << line;
                lines[juce::File (parsed["outputPath"].toString()).getFileName().toStdString()] = (bool) parsed["success"];
            }
        for (int i = 0; i < files; ++i)
        {
            const auto name = "long " + std::to_string (i) + ".wav";
            const auto output = out.getChildFile (name);
            const auto line = lines.find (name);
            if (output.existsAsFile())
            {
                EXPECT_TRUE (line != lines.end() && line->second) << name << " is on disk, and no line says it was mastered";
                expectMastered (output, { frames, 48000.0, 2 });
            }
            else if (line != lines.end())
            {
                EXPECT_FALSE (line->second) << name << " is reported mastered, and not on disk";
            }
        }
        const bool stoppedOneKept = out.getChildFile (stoppedAfter).existsAsFile();
        (stoppedOneKept ? kept : removed) += 1;
        std::cout << "[ run " << std::setw (2) << run << "   ] SIGTERM as " << stoppedAfter << " came into place: "
                  << (! stoppedOneKept ? "removed as unfinished"
                                       : lines.count (stoppedAfter) > 0 ? "kept with its line" : "KEPT WITHOUT A LINE")
                  << ", " << lines.size() << " report lines\n";
    }
    std::cout << "[ stops    ] " << removed << " outputs removed as unfinished, " << kept << " kept\n";
}
