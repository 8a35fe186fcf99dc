#include "app/RenderReport.h"

#include "app/HtmlReport.h"
#include "app/Refusals.h"
#include "app/RunFailure.h"

namespace tessaloom
{

namespace render_only
{
namespace
{
// Every report, whole; a line that is no report line is skipped and said.
Outcome readReports (const CommandLineOptions& options, ReportLines& lines)
{
    for (const auto& report : options.renderReports)
    {
        juce::StringArray warnings;
        if (auto read = lines.addFile (report, warnings); ! read.ok())
            return read;
        for (const auto& w : warnings)
            juce::Logger::writeToLog ("[System] WARNING: Skipped " + w);
    }
    return Outcome::success();
}

Outcome writePage (const juce::File& page, const ReportLines& lines)
{
    if (auto written = writeReportPage (page, lines.all()); ! written.ok())
        return written;
    juce::Logger::writeToLog ("[System] Report page written: " + page.getFullPathName() + " ("
                              + juce::String ((int) lines.all().size()) + " files)");
    return Outcome::success();
}
} // namespace

int run (const CommandLineOptions& options)
{
    ReportLines lines;
    auto outcome = refusals::ofRender (options);
    if (outcome.ok())
        outcome = readReports (options, lines);
    if (outcome.ok())
        outcome = writePage (options.reportHtmlFile, lines);
    if (outcome.ok())
        return 0;
    run_failure::tell (outcome);
    return 1;
}
} // namespace render_only

} // namespace tessaloom
