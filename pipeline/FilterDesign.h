#pragma once

#include "pipeline/AudioPipeline.h"

#include <vector>

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

// Runs the sections in series over every channel, every section from zero
// state: sample for sample the same arithmetic as calling
// applyFilterToAllChannels once per section in the same order, but in one pass
// per channel, so the sections' feedback chains overlap instead of queueing
// (several times faster for a 4-6 section cascade). Null sections are skipped;
// a cascade holding a section that is not second order is run section by
// section. Allocates nothing per sample; no copy of the audio.
void applySectionsToAllChannels (juce::AudioBuffer<float>& buffer,
                                 const std::vector<juce::dsp::IIR::Coefficients<float>::Ptr>& sections);
