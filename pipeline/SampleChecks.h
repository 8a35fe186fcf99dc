#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

// The checks the driver runs on the audio between the stages: that every sample
// is a finite number, and how high the peak is.
namespace sample_checks
{
// Above this sample peak the peak report warns.
constexpr float peakWarningDbfs = -1.0f;

// Number of NaN or infinite samples over all channels, saturating at the
// largest int (a wrap could reach 0 and pass).
int countNonFinite (const juce::AudioBuffer<float>& buffer);

// Sample peak in dBFS: -144 for silence or no channels, never below -100 otherwise.
float peakLevelDbfs (const juce::AudioBuffer<float>& buffer);
} // namespace sample_checks
