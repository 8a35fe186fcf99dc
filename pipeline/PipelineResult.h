#pragma once

#include <juce_core/juce_core.h>

// What one pipeline call reports. Every field is defined on every return.
struct PipelineResult
{
    bool success = false;
    juce::String errorMessage;
    // "DeepFilterNet3", "None (passthrough)", "Failed" or "Skipped".
    juce::String denoiseEngine;
    // JSON of the Pass 1 analysis; empty when Pass 1 could not read the input.
    juce::String analysisJson;
    double processingTimeMs = 0.0;
};
