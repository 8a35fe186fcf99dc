#pragma once

#include "app/CommandLine.h"

namespace tessaloom
{

// Input files of a run, in listing order: the folder's *.wav files (the
// program's own intermediate files left out) in batch mode, else the one input.
// With --all-formats the folder's other audio files too (sorted in with them);
// without, how many were skipped is logged.
juce::Array<juce::File> collectInputFiles (const CommandLineOptions& options);

} // namespace tessaloom
