#pragma once

#include "pipeline/AudioPipeline.h"

// The frequency a stage designs a second-order section at: the wanted
// frequency, no higher than frequencyCeiling, and never at or above Nyquist.
// The ceiling's 1 kHz floor alone would put designs at or beyond Nyquist for
// rates below 2222 Hz, where the bilinear designs collapse (the vocal EQ's
// low-pass silences a 1 kHz-rate file). From 2222 Hz up this is exactly
// min(hz, frequencyCeiling).
inline float designFrequency (float hz, double sampleRate)
{
    return juce::jmin (hz, frequencyCeiling (sampleRate), 0.45f * (float) sampleRate);
}
