#include "app/BatchRunner.h"

#include "app/CheckRun.h"
#include "app/HtmlReport.h"
#include "app/ProgressLine.h"
#include "app/Refusals.h"
#include "app/RenderReport.h"
#include "app/ReportLineParser.h"
#include "app/ReportWriter.h"
#include "app/RunFailure.h"
#include "app/RunPage.h"
#include "app/RunPlan.h"

#include "io/FolderClaim.h"
#include "io/InFlightFiles.h"
#include "pipeline/AudioPipeline.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

namespace tessaloom
{

namespace
{
// What the run holds from before its first file to after its last: the names
// it writes in its output folder (io/FolderClaim.h) and the report.
struct Held
{
    std::unique_ptr<FolderClaim> claim;
    bool claimTried = false;
    std::unique_ptr<ReportWriter> report;
};

Outcome claimOutputFolder (const run_plan::Plan& plan, Held& held)
{
    held.claimTried = true;
    juce::String taken;
    if (FolderClaim::take (plan.outputFolder, plan.claimedNames(), held.claim, taken) != FolderClaim::Result::taken)
        return Outcome::success();
    return Outcome::failure ("Output directory is in use by another run that writes " + taken + " there too: "
                             + plan.outputFolder.getFullPathName());
}

Outcome openReport (const CommandLineOptions& options, Held& held)
{
    if (options.reportFile == juce::File())
        return Outcome::success();
    return ReportWriter::create (options.reportFile, held.report);
}

// Everything before the first file. The folder's names are claimed before the
// report is emptied, when the folder is there (else once it is made); the
// report is created before any output, so a report that cannot be written
// stops the run untouched; and so does a page whose folder takes no file.
Outcome prepare (const CommandLineOptions& options, const run_plan::Plan& plan, Held& held)
{
    if (plan.outputFolder.isDirectory())
        if (auto claimed = claimOutputFolder (plan, held); ! claimed.ok())
            return claimed;
    if (auto report = openReport (options, held); ! report.ok())
        return report;
    if (auto page = run_page::writable (options); ! page.ok())
        return page;
    (plan.batch ? options.outputDir : options.outputFile.getParentDirectory()).createDirectory();
    return held.claimTried ? Outcome::success() : claimOutputFolder (plan, held);
}

// The page of the lines the run gathered, each read as --render-report reads
// it, so that both make the same page. Ok when no page was asked for.
Outcome writePage (const juce::File& page, const std::vector<juce::String>& texts)
{
    if (page == juce::File())
        return Outcome::success();
    ReportLines lines;
    for (const auto& text : texts)
    {
        juce::var parsed;
        if (report_line::parse (text.toStdString(), parsed) == report_line::Refusal::none)
            lines.add (parsed);
    }
    return run_page::write (page, lines);
}

// Still no failure, as ever (callers rely on it), but a mistyped folder is told
// apart from an empty one; as the report, the page of a run without files is
// there and empty.
int noFiles (const CommandLineOptions& options)
{
    if (options.inputDir != juce::File() && ! options.inputDir.isDirectory())
        juce::Logger::writeToLog ("[System] WARNING: Input directory does not exist: " + options.inputDir.getFullPathName());
    juce::Logger::writeToLog ("[System] No files found to process.");
    return writePage (options.reportHtmlFile, {}).ok() ? 0 : 2;
}

// What the workers share while the files are mastered.
struct Batch
{
    Batch (const CommandLineOptions& options, ReportWriter* reportWriter, int numFiles)
        : config (options.config), report (reportWriter), page (options.reportHtmlFile != juce::File()), remaining (numFiles)
    {
        // A report or the page asks the pipeline to measure what it wrote, and so does a preset, whose
        // checks the exit status tells.
        config.measureOutput = report != nullptr || page || config.deliveryPreset.isNotEmpty();
    }

    PipelineConfig config;
    ReportWriter* const report;
    const bool page;
    std::unique_ptr<progress::ProgressLine> progress;
    std::atomic<int> succeeded { 0 }, failed { 0 }, checksFailed { 0 }, remaining;
    juce::WaitableEvent done;
    // The page is made from the very lines a report holds, kept here as they come.
    std::mutex pageLock;
    std::vector<juce::String> pageLines;
};

juce::String describeException (const std::exception& e)
{
    if (dynamic_cast<const std::bad_alloc*> (&e) != nullptr)
        return "Out of memory while processing (" + juce::String (e.what()) + ")";
    return "Unexpected error while processing: " + juce::String (e.what());
}

// What became of one file.
struct Mastered
{
    std::optional<PipelineResult> result;
    bool ok = false;
    juce::String error;

