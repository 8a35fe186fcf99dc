#include "app/BatchRunner.h"

#include "app/CheckRun.h"
#include "app/HtmlReport.h"
#include "app/ReportLineParser.h"
#include "app/ReportWriter.h"

#include "common/IntermediateNames.h"
#include "io/FolderClaim.h"
#include "io/InFlightFiles.h"
#include "io/NativeNames.h"
#include "io/PathKind.h"
#include "pipeline/AudioPipeline.h"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace
{
bool isIntermediateName (const juce::String& fileName)
{
    for (auto* name : intermediate_names::all)
        if (fileName.equalsIgnoreCase (name))
            return true;
    return false;
}

// Same file or folder on disk, through links and relative parts too.
bool sameLocation (const juce::File& a, const juce::File& b)
{
    if (a == b)
        return true;
    std::error_code ec;
    const bool same = std::filesystem::equivalent (a.getFullPathName().toStdString(),
                                                   b.getFullPathName().toStdString(), ec);
    return ! ec && same;
}

// The name under which a file name is compared with the names the run gives
// its own files. The listing matches those without regard to case, and an
// output folder on a file system that ignores case (a memory card, a drive
// shared with other systems) holds one file for both spellings.
juce::String nameKey (const juce::String& fileName)
{
    return fileName.toLowerCase();
}

// The ASR feed the pipeline leaves beside the output of this input.
juce::String asrFeedName (const juce::File& input)
{
    return input.getFileNameWithoutExtension() + intermediate_names::asrFeedSuffix;
}

// Where an input's output goes: --output, or in --output-dir under the input's
// name with the output format's extension (the specified WAV keeps the input's
// name as it is).
juce::File outputFileFor (const CommandLineOptions& options, const juce::File& input)
{
    if (options.outputDir == juce::File())
        return options.outputFile;
    const auto& format = options.config.outputFormat;
    if (format.codec == OutputCodec::wav && input.hasFileExtension ("wav"))
        return options.outputDir.getChildFile (input.getFileName());
    return options.outputDir.getChildFile (input.getFileNameWithoutExtension() + extensionFor (format.codec));
}

// Besides its outputs, a run writes into the output folder the pre-filtered
// file and (with noise reduction on) one ASR feed per input. None of those may
// land on an output, an input or the report: the later write would replace the
// earlier, and the run would still call both a success. Returns the reason, or empty.
juce::String nameClashReason (const CommandLineOptions& options, const juce::Array<juce::File>& files)
{
    // Every output of a run lies in this one folder (a batch of several files
    // without --output-dir is refused before this).
    const bool toFolder = options.outputDir != juce::File();
    const auto outputFolder = toFolder ? options.outputDir : options.outputFile.getParentDirectory();
    const auto outputOf = [&] (const juce::File& input) { return outputFileFor (options, input); };

    // Names written beside the outputs, each with the input it belongs to (none for the pre-filtered file).
    // With --outputs-only there are none: only the outputs land in the folder.
    std::map<juce::String, juce::File> besideOutputs;
    const bool besides = ! options.config.outputsOnly;
    if (besides)
        besideOutputs.emplace (nameKey (intermediate_names::prefiltered), juce::File());
    if (besides && options.config.denoise)
    {
        // Two inputs whose names differ only in their extension (a.wav, a.WAV) have one feed name.
        std::map<juce::String, juce::File> feedOwners;
        for (const auto& input : files)
            if (const auto [owner, added] = feedOwners.emplace (asrFeedName (input), input); ! added)
            {
                // Named in byte order, whatever order the listing gave.
                auto one = owner->second.getFileName(), other = input.getFileName();
                if (other.compare (one) < 0)
                    std::swap (one, other);
                return "Input files " + one + " and " + other + " have one ASR feed; both would be written to one file: "
                       + outputFolder.getChildFile (asrFeedName (input)).getFullPathName();
            }
        for (const auto& input : files)
            besideOutputs.emplace (nameKey (asrFeedName (input)), input);
    }

    // Two inputs of one name in two formats (a.wav and a.mp3 with --all-formats)
    // have one output: the later would replace the earlier.
    std::map<juce::String, juce::File> outputOwners;
    for (const auto& input : files)
        if (const auto [owner, added] = outputOwners.emplace (outputOf (input).getFileName(), input); ! added)
        {
            auto one = owner->second.getFileName(), other = input.getFileName();
            if (other.compare (one) < 0)
                std::swap (one, other);
            return "Input files " + one + " and " + other + " have one output name; both would be written to one file: "
                   + outputOf (input).getFullPathName();
        }

    // A file written beside the outputs is renamed into place: a folder, a
    // device, a pipe or a link at its name would be replaced, or (a folder)
    // keep the file from being written at all.
    for (const auto& [key, owner] : besideOutputs)
    {
        const auto beside = outputFolder.getChildFile (owner == juce::File() ? juce::String (intermediate_names::prefiltered)
                                                                             : asrFeedName (owner));
        if (const auto kind = pathKindAt (beside); kind != PathKind::nothing && kind != PathKind::file)
            return "The place of a file written beside the outputs is taken by " + describePathKind (kind)
                   + ": " + beside.getFullPathName();
    }

    // The run's lock file lives in the output folder for as long as the run.
    const auto isLockFile = [&] (const juce::File& f)
    { return nameKey (f.getFileName()) == nameKey (FolderClaim::kFileName) && sameLocation (f.getParentDirectory(), outputFolder); };

    for (const auto& input : files)
    {
        const auto output = outputOf (input);
        const auto name = output.getFileName();
        if (besides && nameKey (name) == nameKey (intermediate_names::prefiltered))
            return "Output file has the name of the pre-filtered file written beside it; the output would be "
                   "replaced by it: " + output.getFullPathName();
        if (isIntermediateName (name))
            return "Output file has the name of an intermediate file of the run: " + output.getFullPathName();
        if (isLockFile (output))
            return "Output file has the name of the run's lock file: " + output.getFullPathName();
        if (const auto feed = besideOutputs.find (nameKey (name)); feed != besideOutputs.end())
            return "Output file has the name of the ASR feed of " + feed->second.getFileName()
                   + "; both would be written to one file: " + output.getFullPathName();

        if (besideOutputs.count (nameKey (input.getFileName())) > 0
            && sameLocation (input.getParentDirectory(), outputFolder))
            return "Input file has the name of a file written beside the output; the input would be replaced: "
                   + input.getFullPathName();
    }

    const auto& report = options.reportFile;
    if (report != juce::File() && isLockFile (report))
        return "Report file has the name of the run's lock file: " + report.getFullPathName();
    if (options.reportHtmlFile != juce::File() && isLockFile (options.reportHtmlFile))
        return "Report page has the name of the run's lock file: " + options.reportHtmlFile.getFullPathName();
    if (report != juce::File() && besideOutputs.count (nameKey (report.getFileName())) > 0
        && sameLocation (report.getParentDirectory(), outputFolder))
        return "Report file has the name of a file written beside the outputs; the report would be replaced by "
               "a WAV file: " + report.getFullPathName();

    return {};
}

// A run that would destroy an input or write several files onto one output is
// refused before anything is created. Returns the reason, or empty.
juce::String refusalReason (const CommandLineOptions& options, const juce::Array<juce::File>& files)
{
    const bool batch = options.inputDir != juce::File();
    const auto& report = options.reportFile;

    if (batch)
    {
        if (options.outputDir != juce::File() && sameLocation (options.inputDir, options.outputDir))
            return "Output directory is the input directory; every output would replace its input: "
                   + options.outputDir.getFullPathName();

        if (options.outputDir == juce::File() && files.size() > 1)
            return "Batch of " + juce::String (files.size())
                   + " files needs --output-dir; every file would be written to the same output: "
                   + options.outputFile.getFullPathName();
    }

    for (auto& input : files)
    {
        const auto output = outputFileFor (options, input);
        if (sameLocation (input, output))
            return "Output file is the input file; the input would be overwritten: " + input.getFullPathName();

        // The output is renamed into place, which would swap a device, a pipe
        // or a link for a regular file; a folder would keep it from being written.
        if (const auto kind = pathKindAt (output); kind != PathKind::nothing && kind != PathKind::file)
            return "Output file is " + describePathKind (kind) + ", not a file; it would be replaced: "
                   + output.getFullPathName();

        if (report != juce::File() && sameLocation (report, input))
            return "Report file is an input file; the input would be overwritten: " + report.getFullPathName();
        if (report != juce::File() && sameLocation (report, output))
            return "Report file is an output file; the output would overwrite it: " + report.getFullPathName();
    }

    // A report the folder's listing would pick up would be mastered by the next run of the same command.
    if (batch && report != juce::File() && sameLocation (report.getParentDirectory(), options.inputDir)
        && report.hasFileExtension ("wav") && ! isIntermediateName (report.getFileName()))
        return "Report file would be taken as an input of the batch: " + report.getFullPathName();

    // The page is written last, over whatever lies at its path: nothing of the run may lie there.
    if (const auto& page = options.reportHtmlFile; page != juce::File())
    {
        // A device or a pipe (also through a link, as /dev/stdout) is written
        // through; a link to a file or to nothing would itself be replaced by the page.
        const auto kind = pathKindAt (page);
        const auto behind = pathKindBehind (page);
        if (kind == PathKind::link && behind != PathKind::device && behind != PathKind::pipe)
            return "Report page is a symbolic link; the page would replace the link, not what it points to: "
                   + page.getFullPathName();
        if (kind == PathKind::blockDevice || kind == PathKind::socket || kind == PathKind::unknown)
            return "Report page is " + describePathKind (kind) + ", not a file: " + page.getFullPathName();

        for (auto& input : files)
        {
            const auto output = outputFileFor (options, input);
            if (sameLocation (page, input))
                return "Report page is an input file; the input would be overwritten: " + page.getFullPathName();
            if (sameLocation (page, output))
                return "Report page is an output file; the output would overwrite it: " + page.getFullPathName();
        }
        if (report != juce::File() && sameLocation (page, report))
            return "Report page is the report file: " + page.getFullPathName();
        if (batch && sameLocation (page.getParentDirectory(), options.inputDir) && page.hasFileExtension ("wav")
            && ! isIntermediateName (page.getFileName()))
            return "Report page would be taken as an input of the batch: " + page.getFullPathName();
    }

    return nameClashReason (options, files);
}

// Whether a file can be made in the folder, found by making one and removing
// it: permission bits say nothing to root, nor about a read-only mount.
bool folderTakesAFile (const juce::File& folder)
{
    const auto probe = folder.getChildFile (".tessaloom-write-test-" + juce::Uuid().toString().substring (0, 12));
    const int fd = ::open (probe.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close (fd);
    ::unlink (probe.getFullPathName().toRawUTF8());
    return true;
}

// The *.wav files (links to files included) of a folder whose names are not
// UTF-8, as JUCE's listing would take them: the extension in any case.
juce::Array<juce::File> inputsNamedInBytes (const juce::File& folder)
{
    juce::Array<juce::File> found;
    auto* dir = ::opendir (native_names::toNativeBytes (folder.getFullPathName()).c_str());
    if (dir == nullptr)
        return found;
    while (const auto* entry = ::readdir (dir))
    {
        const auto name = native_names::fromNativeBytes (entry->d_name);
        if (! native_names::hasEscapedBytes (name))
            continue;
        const auto file = folder.getChildFile (name);
        if (file.hasFileExtension ("wav") && pathKindBehind (file) == PathKind::file)
            found.add (file);
    }
    ::closedir (dir);
    return found;
}

juce::String clock (double seconds)
{
    const auto s = (long long) std::llround (std::max (0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf (text, sizeof (text), "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf (text, sizeof (text), "%lld:%02lld", s / 60, s % 60);
    return text;
}

// On a terminal, one line at the bottom that says how far the batch is: the
// log scrolls above it (each message clears it, is written, and the line is
// drawn again), and a ticker keeps its clock going while a file is silent.
// Made only when standard error is a terminal; otherwise nothing changes.
class ProgressLine final : public juce::Logger
{
public:
    explicit ProgressLine (int numFiles)
        : total (numFiles), startMs (juce::Time::getMillisecondCounterHiRes()), previous (juce::Logger::getCurrentLogger())
    {
        juce::Logger::setCurrentLogger (this);
        {
            const std::lock_guard<std::mutex> guard (lock);
            draw();
        }
        ticker = std::thread ([this]
        {
            std::unique_lock<std::mutex> guard (lock);
            while (! stopping)
                if (! wake.wait_for (guard, std::chrono::seconds (1), [this] { return stopping; }))
                    draw();
        });
    }

    ~ProgressLine() override
    {
        {
            const std::lock_guard<std::mutex> guard (lock);
            stopping = true;
            std::cerr << "\r\033[K" << std::flush;
        }
        wake.notify_all();
        ticker.join();
        juce::Logger::setCurrentLogger (previous);
    }

    void fileFinished (bool ok)
    {
        const std::lock_guard<std::mutex> guard (lock);
        ++done;
        failed += ok ? 0 : 1;
        draw();
    }

protected:
    void logMessage (const juce::String& message) override
    {
        const std::lock_guard<std::mutex> guard (lock);
        std::cerr << "\r\033[K" << native_names::shownText (message).toStdString() << "\n";
        draw();
    }

private:
    // Called with the lock held.
    void draw()
    {
        const double elapsed = (juce::Time::getMillisecondCounterHiRes() - startMs) / 1000.0;
        juce::String text;
        text << done << " of " << total << " files done";
        if (failed > 0)
            text << " (" << failed << " failed)";
        text << ", " << clock (elapsed) << " elapsed";
        if (done > 0 && done < total)
            text << ", about " << clock (elapsed / done * (total - done)) << " left";
        std::cerr << "\r\033[K" << text.toStdString() << std::flush;
    }

    const int total;
    const double startMs;
    juce::Logger* const previous;
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    int done = 0, failed = 0;
    std::thread ticker;
};

// The page from reports, for a batch run elsewhere (a scale-out run's merged report).
int renderReportPage (const CommandLineOptions& options)
{
    const auto& page = options.reportHtmlFile;
    for (auto& report : options.renderReports)
        if (sameLocation (page, report))
        {
            std::cerr << "ERROR: Report page is a report file; the report would be overwritten: "
                      << page.getFullPathName().toStdString() << std::endl;
            return 1;
        }

    ReportLines lines;
    for (auto& report : options.renderReports)
    {
        juce::StringArray warnings;
        juce::String error;
        if (! lines.addFile (report, warnings, error))
        {
            std::cerr << "ERROR: " << error.toStdString() << std::endl;
            return 1;
        }
        for (auto& w : warnings)
            juce::Logger::writeToLog ("[System] WARNING: Skipped " + w);
    }

    if (const auto error = writeReportPage (page, lines.all()); error.isNotEmpty())
    {
        std::cerr << "ERROR: " << error.toStdString() << std::endl;
        return 1;
    }
    juce::Logger::writeToLog ("[System] Report page written: " + page.getFullPathName() + " ("
                              + juce::String ((int) lines.all().size()) + " files)");
    return 0;
}

juce::String describeException (const std::exception& e)
{
    if (dynamic_cast<const std::bad_alloc*> (&e) != nullptr)
        return "Out of memory while processing (" + juce::String (e.what()) + ")";
    return "Unexpected error while processing: " + juce::String (e.what());
}
} // namespace

int workerCountFor (const juce::String& processorModel, int logicalProcessors)
{
    const int n = logicalProcessors > 0 ? logicalProcessors : 4;

    if (processorModel.containsIgnoreCase ("i5"))
    {
        juce::Logger::writeToLog ("[System] Topology: Intel Core i5 detected. Constraining worker threads (Tier 2).");
        return juce::jmax (1, n / 2);
    }

    if (processorModel.containsIgnoreCase ("i7") || processorModel.containsIgnoreCase ("i9")
        || processorModel.containsIgnoreCase ("Apple"))
    {
        juce::Logger::writeToLog ("[System] Topology: " + processorModel
                                  + " detected. Scaling up worker threads (Tier 1).");
        return juce::jmax (1, n - 1);
    }

    juce::Logger::writeToLog ("[System] Topology: " + processorModel + ". Using safe thread allocation.");
    return juce::jmax (1, n / 2);
}

int computeWorkerCount()
{
    // The model is never queried: only the safe rule is in force.
    return workerCountFor ("Unknown", (int) std::thread::hardware_concurrency());
}

// The page's folder must take a file when the batch ends; the output folder
// counts as there, since the run makes it.
bool pageCanBeWritten (const CommandLineOptions& options)
{
    const auto& page = options.reportHtmlFile;
    const auto folder = page.getParentDirectory();
    if (page.isDirectory())
        return false;
    if (const auto behind = pathKindBehind (page); behind == PathKind::device || behind == PathKind::pipe)
        return true; // written through, not beside
    if (folder.isDirectory())
        return folderTakesAFile (folder);
    const auto made = options.outputDir != juce::File() ? options.outputDir : options.outputFile.getParentDirectory();
    return sameLocation (folder, made) || folder == made;
}

juce::Array<juce::File> collectInputFiles (const CommandLineOptions& options)
{
    juce::Array<juce::File> files;

    if (options.inputDir == juce::File())
    {
        files.add (options.inputFile);
        return files;
    }

    // JUCE takes every name for UTF-8: one that is not is a String JUCE cannot
    // work with (names made from it come out broken). Those are taken from the
    // folder's own listing instead, carried as io/NativeNames.h says.
    for (auto& f : options.inputDir.findChildFiles (juce::File::findFiles, false, "*.wav",
                                                    juce::File::FollowSymlinks::yes))
        if (! isIntermediateName (f.getFileName()) && native_names::isValidUtf8 (f.getFileName().toRawUTF8()))
            files.add (f);
    for (const auto& f : inputsNamedInBytes (options.inputDir))
        files.add (f);

    // The other formats the engine reads: taken with --all-formats, else counted and said.
    int skipped = 0;
    for (auto& f : options.inputDir.findChildFiles (juce::File::findFiles, false, "*", juce::File::FollowSymlinks::yes))
        if (otherAudioExtensions().contains (f.getFileExtension().fromFirstOccurrenceOf (".", false, false).toLowerCase()))
        {
            if (options.allFormats)
                files.add (f);
            else
                ++skipped;
        }
    if (options.allFormats)
        files.sort();
    if (skipped > 0)
        juce::Logger::writeToLog ("[System] Skipped " + juce::String (skipped) + " audio file" + (skipped == 1 ? "" : "s")
                                  + " that " + (skipped == 1 ? "is" : "are")
                                  + " not WAV (MP3, M4A, Ogg, Opus, FLAC or AIFF); --all-formats takes them too.");

    return files;
}

int runBatch (const CommandLineOptions& options, int workerCount)
{
    if (! options.renderReports.isEmpty())
        return renderReportPage (options);
    if (options.checkOnly)
        return runCheck (options, workerCount);

    const bool batch = options.inputDir != juce::File();
    const auto files = collectInputFiles (options);

    if (const auto reason = refusalReason (options, files); reason.isNotEmpty())
    {
        std::cerr << "ERROR: " << reason.toStdString() << "\n"
                  << "Run with --help for usage information." << std::endl;
        return 1;
    }

    // The names this run writes in its output folder are its own while it runs
    // (io/FolderClaim.h); taken before the report is emptied, when the folder is there.
    const auto outputFolder = options.outputDir != juce::File() ? options.outputDir : options.outputFile.getParentDirectory();
    std::unique_ptr<FolderClaim> claim;
    bool claimTried = false;
    const auto claimOutputFolder = [&]
    {
        claimTried = true;
        juce::StringArray names;
        for (const auto& input : files)
        {
            names.addIfNotAlreadyThere (options.outputDir != juce::File() ? input.getFileName()
                                                                          : options.outputFile.getFileName());
            if (options.config.denoise)
                names.addIfNotAlreadyThere (asrFeedName (input));
        }
        juce::String taken;
        if (FolderClaim::take (outputFolder, names, claim, taken) != FolderClaim::Result::taken)
            return true;
        std::cerr << "ERROR: Output directory is in use by another run that writes " << taken.toStdString()
                  << " there too: " << outputFolder.getFullPathName().toStdString() << std::endl;
        return false;
    };
    if (outputFolder.isDirectory() && ! claimOutputFolder())
        return 1;

    // Created before any output: a report that cannot be written stops the run untouched.
    std::unique_ptr<ReportWriter> report;
    if (options.reportFile != juce::File())
    {
        juce::String error;
        report = ReportWriter::create (options.reportFile, error);
        if (report == nullptr)
        {
            std::cerr << "ERROR: " << error.toStdString() << std::endl;
            return 1;
        }
    }

    if (options.reportHtmlFile != juce::File() && ! pageCanBeWritten (options))
    {
        std::cerr << "ERROR: Failed to create report page: " << options.reportHtmlFile.getFullPathName().toStdString()
                  << std::endl;
        return 1;
    }

    if (batch)
        options.outputDir.createDirectory();
    else
        options.outputFile.getParentDirectory().createDirectory();
    if (! claimTried && ! claimOutputFolder())
        return 1;

    if (workerCount <= 0)
        workerCount = computeWorkerCount();
    juce::Logger::writeToLog ("[System] Initializing ThreadPool with " + juce::String (workerCount) + " workers.");

    // The page of the lines the run gathered; false (and the log says why) when it could not be written.
    const auto writePage = [&options] (const std::vector<juce::String>& texts)
    {
        if (options.reportHtmlFile == juce::File())
            return true;
        ReportLines lines;
        for (auto& text : texts)
        {
            juce::var parsed; // read as --render-report reads it, so both make the same page
            if (report_line::parse (text.toStdString(), parsed) == report_line::Refusal::none)
                lines.add (parsed);
        }
        if (const auto error = writeReportPage (options.reportHtmlFile, lines.all()); error.isNotEmpty())
        {
            juce::Logger::writeToLog ("[System] ERROR: " + error);
            return false;
        }
        juce::Logger::writeToLog ("[System] Report page written: " + options.reportHtmlFile.getFullPathName());
        return true;
    };

    std::atomic<int> successCount { 0 };
    std::atomic<int> failureCount { 0 };
    std::atomic<int> checkFailureCount { 0 };
    std::atomic<int> remaining { files.size() };
    juce::WaitableEvent done;

    int exitCode = 0;
    {
        juce::ThreadPool pool (workerCount, 0, juce::Thread::Priority::normal);

        if (files.isEmpty())
        {
            // Still no failure, as ever (callers rely on it), but a mistyped folder is told apart from an empty one.
            if (batch && ! options.inputDir.isDirectory())
                juce::Logger::writeToLog ("[System] WARNING: Input directory does not exist: "
                                          + options.inputDir.getFullPathName());
            juce::Logger::writeToLog ("[System] No files found to process.");
            // As the report, the page of a run without files is there and empty.
            return writePage ({}) ? 0 : 2;
        }

        auto config = options.config;
        // A report or the page asks the pipeline to measure what it wrote, and so does a preset, whose
        // checks the exit status tells.
        const bool page = options.reportHtmlFile != juce::File();
        config.measureOutput = report != nullptr || page || config.deliveryPreset.isNotEmpty();

        // The page is made from the very lines a report holds, kept here as they come.
        std::mutex pageLock;
        std::vector<juce::String> pageLines;

        std::unique_ptr<ProgressLine> progress;
        if (isatty (STDERR_FILENO) == 1)
            progress = std::make_unique<ProgressLine> (files.size());

        for (auto& file : files)
        {
            pool.addJob ([file, options, config, page, &successCount, &failureCount, &checkFailureCount, &remaining, &done, &report,
                          &pageLock, &pageLines, &progress]
            {
                const auto output = outputFileFor (options, file);

                // A job never takes the process down: whatever escapes the
                // pipeline (allocation failures on huge files) fails this file only.
                juce::String error;
                bool ok = false;
                std::optional<PipelineResult> result;
                try
                {
                    result = AudioPipeline::processFile (file, output, config);
                    ok = result->success;
                    error = result->errorMessage;
                }
                catch (const std::exception& e)
                {
                    error = describeException (e);
                }
                catch (...)
                {
                    error = "Unexpected error while processing";
                }

                if (ok)
                {
                    ++successCount;
                    if (deliveryChecksFailed (config, *result))
                        ++checkFailureCount;
                }
                else
                {
                    ++failureCount;
                    juce::Logger::writeToLog ("[Error] Failed processing " + file.getFileName() + ": " + error);
                }

                // A line that cannot be written is counted by the report, not raised.
                if (report != nullptr)
                    report->add (file, output, config, result ? &*result : nullptr, error);
                // Accounted for (the report, when there is one, took it off inside its lock).
                InFlightFiles::remove (output);

                if (page)
                {
                    try
                    {
                        auto line = reportLine (file, output, config, result ? &*result : nullptr, error);
                        const std::lock_guard<std::mutex> guard (pageLock);
                        pageLines.push_back (std::move (line));
                    }
                    catch (...)
                    {
                        // The file's row is lost; the page still shows the others.
                    }
                }

                if (progress != nullptr)
                    progress->fileFinished (ok);

                if (--remaining == 0)
                    done.signal();
            });
        }

        done.wait (-1);
        progress.reset();

        const bool pageWritten = writePage (pageLines);

        // A report that is not whole fails the run, though every file in it was mastered.
        const auto reportError = report != nullptr ? report->finish() : juce::String();
        if (reportError.isNotEmpty())
            std::cerr << "ERROR: " << reportError.toStdString() << std::endl;

        std::cout << "{\"status\":\"batch_complete\",\"success\":" << successCount.load()
                  << ",\"failed\":" << failureCount.load() << "}" << std::endl;

        // A report that is not whole, or a page that was asked for and could not be written, fails the
        // run as a failed file does.
        // Every file mastered but some failed its delivery checks: a status of its own.
        exitCode = failureCount.load() > 0 || reportError.isNotEmpty() || ! pageWritten ? 2
                   : checkFailureCount.load() > 0                                        ? kExitChecksFailed
                                                                                          : 0;
    }

    return exitCode;
}
