#pragma once

#include "analysis/AnalysisResult.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

// Offline measurements of a whole recording. Stateless; every operation is static.
class AudioAnalyzer
{
public:
    // Runs every measurement, logs them and the report block, returns the record.
    static AnalysisResult analyze (const juce::AudioBuffer<float>& buffer, double sampleRate);

    static juce::String formatReport (const AnalysisResult& result);
    static juce::String toJson (const AnalysisResult& result);

    static void applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate);
    static double measureIntegratedLoudness (const juce::AudioBuffer<float>& kWeighted, double sampleRate);
    static double measureTruePeak (const juce::AudioBuffer<float>& buffer);
    static double measureCrestFactor (const juce::AudioBuffer<float>& buffer);
    static std::vector<bool> detectVoiceActivity (const juce::AudioBuffer<float>& buffer, int blockSize);
    static void measureSnr (const juce::AudioBuffer<float>& buffer, const std::vector<bool>& voiced, int blockSize,
                            double& snrDb, double& noiseFloorDbfs, double& voicedPercent);
    static double measureSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate);
    static void measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate,
                                  double& sibilanceRms, double& sibilanceDbfs);
    static bool detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate);
};