    const PipelineResult* pipelineResult() const { return result ? &*result : nullptr; }
};

// A job never takes the process down: whatever escapes the pipeline
// (allocation failures on huge files) fails this file only.
Mastered master (const run_plan::Item& item, const PipelineConfig& config)
{
    Mastered m;
    try
    {
        m.result = AudioPipeline::processFile (item.input, item.output, config);
        m.ok = m.result->success;
        m.error = m.result->errorMessage;
    }
    catch (const std::exception& e)
    {
        m.error = describeException (e);
    }
    catch (...)
    {
        m.error = "Unexpected error while processing";
    }
    return m;
}

void count (Batch& batch, const run_plan::Item& item, const Mastered& m)
{
    if (m.ok)
    {
        ++batch.succeeded;
        if (deliveryChecksFailed (batch.config, *m.result))
            ++batch.checksFailed;
    }
    else
    {
        ++batch.failed;
        juce::Logger::writeToLog ("[Error] Failed processing " + item.input.getFileName() + ": " + m.error);
    }
}

void keepPageLine (Batch& batch, const run_plan::Item& item, const Mastered& m)
{
    try
    {
        auto line = reportLine (item.input, item.output, batch.config, m.pipelineResult(), m.error);
        const std::lock_guard<std::mutex> guard (batch.pageLock);
        batch.pageLines.push_back (std::move (line));
    }
    catch (...)
    {
        // The file's row is lost; the page still shows the others.
    }
}

void masterOne (const run_plan::Item& item, Batch& batch)
{
    const auto m = master (item, batch.config);
    count (batch, item, m);
    // A line that cannot be written is counted by the report, not raised.
    if (batch.report != nullptr)
        batch.report->add (item.input, item.output, batch.config, m.pipelineResult(), m.error);
    // Accounted for (the report, when there is one, took it off inside its lock).
    in_flight_files::remove (item.output);
    if (batch.page)
        keepPageLine (batch, item, m);
    if (batch.progress != nullptr)
        batch.progress->fileFinished (m.ok);
    if (--batch.remaining == 0)
        batch.done.signal();
}

void masterAll (const run_plan::Plan& plan, Batch& batch, int workerCount)
{
    juce::ThreadPool pool (workerCount, 0, juce::Thread::Priority::normal);
    batch.progress = progress::onTerminal ((int) plan.items.size());
    for (const auto& item : plan.items)
        pool.addJob ([item, &batch] { masterOne (item, batch); });
    batch.done.wait (-1);
    batch.progress.reset();
}

// The page, the report closed, the summary line; the exit code. A report that
// is not whole, or a page that was asked for and could not be written, fails
// the run as a failed file does, though every file was mastered. Every file
// mastered but some failed its delivery checks: a status of its own.
int finish (Batch& batch, Held& held, const juce::File& page)
{
    const bool pageWritten = writePage (page, batch.pageLines).ok();
    const auto reportClosed = held.report != nullptr ? held.report->finish() : Outcome::success();
    if (! reportClosed.ok())
        run_failure::tell (reportClosed);

    std::cout << "{\"status\":\"batch_complete\",\"success\":" << batch.succeeded.load()
              << ",\"failed\":" << batch.failed.load() << "}" << std::endl;

    if (batch.failed.load() > 0 || ! reportClosed.ok() || ! pageWritten)
        return 2;
    return batch.checksFailed.load() > 0 ? kExitChecksFailed : 0;
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

int runBatch (const CommandLineOptions& options, int workerCount)
{
    if (! options.renderReports.isEmpty())
        return render_only::run (options);
    if (options.checkOnly)
        return runCheck (options, workerCount);

    const auto plan = run_plan::make (options, collectInputFiles (options));
    if (const auto refused = refusals::ofMastering (options, plan); ! refused.ok())
    {
        run_failure::refuse (refused);
        return run_failure::kRefused;
    }
    Held held;
    if (const auto prepared = prepare (options, plan, held); ! prepared.ok())
    {
        run_failure::tell (prepared);
        return run_failure::kRefused;
    }

    if (workerCount <= 0)
        workerCount = computeWorkerCount();
    juce::Logger::writeToLog ("[System] Initializing ThreadPool with " + juce::String (workerCount) + " workers.");
    if (plan.items.empty())
        return noFiles (options);

    Batch batch (options, held.report.get(), (int) plan.items.size());
    masterAll (plan, batch, workerCount);
    return finish (batch, held, options.reportHtmlFile);
}

} // namespace tessaloom
