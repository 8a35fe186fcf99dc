#pragma once

#include "app/CommandLine.h"

// Number of pool threads for this machine; logs the "[System] Topology: " line.
int computeWorkerCount();

// The rule behind computeWorkerCount, for a given processor model name and
// logical processor count (0 = not reported). Logs the topology line.
int workerCountFor (const juce::String& processorModel, int logicalProcessors);

// Input files of a run, in listing order: the folder's *.wav files (the
// program's own intermediate files left out) in batch mode, else the one input.
juce::Array<juce::File> collectInputFiles (const CommandLineOptions& options);

// Whether the --report-html page can be written when the run ends: its folder
// takes a file (tried by making and removing one, as permission bits do not
// bind root), or it is a device or pipe written through, or its folder is the
// output folder the run makes.
bool pageCanBeWritten (const CommandLineOptions& options);

// Runs a valid command line on a pool of workerCount threads (0: the count that
// computeWorkerCount gives): lists the files, creates the output folder,
// processes every file, prints the summary line.
// Returns the exit code (0, 1 for a refused run, 2 when any file failed or
// the report could not be written whole).
int runBatch (const CommandLineOptions& options, int workerCount);
