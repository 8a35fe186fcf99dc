#include "analysis/AudioAnalyzer.h"
#include "pipeline/AudioPipeline.h"

// Placeholder until normalization and the limiter land.
void AudioPipeline::normalizeToTarget (juce::AudioBuffer<float>& buffer, double sampleRate, float, int)
{
    AudioAnalyzer::analyze (buffer, sampleRate);
}
void AudioPipeline::limitAndTrim (juce::AudioBuffer<float>&, double) {}
