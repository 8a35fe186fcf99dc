#include "analysis/AudioAnalyzer.h"

// Placeholder until the measurements land: every field keeps its
// "not measurable" value, so the chain takes its not-measured paths.
AnalysisResult AudioAnalyzer::analyze (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    AnalysisResult r;
    r.sampleRate = sampleRate;
    r.numChannels = buffer.getNumChannels();
    r.numSamples = buffer.getNumSamples();
    r.durationSeconds = sampleRate > 0.0 ? (double) r.numSamples / sampleRate : 0.0;
    return r;
}

juce::String AudioAnalyzer::formatReport (const AnalysisResult&) { return {}; }
juce::String AudioAnalyzer::toJson (const AnalysisResult&) { return {}; }
void AudioAnalyzer::applyKWeighting (juce::AudioBuffer<float>&, double) {}
double AudioAnalyzer::measureIntegratedLoudness (const juce::AudioBuffer<float>&, double) { return kNoLevelDb; }
double AudioAnalyzer::measureTruePeak (const juce::AudioBuffer<float>&) { return kNoLevelDb; }
double AudioAnalyzer::measureCrestFactor (const juce::AudioBuffer<float>&) { return 0.0; }
std::vector<bool> AudioAnalyzer::detectVoiceActivity (const juce::AudioBuffer<float>&, int) { return {}; }
void AudioAnalyzer::measureSnr (const juce::AudioBuffer<float>&, const std::vector<bool>&, int, double& snr, double& floorDb, double& voiced)
{
    snr = 0.0; floorDb = kNoLevelDb; voiced = 0.0;
}
double AudioAnalyzer::measureSpectralTilt (const juce::AudioBuffer<float>&, double) { return 0.0; }
void AudioAnalyzer::measureSibilance (const juce::AudioBuffer<float>&, double, double& rms, double& dbfs)
{
    rms = 0.0; dbfs = kNoLevelDb;
}
bool AudioAnalyzer::detectGridHum (const juce::AudioBuffer<float>&, double) { return false; }
