#pragma once

#include "dsp/DynamicsKernels.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <optional>
#include <vector>

namespace tessaloom
{

// The downward expander: below its threshold every dB the envelope falls
// becomes two at the output, pushing the noise between phrases down. One gate
// per channel, so no channel ducks another.
namespace stages
{
struct ExpanderParameters
{
    float thresholdDb = -60.0f; // dBFS, just above the noise floor after pre-gain
};

struct ExpanderDesign
{
    float thresholdDb = -60.0f;
    float ratio = 2.0f;
    // Nothing when the threshold cannot expand (see designExpander): the audio passes as it is.
    std::optional<dynamics_kernels::NoiseGate> gate;
};

ExpanderDesign designExpander (const ExpanderParameters& parameters, double sampleRate);

class Expander
{
public:
    // Allocates the per-channel state, nothing while processing.
    Expander (const ExpanderDesign& design, int numChannels);

    void processChannel (int channel, float* samples, int numSamples) noexcept;

private:
    std::vector<dynamics_kernels::NoiseGate> channels; // empty when the design cannot expand
};

struct ExpanderReport
{
    float thresholdDb = 0.0f;
    float ratio = 0.0f;
};
} // namespace stages

} // namespace tessaloom
