#pragma once

#include "common/Levels.h"
#include "dsp/DynamicsKernels.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tessaloom
{

// The de-esser: a Linkwitz-Riley split at 5 kHz, the upper band compressed
// 4:1 from a threshold just under the measured sibilance level, then the bands
// summed again. Sharp "s" sounds come down; the voice band is untouched.
namespace stages
{
struct DeEsserParameters
{
    float sibilanceLevelDb = (float) kNoLevelDb; // the sibilance level re-referenced to the level after pre-gain, dBFS
};

struct DeEsserDesign
{
    float crossoverHz = 5000.0f;
    float thresholdDb = -40.0f;
    dynamics_kernels::Compressor compressor; // the upper band's compressor at rest
    dynamics_kernels::LinkwitzRileySplit split;
};

DeEsserDesign designDeEsser (const DeEsserParameters& parameters, double sampleRate);

// Each channel has a split and compressor of its own (the same designs), so it
// gives what one juce::dsp::Compressor with a state per channel gives.
class DeEsser
{
public:
    // Allocates the per-channel state, nothing while processing.
    DeEsser (const DeEsserDesign& design, int numChannels);

    void processChannel (int channel, float* samples, int numSamples) noexcept;

private:
    struct Channel
    {
        dynamics_kernels::Compressor compressor;
        dynamics_kernels::LinkwitzRileySplit split;
    };
    std::vector<Channel> channels;
};

struct DeEsserReport
{
    float thresholdDb = 0.0f;
};
} // namespace stages

} // namespace tessaloom
