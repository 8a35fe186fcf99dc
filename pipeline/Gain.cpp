#include "analysis/AudioAnalyzer.h"
#include "pipeline/AudioPipeline.h"

// Placeholder until gain staging lands.
void AudioPipeline::applyMakeupGainDb (juce::AudioBuffer<float>&, float) {}
AnalysisResult AudioPipeline::applyPreGainLeveling (juce::AudioBuffer<float>& buffer, double sampleRate, float, int)
{
    return AudioAnalyzer::analyze (buffer, sampleRate);
}
