#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <cstdint>

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

// The same over a file read in blocks: the pieces, and the figures they add up to.
std::int64_t countNonFinite (const float* samples, int numSamples);
float peakMagnitude (const float* samples, int numSamples); // max |sample|
int saturatingCount (std::int64_t count);
float peakLevelDbfs (float peakMagnitude, int numChannels);
} // namespace sample_checks
