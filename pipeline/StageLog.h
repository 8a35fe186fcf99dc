#pragma once

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
#include "pipeline/stages/VocalEq.h"

// The log lines of the stages and of the checks between them, formatted from
// what each stage reports. The one place that spells them: a stage never logs.
namespace stage_log
{
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

// "[AudioPipeline/Gain] Applied makeup gain: ..." for a gain that was applied.
juce::String makeupGainLine (const stages::GainSetting& applied);

// "[GainStaging] Peak after <label>: ..." with the warning above -1 dBFS.
juce::String peakLine (const juce::String& label, float peakDbfs);

// "[AudioPipeline] ERROR: <message> (<count> samples)".
juce::String nonFiniteLine (const juce::String& errorMessage, int count);

// The chain's samples could not be kept in the work folder (its disk is full)
// and are held in memory, up to boundBytes.
juce::String spillInMemoryLine (const juce::File& spillFile, juce::int64 boundBytes);

// Writes each line to the current logger, in order.
void write (const juce::StringArray& lines);

// Writes the report's lines.
template <typename Report>
void write (const Report& report)
{
    write (linesFor (report));
}
} // namespace stage_log
