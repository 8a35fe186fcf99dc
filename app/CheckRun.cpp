#include "app/CheckRun.h"

#include "app/BatchRunner.h"
#include "app/HtmlReport.h"
#include "app/Refusals.h"
#include "app/ReportWriter.h"
#include "app/RunFailure.h"
#include "app/RunPage.h"

#include "pipeline/CheckMeasure.h"
#include "pipeline/Delivery.h"

#include <atomic>
#include <iostream>
#include <mutex>

namespace tessaloom
{

namespace
{
// The failed requirements with their measured values and limits, for the log line.
juce::String failedChecksText (const delivery::Verdict& verdict)
{
    juce::StringArray failed;
    for (const auto& c : verdict.checks)
        if (! c.pass)
        {
            juce::String text;
            text << c.requirement << " " << juce::String (c.measured, 2);
            if (c.min && c.max)
                text << " (allowed " << juce::String (*c.min, 2) << " to " << juce::String (*c.max, 2) << ")";
            else if (c.max)
                text << " (at most " << juce::String (*c.max, 2) << ")";
            else if (c.min)
                text << " (at least " << juce::String (*c.min, 2) << ")";
            failed.add (text);
        }
    return failed.joinIntoString (", ");
}
} // namespace

bool deliveryChecksFailed (const PipelineConfig& config, const PipelineResult& result)
{
    if (config.deliveryPreset.isEmpty() || ! result.success)
        return false;
    const auto* preset = delivery::findPreset (config.deliveryPreset);
    if (preset == nullptr || ! result.output)
        return true;
    return ! delivery::check (*preset, *result.output).pass;
}

namespace
{
// What the workers of a check run share.
struct Checks
{
    Checks (const delivery::Preset& checkLimits, ReportWriter* reportWriter, bool withPage, int numFiles)
        : limits (checkLimits), report (reportWriter), page (withPage), remaining (numFiles)
    {
    }

    const delivery::Preset& limits;
    ReportWriter* const report;
    const bool page;
    std::atomic<int> passed { 0 }, failed { 0 }, unreadable { 0 }, remaining;
    juce::WaitableEvent done;
    std::mutex pageLock;
    std::vector<juce::String> pageLines;
};

// Measures one file against the limits, logs the verdict and counts it; returns its report line.
juce::String checkOne (const juce::File& file, Checks& checks)
{
    const double startMs = juce::Time::getMillisecondCounterHiRes();
    const auto reading = check_measure::measureForChecks (file);
    const double ms = juce::Time::getMillisecondCounterHiRes() - startMs;
    if (! reading.measurement)
    {
        ++checks.unreadable;
        juce::Logger::writeToLog ("[Error] Failed checking " + file.getFileName() + ": " + reading.error);
    }
    else if (const auto verdict = delivery::check (checks.limits, *reading.measurement); verdict.pass)
    {
        ++checks.passed;
        juce::Logger::writeToLog ("[Check] Passed " + file.getFileName());
    }
    else
    {
        ++checks.failed;
        juce::Logger::writeToLog ("[Check] Failed " + file.getFileName() + ": " + failedChecksText (verdict));
    }
    return checkReportLine (file, checks.limits, reading.measurement ? &*reading.measurement : nullptr, reading.error, ms);
}

void checkJob (const juce::File& file, Checks& checks)
{
    juce::String line;
    try
    {
        line = checkOne (file, checks);
    }
    catch (const std::exception& e)
    {
        ++checks.unreadable;
        const juce::String error = "Unexpected error while checking: " + juce::String (e.what());
        juce::Logger::writeToLog ("[Error] Failed checking " + file.getFileName() + ": " + error);
        line = checkReportLine (file, checks.limits, nullptr, error, 0.0);
    }
    if (checks.report != nullptr)
        checks.report->addLine (line);
    if (checks.page)
    {
        const std::lock_guard<std::mutex> guard (checks.pageLock);
        checks.pageLines.push_back (line);
    }
    if (--checks.remaining == 0)
        checks.done.signal();
}

void checkAll (const juce::Array<juce::File>& files, Checks& checks, int workerCount)
{
    if (files.isEmpty())
    {
        juce::Logger::writeToLog ("[System] No files found to process.");
        return;
    }
    juce::ThreadPool pool (workerCount, 0, juce::Thread::Priority::normal);
    for (const auto& file : files)
        pool.addJob ([&checks, file] { checkJob (file, checks); });
    checks.done.wait (-1);
}

// Before anything is measured: the report created (emptied), the page's folder tried.
Outcome prepare (const CommandLineOptions& options, std::unique_ptr<ReportWriter>& report)
{
    if (options.reportFile != juce::File())
        if (auto created = ReportWriter::create (options.reportFile, report); ! created.ok())
            return created;
    return run_page::writable (options);
}

// The page from the lines gathered, the report closed, the summary line; the exit code.
int finish (Checks& checks, const juce::File& pagePath)
{
    bool pageWritten = true;
    if (checks.page)
    {
        ReportLines lines;
        for (const auto& text : checks.pageLines)
        {
            juce::var parsed;
            if (juce::JSON::parse (text, parsed).wasOk())
                lines.add (parsed);
        }
        pageWritten = run_page::write (pagePath, lines).ok();
    }
    const auto reportClosed = checks.report != nullptr ? checks.report->finish() : Outcome::success();
    if (! reportClosed.ok())
        run_failure::tell (reportClosed);

    std::cout << "{\"status\":\"check_complete\",\"passed\":" << checks.passed.load() << ",\"failed\":" << checks.failed.load()
              << ",\"unreadable\":" << checks.unreadable.load() << "}" << std::endl;

    if (checks.unreadable.load() > 0 || ! reportClosed.ok() || ! pageWritten)
        return 2;
    return checks.failed.load() > 0 ? kExitChecksFailed : 0;
}
} // namespace

int runCheck (const CommandLineOptions& options, int workerCount)
{
    const auto files = collectInputFiles (options);
    if (const auto refused = refusals::ofCheck (options, files); ! refused.ok())
    {
        run_failure::refuse (refused);
        return run_failure::kRefused;
    }
    std::unique_ptr<ReportWriter> report;
    if (const auto prepared = prepare (options, report); ! prepared.ok())
    {
        run_failure::tell (prepared);
        return run_failure::kRefused;
    }

    if (workerCount <= 0)
        workerCount = computeWorkerCount();
    const auto& limits = options.checkLimits;
    juce::Logger::writeToLog ("[Check] Checking " + juce::String (files.size()) + (files.size() == 1 ? " file" : " files")
                              + " against " + limits.name + ".");

    Checks checks (limits, report.get(), options.reportHtmlFile != juce::File(), files.size());
    checkAll (files, checks, workerCount);
    return finish (checks, options.reportHtmlFile);
}

} // namespace tessaloom
