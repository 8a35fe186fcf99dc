#include "pipeline/AudioPipeline.h"

// Placeholder until this stage lands: the buffer passes unchanged.
void AudioPipeline::applyExpander (juce::AudioBuffer<float>&, double, float) {}
