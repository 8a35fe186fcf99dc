#pragma once

#include "app/CommandLine.h"
#include "app/InputListing.h"

namespace tessaloom
{

// Number of pool threads for this machine; logs the "[System] Topology: " line.
int computeWorkerCount();

// The rule behind computeWorkerCount, for a given processor model name and
// logical processor count (0 = not reported). Logs the topology line.
int workerCountFor (const juce::String& processorModel, int logicalProcessors);

// Runs a valid command line on a pool of workerCount threads (0: the count that
// computeWorkerCount gives): lists the files, plans the run, refuses one that
// would lose data, claims and creates the output folder, masters every file,
// prints the summary line. --render-report and --check go their own ways
// (app/RenderReport.h, app/CheckRun.h).
// Returns the exit code (0, 1 for a refused run, 2 when any file failed or
// the report could not be written whole, 3 when every file was mastered but
// some failed its preset's checks).
int runBatch (const CommandLineOptions& options, int workerCount);

} // namespace tessaloom
