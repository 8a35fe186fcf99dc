#pragma once

#include "dsp/DynamicsKernels.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tessaloom
{

// The leveler: an opto-style compressor slow enough to ride the phrase level
// rather than the syllables. Its settings are fixed, independent of the
// analysis on purpose.
namespace stages
{
struct LevelerParameters
{
    float thresholdDb = -18.0f;
    float ratio = 3.0f;
    float attackMs = 12.0f;
    float releaseMs = 250.0f;
};

// The compressor at rest for this rate.
struct LevelerDesign
{
    dynamics_kernels::Compressor compressor;
};

LevelerDesign designLeveler (const LevelerParameters& parameters, double sampleRate);

// One compressor per channel, each from rest.
class Leveler
{
public:
    // Allocates the per-channel state, nothing while processing.
    Leveler (const LevelerDesign& design, int numChannels);

    void processChannel (int channel, float* samples, int numSamples) noexcept;

private:
    std::vector<dynamics_kernels::Compressor> channels;
};

struct LevelerReport
{
};
} // namespace stages

} // namespace tessaloom
