#pragma once

#include "pipeline/stages/BiquadCascade.h"

#include <juce_audio_basics/juce_audio_basics.h>

// The pre-filter: rumble and DC out with a 90 Hz high-pass, and the 50 Hz mains
// family notched out for the whole file when the analysis found hum (gated by
// the analysis, not by level).
namespace stages
{
struct PreFilterParameters
{
    bool hasGridHum = false;
};

struct PreFilterReport
{
    float highPassHz = 0.0f;
    bool humNotched = false;
};

// High-pass then notches at 50, 100 and 150 Hz (Q 10, 10, 30) when hum was found.
BiquadCascadeDesign designPreFilter (const PreFilterParameters& parameters, double sampleRate);

// What a run with these parameters reports.
PreFilterReport describePreFilter (const PreFilterParameters& parameters);
} // namespace stages
