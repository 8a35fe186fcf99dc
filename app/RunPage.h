#pragma once

#include "app/CommandLine.h"
#include "app/HtmlReport.h"

#include "common/Outcome.h"

namespace tessaloom
{

// The --report-html page of a mastering or check run: tried before the run,
// written when it ends.
namespace run_page
{
// Whether the page can be written when the run ends: its folder takes a file
// (tried by making and removing one, as permission bits do not bind root), or
// it is a device or pipe written through, or its folder is the output folder
// the run makes. Failed ("Failed to create report page: <path>") when not; ok
// when no page was asked for.
Outcome writable (const CommandLineOptions& options);

// Writes the page of these lines; the log says it was written, or why not.
Outcome write (const juce::File& page, const ReportLines& lines);
} // namespace run_page

} // namespace tessaloom
