#pragma once

#include "pipeline/PipelineResult.h"

#include <juce_audio_basics/juce_audio_basics.h>

// Sample checks and level reports run between the in-memory stages.
class GainStaging
{
public:
    // Number of NaN or infinite samples over all channels.
    static int countNonFinite (const juce::AudioBuffer<float>& buffer);

    // true when every sample is finite; otherwise fills result.errorMessage and
    // result.processingTimeMs, logs the error line and returns false.
    static bool checkFinite (const juce::AudioBuffer<float>& buffer, const juce::String& label,
                             PipelineResult& result, double startTimeMs);

    // Sample peak in dBFS: -144 for silence or no channels, never below -100 otherwise.
    static float peakLevelDbfs (const juce::AudioBuffer<float>& buffer);

    // Logs "[GainStaging] Peak after <label>: ..." with the -1 dBFS warning.
    static void reportPeak (const juce::AudioBuffer<float>& buffer, const juce::String& label);
};
