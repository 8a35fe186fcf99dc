#include "app/CheckRun.h"

#include "app/BatchRunner.h"
#include "app/HtmlReport.h"
#include "app/ReportWriter.h"

#include "pipeline/CheckMeasure.h"
#include "pipeline/Delivery.h"

#include <atomic>
#include <filesystem>
#include <iostream>
#include <mutex>

namespace
{
bool sameLocation (const juce::File& a, const juce::File& b)
{
    if (a == b)
        return true;
    std::error_code ec;
    const bool same = std::filesystem::equivalent (a.getFullPathName().toStdString(), b.getFullPathName().toStdString(), ec);
    return ! ec && same;
}

// A check run writes only the report and the page: neither may land on an input or on each other.
juce::String refusalReason (const CommandLineOptions& options, const juce::Array<juce::File>& files)
{
    const auto& report = options.reportFile;
    const auto& page = options.reportHtmlFile;
    for (const auto& input : files)
    {
        if (report != juce::File() && sameLocation (report, input))
            return "Report file is an input file; the input would be overwritten: " + report.getFullPathName();
        if (page != juce::File() && sameLocation (page, input))
            return "Report page is an input file; the input would be overwritten: " + page.getFullPathName();
    }
    if (report != juce::File() && page != juce::File() && sameLocation (page, report))
        return "Report page is the report file: " + page.getFullPathName();
    return {};
}

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

int runCheck (const CommandLineOptions& options, int workerCount)
{
    const auto files = collectInputFiles (options);
    if (const auto reason = refusalReason (options, files); reason.isNotEmpty())
    {
        std::cerr << "ERROR: " << reason.toStdString() << "\n"
                  << "Run with --help for usage information." << std::endl;
        return 1;
    }

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

    if (workerCount <= 0)
        workerCount = computeWorkerCount();
    const auto& limits = options.checkLimits;
    juce::Logger::writeToLog ("[Check] Checking " + juce::String (files.size()) + (files.size() == 1 ? " file" : " files")
                              + " against " + limits.name + ".");

    std::atomic<int> passed { 0 }, failed { 0 }, unreadable { 0 };
    std::mutex pageLock;
    std::vector<juce::String> pageLines;
    const auto& pagePath = options.reportHtmlFile;
    const bool page = pagePath != juce::File();
    std::atomic<int> remaining { files.size() };
    juce::WaitableEvent done;
    if (! files.isEmpty())
    {
        juce::ThreadPool pool (workerCount, 0, juce::Thread::Priority::normal);
        for (const auto& file : files)
            pool.addJob ([&, file]
            {
                const double startMs = juce::Time::getMillisecondCounterHiRes();
                juce::String line;
                try
                {
                    const auto reading = check_measure::measureForChecks (file);
                    const double ms = juce::Time::getMillisecondCounterHiRes() - startMs;
                    if (reading.measurement)
                    {
                        const auto verdict = delivery::check (limits, *reading.measurement);
                        if (verdict.pass)
                        {
                            ++passed;
                            juce::Logger::writeToLog ("[Check] Passed " + file.getFileName());
                        }
                        else
                        {
                            ++failed;
                            juce::Logger::writeToLog ("[Check] Failed " + file.getFileName() + ": " + failedChecksText (verdict));
                        }
                    }
                    else
                    {
                        ++unreadable;
                        juce::Logger::writeToLog ("[Error] Failed checking " + file.getFileName() + ": " + reading.error);
                    }
                    line = checkReportLine (file, limits, reading.measurement ? &*reading.measurement : nullptr,
                                            reading.error, ms);
                }
                catch (const std::exception& e)
                {
                    ++unreadable;
                    const juce::String error = "Unexpected error while checking: " + juce::String (e.what());
                    juce::Logger::writeToLog ("[Error] Failed checking " + file.getFileName() + ": " + error);
                    line = checkReportLine (file, limits, nullptr, error, 0.0);
                }
                if (report != nullptr)
                    report->addLine (line);
                if (page)
                {
                    const std::lock_guard<std::mutex> guard (pageLock);
                    pageLines.push_back (line);
                }
                if (--remaining == 0)
                    done.signal();
            });
        done.wait (-1);
    }
    else
        juce::Logger::writeToLog ("[System] No files found to process.");

    bool pageWritten = true;
    if (page)
    {
        ReportLines lines;
        for (const auto& text : pageLines)
        {
            juce::var parsed;
            if (juce::JSON::parse (text, parsed).wasOk())
                lines.add (parsed);
        }
        if (const auto error = writeReportPage (pagePath, lines.all()); error.isNotEmpty())
        {
            juce::Logger::writeToLog ("[System] ERROR: " + error);
            pageWritten = false;
        }
        else
            juce::Logger::writeToLog ("[System] Report page written: " + pagePath.getFullPathName());
    }
    const auto reportError = report != nullptr ? report->finish() : juce::String();
    if (reportError.isNotEmpty())
        std::cerr << "ERROR: " << reportError.toStdString() << std::endl;

    std::cout << "{\"status\":\"check_complete\",\"passed\":" << passed.load() << ",\"failed\":" << failed.load()
              << ",\"unreadable\":" << unreadable.load() << "}" << std::endl;

    if (unreadable.load() > 0 || reportError.isNotEmpty() || ! pageWritten)
        return 2;
    return failed.load() > 0 ? kExitChecksFailed : 0;
}
