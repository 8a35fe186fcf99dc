#pragma once

// The analyzer's facade: what the driver calls around an AnalysisAccumulator.
// The measurements themselves are taken by the accumulator (blocks in, records
// out); their records are in analysis/Measurements.h, their text in
// analysis/AnalysisLog.h.

#include "analysis/Measurements.h"

#include <juce_audio_basics/juce_audio_basics.h>

namespace tessaloom
{

namespace audio_analyzer
{
// Writes the lines of an analysis to the log: the opening lines, a line per
// measurement and the report block.
void writeLog (const Analysis& analysis);

// The twelve-line results block (no final line feed) and the one-line JSON object.
juce::String formatReport (const AnalysisResult& result);
juce::String toJson (const AnalysisResult& result);
} // namespace audio_analyzer

} // namespace tessaloom
