#pragma once

#include "pipeline/stages/Gain.h"

#include <juce_core/juce_core.h>

namespace tessaloom
{

// The log lines the steps share and those of the checks between them. Each
// stage's own lines are formatted by its step (pipeline/steps/); a stage never logs.
namespace stage_log
{
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
} // namespace stage_log

} // namespace tessaloom
