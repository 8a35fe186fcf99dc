#include "pipeline/AudioPipeline.h"

// Placeholder until this stage lands: the buffer passes unchanged.
void AudioPipeline::applySaturation (juce::AudioBuffer<float>&, double, float) {}
