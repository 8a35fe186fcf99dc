#include "pipeline/AudioPipeline.h"

// Placeholder until the filtering stages land.
void applyFilterToAllChannels (juce::AudioBuffer<float>&, const juce::dsp::IIR::Coefficients<float>::Ptr&) {}
float frequencyCeiling (double sampleRate) { return juce::jmax (0.45f * (float) sampleRate, 1000.0f); }
