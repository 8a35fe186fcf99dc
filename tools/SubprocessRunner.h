#pragma once

#include <juce_core/juce_core.h>

#include "common/Outcome.h"

namespace tessaloom
{

struct SubprocessResult
{
    int exitCode = -1;
    // The signal that ended the child, 0 when it exited by itself (exitCode is
    // then 0 too: a child that crashed has no code of its own).
    int signal = 0;
    // Standard output and standard error, merged in arrival order, ready for a
    // log: at most the first and the last 64 KiB of what the child wrote (with
    // a line in between saying how much was left out), control characters
    // other than newline and tab and bytes that are not UTF-8 written as
    // escapes (\x1b), so a child's output can neither flood the memory and the
    // log nor drive the terminal that shows the log.
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
// nothing it started outlives the run. Where the platform allows (Linux), a
// watchdog process started with the first child kills the groups of the
// children still running should this process be killed outright (SIGKILL),
// when none of its own clean-up can run.
class SubprocessRunner
{
public:
    static SubprocessResult run (const juce::StringArray& arguments, int timeoutMs);

    // For a process that is about to end by a signal: kills the process group
    // of every child still running, waits (briefly) for those children to
    // end, and keeps any further child from being started. Returns how many
    // groups were killed. Never returns the runner to service.
    static int stopAllForExit();

    // The name of a signal as a log shows it ("SIGSEGV"), or "signal N".
    static juce::String signalName (int signal);
};

} // namespace tessaloom
