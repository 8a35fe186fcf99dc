#include "tools/SubprocessRunner.h"

// Placeholder until the runner lands: nothing is started.
SubprocessResult SubprocessRunner::run (const juce::StringArray& arguments, int)
{
    SubprocessResult r;
    r.errorMessage = arguments.isEmpty() ? "ERROR: Empty command arguments"
                                         : "ERROR: Failed to start process: " + arguments[0];
    return r;
}
