#pragma once

#include "analysis/AudioAnalyzer.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Pass.h"
#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"
#include "pipeline/stages/DeEsser.h"
#include "pipeline/stages/Expander.h"
#include "pipeline/stages/Leveler.h"
#include "pipeline/stages/Limiter.h"
#include "pipeline/stages/LoudnessFinish.h"
#include "pipeline/stages/NormalizationGain.h"
#include "pipeline/stages/OutputTrim.h"
#include "pipeline/stages/PreFilter.h"
#include "pipeline/stages/PreGain.h"
#include "pipeline/stages/Saturation.h"
#include "pipeline/stages/TruePeakLimiter.h"
#include "pipeline/stages/VocalEq.h"
#include "pipeline/steps/StepSettings.h"

#include <juce_core/juce_core.h>

#include <optional>
#include <vector>

namespace tessaloom
{

// The chain's steps. Each step is one file in pipeline/steps/ that holds all
// that is its own: its row (header, switch, bypass number, labels), its design
// for a file, its log lines and its settings record with the record's report
// keys (pipeline/steps/StepSettings.h). This header and Steps.cpp only list them.
namespace steps
{
// Which command-line switch a step depends on.
enum class Switch { none, eq, compressor };

// What the bypass number does to its step.
enum class WhenBypassed
{
    skip,        // the step does not run (its header is printed only if `headerPrinted` says always)
    measureOnly  // the step runs its measurement, and applies no gain
};

// Whether the header line is printed when the step does not run.
enum class Header { always, whenItRuns };

// How a step is named, switched and checked.
struct Row
{
    const char* header;      // "{target}", "{ceiling}" and "{voice}" are filled in
    Header headerPrinted;
    int bypassNumber;        // the --bypass-stage number that skips it (1..7); 0: none does
    WhenBypassed whenBypassed;
    Switch switchedBy;
    const char* checkLabel;  // names the step in a non-finite error
    const char* reportLabel; // names the step in the peak report
};

bool bypassed (const Row& row, const PipelineConfig& config);
bool runs (const Row& row, const PipelineConfig& config);

// Logs the step's header line, when it runs or its header is always printed.
void logHeader (const Row& row, const PipelineConfig& config);

// What the chain knows when it designs its steps.
struct Context
{
    double sampleRate;
    int numChannels;
    const PipelineConfig& config;
    const AutoMapParameters& params;
    const Analysis& beforePreGain;
};

// A step designed for this file: its log lines after the header, its processor
// (none: it changes nothing) and what it was set to.
template <typename Settings>
struct Designed
{
    juce::StringArray lines;
    pass::ChannelProcess process;
    Settings settings;
};

// A shaping step as the chain runs it: its lines and processor, its settings
// put into their place in the file's record.
struct Prepared
{
    juce::StringArray lines;
    pass::ChannelProcess process;
};

struct Shaping
{
    Row row;
    // Designs the step (called only when it runs) and keeps its settings in `record`.
    Prepared (*prepare) (const Context&, bool bypassed, ChainSettings& record);
};

// Makes a step's `prepare` from its pure design and the place of its record.
template <auto member, auto design>
Prepared designAndRecord (const Context& context, bool isBypassed, ChainSettings& record)
{
    auto d = design (context, isBypassed);
    record.*member = d.settings;
    return { std::move (d.lines), std::move (d.process) };
}

// The shaping steps, each defined in its own file.
extern const Shaping preGain;
extern const Shaping deEsser;
extern const Shaping expander;
extern const Shaping vocalEq;
extern const Shaping leveler;
extern const Shaping saturation;

// The steps from pre-gain to saturation, in run order: they shape the sound
// in one pass. Normalization needs the loudness of all of it first, and the
// output trim the peak after the limiter, so those run in passes of their own.
const std::vector<Shaping>& shapingSteps();

// Normalization, designed from the loudness of the shaped file (measured even
// when bypassed, since the analyzer's report is part of the log).
extern const Row normalization;
struct NormalizationDesign
{
    stages::NormalizationParameters parameters;
    std::optional<stages::GainSetting> gain;
    juce::StringArray lines; // the shaped file's analysis and the gain
    NormalizationSettings settings;
};
NormalizationDesign designNormalization (const Context& context, const Analysis& shaped);

// The peak limiter and the output trim, designed from the peak the limiter
// left; lines: the limiter's and the trim's.
extern const Row limiter;
struct TrimDesign
{
    std::optional<stages::GainSetting> trim;
    juce::StringArray lines;
    LimiterSettings settings;
};
TrimDesign designTrim (float peakAfterLimiter);

// The loudness finish, in place of the peak limiter with --finish loudness
// (the same bypass number, its own header and report label).
extern const Row loudnessFinish;
// Its true-peak limiter; none when the step does not run.
std::optional<stages::TruePeakLimiterDesign> designFinishLimiter (const PipelineConfig& config, double sampleRate);
// Its report before the passes: the target and ceiling, and whether the loudness is corrected.
stages::LoudnessFinishReport startFinishReport (const PipelineConfig& config, const NormalizationDesign& normalization);
// What the settled finish set.
LoudnessFinishSettings finishSettings (const PipelineConfig& config, const stages::LoudnessFinishReport& report,
                                       float gainDb);

// Each stage's log lines, formatted from its report (a stage never logs).
juce::StringArray linesFor (const stages::PreFilterReport&);
juce::StringArray linesFor (const stages::PreGainReport&);
juce::StringArray linesFor (const stages::DeEsserReport&);
juce::StringArray linesFor (const stages::ExpanderReport&);
juce::StringArray linesFor (const stages::VocalEqReport&);
juce::StringArray linesFor (const stages::LevelerReport&);
juce::StringArray linesFor (const stages::SaturationReport&);
juce::StringArray linesFor (const stages::NormalizationReport&);
juce::StringArray linesFor (const stages::LimiterReport&);
juce::StringArray linesFor (const stages::OutputTrimReport&);
juce::StringArray linesFor (const stages::LoudnessFinishReport&);

// The analyzer's lines for an analysis (before pre-gain, before normalization).
juce::StringArray analysisLines (const Analysis& analysis);

// The report's "settings" object: the chain's own keys and each step's, in the chain's order.
juce::String settingsJson (const PipelineConfig& config, const AutoMapParameters& mapping,
                           const ChainSettings& settings, ReportKeys::Quote quote);
} // namespace steps

} // namespace tessaloom
