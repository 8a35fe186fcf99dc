#pragma once

#include "common/Outcome.h"
#include "pipeline/Delivery.h"
#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"

#include <juce_core/juce_core.h>

#include <memory>

namespace tessaloom
{

// The per-file report of a run: a JSON Lines file, one object per input file,
// each written whole under one lock as its file finishes, so that several
// workers never mix their lines and a run cut short leaves every finished
// file's line on disk.
//
// A report that cannot be written (a full disk, /dev/full, an I/O error) is
// never cut silently: the line that failed is taken back off the end of the
// file, nothing more is written, and finish() says what the file holds.
class ReportWriter
{
public:
    // Creates (or empties) the file into writer; fails with "Failed to create report file: <path>" when it
    // cannot, and leaves writer empty.
    static Outcome create (const juce::File& file, std::unique_ptr<ReportWriter>& writer);
    ~ReportWriter();

    // The line of one input. result is null when the pipeline never returned
    // (an exception); error is the message the log shows for a failed file.
    // Never throws: a line that cannot be written is counted, not raised.
    void add (const juce::File& input, const juce::File& output, const PipelineConfig& config,
              const PipelineResult* result, const juce::String& error);

    // A line made elsewhere (a check-only run's), written the same way.
    void addLine (const juce::String& line);

    // Closes the file. Ok when every line given to add is in it, whole; otherwise
    // fails with one sentence for the user naming the file and what it holds.
    Outcome finish();

    // For a process about to end by a signal: waits for a line being written
    // to be whole, and keeps every report from starting another. Never released.
    static void holdForExit();

private:
    // settledOutput, when given, leaves the files in flight under the lock once its line is down.
    void writeLine (const juce::String& lineWithEnd, bool built, const juce::File* settledOutput);

    ReportWriter (int descriptor, const juce::File& path) : fd (descriptor), file (path) {}

    int fd = -1;
    juce::File file;
    // The length of the file up to the end of its last whole line.
    juce::int64 wholeBytes = 0;
    int linesWritten = 0;
    int linesLost = 0;
    // Why writing stopped (empty while all is well), and whether a cut line
    // could not be taken back (a pipe or a device cannot be shortened).
    juce::String failure;
    bool lastLineCut = false;
};

// One report line (no line feed).
juce::String reportLine (const juce::File& input, const juce::File& output, const PipelineConfig& config,
                         const PipelineResult* result, const juce::String& error);

// One line of a check-only run (--check): the file measured against the
// limits; measured is null when the file could not be read (error says why).
juce::String checkReportLine (const juce::File& input, const delivery::Preset& limits, const OutputMeasurement* measured,
                              const juce::String& error, double processingTimeMs);

} // namespace tessaloom
