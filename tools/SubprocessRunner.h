#pragma once

#include <juce_core/juce_core.h>

struct SubprocessResult
{
    int exitCode = -1;
    // Standard output and standard error, merged in arrival order.
    juce::String output;
    // Set only when the command was not run.
    juce::String errorMessage;
    double elapsedMs = 0.0;
    bool timedOut = false;
};

// Runs an outside executable from an argument list (never a shell) with a time limit.
class SubprocessRunner
{
public:
    static SubprocessResult run (const juce::StringArray& arguments, int timeoutMs);
};
