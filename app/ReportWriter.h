#pragma once

#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"

#include <juce_core/juce_core.h>

#include <cstdio>
#include <memory>
#include <mutex>

// The per-file report of a run: a JSON Lines file, one object per input file,
// each written whole under one lock and flushed as its file finishes, so that
// several workers never mix their lines and a run cut short leaves every
// finished file's line on disk.
class ReportWriter
{
public:
    // Creates (or empties) the file; nullptr and "Failed to create report file: <path>" when it cannot.
    static std::unique_ptr<ReportWriter> create (const juce::File& file, juce::String& error);
    ~ReportWriter();

    // The line of one input. result is null when the pipeline never returned
    // (an exception); error is the message the log shows for a failed file.
    void add (const juce::File& input, const juce::File& output, const PipelineConfig& config,
              const PipelineResult* result, const juce::String& error);

private:
    explicit ReportWriter (std::FILE* f) : stream (f) {}

    std::mutex lock;
    std::FILE* stream = nullptr;
};

// One report line (no line feed).
juce::String reportLine (const juce::File& input, const juce::File& output, const PipelineConfig& config,
                         const PipelineResult* result, const juce::String& error);
