#pragma once

#include "pipeline/stages/Gain.h"

// The output trim: one gain for the whole file that puts its highest sample at
// exactly -5.5 dBFS, up or down. It needs the peak of the finished file first,
// so it is the one stage that measures the whole file before it runs.
namespace stages
{
// The output trim sets the sample peak to 10^(-5.5/20) = 10^(-0.275).
constexpr float outputPeakTarget = 0.530884444f;
// Peaks at or below this are left alone by the trim (silence, dither residue).
constexpr float outputTrimFloor = 1.0e-6f;

// The factor that moves a sample peak to outputPeakTarget, up or down, or
// nothing when the peak is not above outputTrimFloor (or not a number).
std::optional<float> outputTrimGain (float samplePeak);

struct OutputTrimParameters
{
    float samplePeak = 0.0f; // highest |sample| over every channel, linear
};

// Nothing when the peak is not above the trim's floor (silence, dither residue).
std::optional<GainSetting> designOutputTrim (const OutputTrimParameters& parameters);

// Highest |sample| over every channel; 0 for a cleared buffer or no channels.
float measureSamplePeak (const juce::AudioBuffer<float>& buffer);

struct OutputTrimReport
{
    std::optional<GainSetting> applied;
};

// Measures the buffer's peak and trims it.
OutputTrimReport applyOutputTrim (juce::AudioBuffer<float>& buffer);
} // namespace stages
