#pragma once

#include "common/Outcome.h"

#include <juce_core/juce_core.h>

#include <map>
#include <string>
#include <vector>

namespace tessaloom
{

// The batch page: one self-contained HTML file (inline style, script and SVG
// pictures, nothing fetched from anywhere) made from the per-file report's
// lines, so the page of a run and the page made later from its report (or from
// the merged report of a scale-out run) are the same page.

// The lines of one or more reports, one per input: a line for an input
// already held replaces it (a later report of the same input is the newer
// result).
class ReportLines
{
public:
    // A line that is not a report object (no inputPath) is refused: false.
    bool add (const juce::var& line);

    // Adds every line of a JSON Lines report; lines that are not report
    // objects are skipped, each named in warnings. Fails, saying which
    // file, when it cannot be read.
    Outcome addFile (const juce::File& report, juce::StringArray& warnings);

    const std::vector<juce::var>& all() const noexcept { return lines; }

private:
    std::vector<juce::var> lines;
    std::map<juce::String, size_t> byInput;
};

// The page of these report lines, rows in input-path order.
std::string htmlReportPage (const std::vector<juce::var>& lines);

// Writes the page under a temporary name beside the target and renames it over
// the target once complete; fails with "Failed to write report page: <path>".
Outcome writeReportPage (const juce::File& page, const std::vector<juce::var>& lines);

} // namespace tessaloom
