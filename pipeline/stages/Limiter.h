#pragma once

#include "dsp/DynamicsKernels.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tessaloom
{

// The peak limiter: the two compressors and make-up gain of juce::dsp::Limiter
// with its ceiling at -1 dB, then a clip at full scale, so its output never
// exceeds full scale. The channels are limited independently.
namespace stages
{
struct LimiterParameters
{
    float ceilingDb = -1.0f;
    float releaseMs = 50.0f; // of the second, brick-wall compressor
};

// The kernel at rest: its coefficients and make-up gain for this rate.
struct LimiterDesign
{
    dynamics_kernels::LimiterStages kernel;
};

LimiterDesign designLimiter (const LimiterParameters& parameters, double sampleRate);

class Limiter
{
public:
    // Allocates the per-channel envelope state, nothing while processing.
    Limiter (const LimiterDesign& design, int numChannels);

    void processChannel (int channel, float* samples, int numSamples) noexcept;

private:
    std::vector<dynamics_kernels::LimiterStages> channels;
};

struct LimiterReport
{
    float ceilingDb = 0.0f;
};
} // namespace stages

} // namespace tessaloom
