#pragma once

#include <juce_core/juce_core.h>

namespace tessaloom
{

// The whole program: parses the arguments (program path first) and runs them.
// Returns the process exit code.
int runEngine (const juce::StringArray& arguments);

} // namespace tessaloom
