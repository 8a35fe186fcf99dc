#pragma once

#include "pipeline/stages/Gain.h"

// The output trim: one gain for the whole file that puts its highest sample at
// exactly -5.5 dBFS, up or down. It needs the peak of the finished file first,
// so it is the one stage that costs a pass of its own: the chain runs
// normalization and the limiter over the spilled samples to find that peak,
// then again into the output with the trim after them.
namespace stages
{
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
