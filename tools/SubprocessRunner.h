#pragma once

#include <juce_core/juce_core.h>

#include "common/Outcome.h"

struct SubprocessResult
{
    int exitCode = -1;
    // Standard output and standard error, merged in arrival order.
    juce::String output;
    // Failed only when the command was not run (no arguments, or it could not
    // be started); a run that ended badly or timed out is ok here and says so
    // in exitCode and timedOut.
    Outcome outcome;
    double elapsedMs = 0.0;
    bool timedOut = false;
};

// Runs an outside executable from an argument list (never a shell) with a time limit.
//
// Each child runs in a process group of its own, with standard input from
// /dev/null, so that whatever it starts in turn can be stopped with it: when
// the child ends, or is killed at the limit, its group is killed too, and
// nothing it started outlives the run.
class SubprocessRunner
{
public:
    static SubprocessResult run (const juce::StringArray& arguments, int timeoutMs);

    // For a process that is about to end by a signal: kills the process group
    // of every child still running, waits (briefly) for those children to
    // end, and keeps any further child from being started. Returns how many
    // groups were killed. Never returns the runner to service.
    static int stopAllForExit();
};
