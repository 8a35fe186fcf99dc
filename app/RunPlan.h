#pragma once

#include "app/CommandLine.h"

#include <vector>

namespace tessaloom
{

// What a mastering run will write, computed once before anything is: each
// input with its output and the ASR feed written beside it, the folder they all
// lie in, and the files of the run around them (the pre-filtered copy, the
// report, the page). The refusals read it, the folder claim names its files,
// and each job masters one of its items.
namespace run_plan
{
// Where an input's output goes: --output, or in --output-dir under the input's
// name with the output format's extension (the specified WAV keeps the input's
// name as it is). The one place this rule is written.
juce::File outputFor (const CommandLineOptions& options, const juce::File& input);

// The name of the ASR feed the pipeline leaves beside the output of this input.
juce::String asrFeedName (const juce::File& input);

// Same file or folder on disk, through links and relative parts too.
bool sameLocation (const juce::File& a, const juce::File& b);

// One of the names the run gives its own work files (never an input of a batch).
bool isIntermediateName (const juce::String& fileName);

struct Item
{
    juce::File input;
    juce::File output;
    // Written beside the output when noise reduction is on and the folder
    // takes more than the outputs; none otherwise.
    juce::File asrFeed;
};

struct Plan
{
    bool batch = false;      // --input-dir
    juce::File outputFolder; // every output lies here (a batch of several without --output-dir is refused)
    std::vector<Item> items; // in listing order
    // The pre-filtered copy written beside the outputs; none with --outputs-only.
    juce::File prefiltered;
    juce::File report; // none when not asked for
    juce::File page;   // none when not asked for

    // The names the run writes into its output folder, held for the run (io/FolderClaim.h).
    juce::StringArray claimedNames() const;
};

Plan make (const CommandLineOptions& options, const juce::Array<juce::File>& inputs);
} // namespace run_plan

} // namespace tessaloom
