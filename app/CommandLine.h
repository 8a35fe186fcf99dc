#pragma once

#include "pipeline/Delivery.h"
#include "pipeline/PipelineConfig.h"

#include <juce_core/juce_core.h>

namespace tessaloom
{

// What the command line asked for.
struct CommandLineOptions
{
    juce::File inputFile;
    juce::File outputFile;
    juce::File inputDir;
    juce::File outputDir;
    // The per-file report (JSON Lines); none when not asked for.
    juce::File reportFile;
    // The batch page (HTML), written when the batch ends; none when not asked for.
    juce::File reportHtmlFile;
    // Reports to make the page from instead of mastering anything.
    juce::Array<juce::File> renderReports;

    // --check: measure the inputs against checkLimits and write only the report
    // and the page (app/CheckRun.h).
    bool checkOnly = false;
    delivery::Preset checkLimits {};
    // Batch mode takes every audio format the engine reads, not only *.wav.
    bool allFormats = false;

    // Every per-file setting, handed to each job as it stands.
    PipelineConfig config;

    bool showHelp = false;
    bool showAllHelp = false; // --help-all: the help and the options beyond it
    bool isValid = false;
    juce::String errorMessage;
    // Lines for standard error that do not stop the run (a boolean read as false that may not have been meant so).
    juce::StringArray warnings;
};

// Parses the argument list (program path first). Never throws, prints nothing.
CommandLineOptions parseCommandLine (const juce::StringArray& arguments);

// The help text, ending with a line break.
juce::String helpText();

// The help text followed by every option it does not list, ending with a line break.
juce::String helpAllText();

} // namespace tessaloom
