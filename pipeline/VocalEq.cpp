#include "pipeline/AudioPipeline.h"

// Placeholder until this stage lands: the buffer passes unchanged.
void AudioPipeline::applyVocalEQ (juce::AudioBuffer<float>&, double, const juce::String&, float, float, float) {}
