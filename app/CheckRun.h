#pragma once

#include "app/CommandLine.h"
#include "pipeline/PipelineResult.h"

namespace tessaloom
{

// The exit status of a run in which every file was read (and, in a mastering
// run, mastered) but some file failed a delivery check: a script tells it from
// 0 (all passed), 1 (refused) and 2 (a file failed or the report is not whole).
constexpr int kExitChecksFailed = 3;

// Whether a mastered file's delivery checks failed: its preset's requirements
// not met, or its output not measured so they could not be checked. false
// when the run checks no preset or the file itself failed.
bool deliveryChecksFailed (const PipelineConfig& config, const PipelineResult& result);

// --check: measures every input (one pass each, only what the checks read)
// against options.checkLimits and writes the report and the page, nothing
// else. Logs one line per file and prints the summary line. Returns 0 when
// every file passed, kExitChecksFailed when some failed a check, 2 when a file
// could not be read or the report or page could not be written whole, 1 for
// a refused run.
int runCheck (const CommandLineOptions& options, int workerCount);

} // namespace tessaloom
