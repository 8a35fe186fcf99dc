#include "pipeline/AudioPipeline.h"

// Placeholder until this stage lands: the buffer passes unchanged.
void AudioPipeline::applyDeEsser (juce::AudioBuffer<float>&, double, float) {}
