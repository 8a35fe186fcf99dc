#include "pipeline/AudioPipeline.h"

// Placeholder until this stage lands: the buffer passes unchanged.
void AudioPipeline::applyLeveler (juce::AudioBuffer<float>&, double) {}
