#pragma once

#include "pipeline/PipelineConfig.h"

#include <juce_core/juce_core.h>

// What the command line asked for.
struct CommandLineOptions
{
    juce::File inputFile;
    juce::File outputFile;
    juce::File inputDir;
    juce::File outputDir;

    bool denoise = true;
    bool compressor = true;
    bool eq = true;
    juce::String voiceType { "Male" };
    juce::String deepFilterPath;
    juce::String ffmpegPath;
    float targetLufs = -18.0f;
    int bypassStage = 0;

    bool showHelp = false;
    bool isValid = false;
    juce::String errorMessage;

    PipelineConfig toPipelineConfig() const;
};

// Parses the argument list (program path first). Never throws, prints nothing.
CommandLineOptions parseCommandLine (const juce::StringArray& arguments);

// The help text, ending with a line break.
juce::String helpText();
