#include "pipeline/AudioPipeline.h"

// Placeholder until this stage lands: the buffer passes unchanged.
void AudioPipeline::applyPreFilter (juce::AudioBuffer<float>&, double, bool) {}
