#pragma once

// The analyzer's log text, all of it formatted here: the lines written around
// the measurements, one line per measurement record, and the report and JSON
// of the result record. Nothing here writes to the log; audio_analyzer::writeLog
// writes these lines, in the order given.

#include "analysis/Measurements.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace tessaloom
{

namespace analysis_log
{
// Written before the measurements run: the separator, the title and the
// buffer's format (channels, rate, duration, samples).
juce::StringArray openingLines (const AnalysisResult& result);

// One line per measurement, "[AudioAnalyzer/<name>] ...". The loudness has a
// line only when a block passes both gates, the spectral tilt only when a
// line was fitted. The grid hum has no line; it shows in the report.
std::optional<juce::String> loudnessLine (const LoudnessMeasurement& m);
juce::String truePeakLine (const TruePeakMeasurement& m);
juce::String voiceActivityLine (const VoiceActivityMeasurement& m);
juce::String snrLine (const SnrMeasurement& m);
std::optional<juce::String> spectralTiltLine (const SpectralTiltMeasurement& m);
juce::String sibilanceLine (const SibilanceMeasurement& m);
juce::String crestFactorLine (const CrestFactorMeasurement& m);

// The lines of every measurement, in the order they are written: loudness,
// true peak, voice activity, SNR, spectral tilt, sibilance, crest factor.
juce::StringArray measurementLines (const AnalysisMeasurements& m);

// Written last: the report block (one log call) and the separator.
juce::StringArray closingLines (const AnalysisResult& result);

// The twelve-line results block (no final line feed) and the one-line JSON object.
juce::String report (const AnalysisResult& result);
juce::String json (const AnalysisResult& result);
} // namespace analysis_log

} // namespace tessaloom
