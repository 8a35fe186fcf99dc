#pragma once

#include "analysis/AudioAnalyzer.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Pass.h"
#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"
#include "pipeline/stages/LoudnessFinish.h"
#include "pipeline/stages/NormalizationGain.h"

#include <juce_core/juce_core.h>

#include <optional>
#include <vector>

// The chain's steps: how each is named, switched and checked (the table), and
// how each is designed for a file, with what it records and logs.

// Which command-line switch a step depends on.
enum class Switch { none, eq, compressor };

// What a bypass number does to its step.
enum class WhenBypassed
{
    skip,        // the step does not run (its header is printed only if `headerPrinted` says always)
    measureOnly  // the step runs its measurement, and applies no gain
};

// Whether the header line is printed when the step does not run.
enum class Header { always, whenItRuns };

struct ChainStep
{
    const char* header;      // "{target}", "{ceiling}" and "{voice}" are filled in
    Header headerPrinted;
    BypassStage bypass;
    WhenBypassed whenBypassed;
    Switch switchedBy;
    const char* checkLabel;  // names the step in a non-finite error
    const char* reportLabel; // names the step in the peak report
};

bool bypassed (const ChainStep& step, const PipelineConfig& config);
bool runs (const ChainStep& step, const PipelineConfig& config);

// Logs the step's header line, when it runs or its header is always printed.
void logHeader (const ChainStep& step, const PipelineConfig& config);

// What the chain knows when it designs its steps. Every design records what it
// set in `settings`.
struct StepContext
{
    double sampleRate;
    int numChannels;
    const PipelineConfig& config;
    const AutoMapParameters& params;
    const Analysis& beforePreGain;
    ChainSettings& settings;
};

// A step designed for this file: its log lines after the header, and its processor (none: it changes nothing).
struct PreparedStep
{
    juce::StringArray lines;
    pass::ChannelProcess process;
};

// The designers of the shaping steps.
namespace step_design
{
PreparedStep preGain (const StepContext&, bool bypassed);
PreparedStep deEsser (const StepContext&, bool bypassed);
PreparedStep expander (const StepContext&, bool bypassed);
PreparedStep vocalEq (const StepContext&, bool bypassed);
PreparedStep leveler (const StepContext&, bool bypassed);
PreparedStep saturation (const StepContext&, bool bypassed);
} // namespace step_design

// A step of the shaping pass and its designer (called only when the step runs).
struct ShapingStep
{
    ChainStep step;
    PreparedStep (*prepare) (const StepContext&, bool bypassed);
};

// The steps from pre-gain to saturation, in run order: they shape the sound
// in one pass. Normalization needs the loudness of all of it first, and the
// output trim the peak after the limiter, so those run in passes of their own.
const std::vector<ShapingStep>& shapingSteps();

// The steps of the passes over the spilled samples.
extern const ChainStep normalizationStep;
extern const ChainStep limiterStep;        // the limiter and the output trim
extern const ChainStep loudnessFinishStep; // in place of limiterStep with --finish loudness

// Normalization, designed from the loudness of the shaped file (measured even
// when bypassed, since the analyzer's report is part of the log).
struct NormalizationDesign
{
    stages::NormalizationParameters parameters;
    std::optional<stages::GainSetting> gain;
    juce::StringArray lines; // the shaped file's analysis and the gain
};
NormalizationDesign designNormalization (const StepContext& context, const Analysis& shaped);

// The output trim, designed from the peak the limiter left; lines: the limiter's and the trim's.
struct TrimDesign
{
    std::optional<stages::GainSetting> trim;
    juce::StringArray lines;
};
TrimDesign designTrim (const StepContext& context, float peakAfterLimiter);

// Records what the settled loudness finish set.
void recordFinish (const StepContext& context, const stages::LoudnessFinishReport& report, float gainDb);
