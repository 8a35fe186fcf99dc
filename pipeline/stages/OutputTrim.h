#pragma once

#include "pipeline/stages/Gain.h"

namespace tessaloom
{

// The output trim: one gain for the whole file that puts its highest sample at
// exactly -5.5 dBFS, up or down. It needs the peak of the finished file first,
// so it is the one stage that costs a pass of its own: the chain runs
// normalization and the limiter over the spilled samples to find that peak,
// then again into the output with the trim after them.
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

struct OutputTrimReport
{
    std::optional<GainSetting> applied;
};
} // namespace stages

} // namespace tessaloom
