#pragma once

#include "pipeline/stages/BiquadCascade.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <optional>
#include <vector>

namespace tessaloom
{

// The pre-filter: rumble and DC out with a 90 Hz high-pass, and the 50 Hz mains
// family notched out for the whole file when the analysis found hum (gated by
// the analysis, not by level).
namespace stages
{
struct PreFilterParameters
{
    bool hasGridHum = false;
    // With a hum measurement (--hum auto, 50 or 60, and the presets): the
    // lines to notch, Hz, where they were measured, in place of the fixed 50 Hz
    // family; hasGridHum is then not read. At most kMostMeasuredNotches.
    std::optional<std::vector<float>> measuredHumHz;
};

// Each measured harmonic gets a notch this wide (Hz between its -3 dB points):
// narrow enough to take under a decibel from a low voice's fundamental region
// (100 to 120 Hz), wide enough that a line measured within a few hundredths of
// a hertz falls by more than 25 dB. The fundamental, under any voice and on the
// high-pass's slope, gets a wider one, so its deeper line falls further.
constexpr float kMeasuredNotchWidthHz = 1.5f;
constexpr float kMeasuredFundamentalNotchWidthHz = 4.0f;
constexpr float kHighestFundamentalHz = 70.0f; // a measured line up to here is a fundamental
constexpr size_t kMostMeasuredNotches = 7;

struct PreFilterReport
{
    float highPassHz = 0.0f;
    bool humNotched = false;
    std::vector<float> notchedHz; // the measured lines notched (empty for the fixed family)
};

// High-pass then notches at 50, 100 and 150 Hz (Q 10, 10, 30) when hum was found.
BiquadCascadeDesign designPreFilter (const PreFilterParameters& parameters, double sampleRate);

// What a run with these parameters reports.
PreFilterReport describePreFilter (const PreFilterParameters& parameters);
} // namespace stages

} // namespace tessaloom
