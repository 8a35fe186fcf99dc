#pragma once

#include "pipeline/stages/BiquadCascade.h"

#include <juce_audio_basics/juce_audio_basics.h>

namespace tessaloom
{

// Harmonic saturation: a soft clipper u / (1 + |u|) with driveDb of drive, then
// a gentle -1 dB high shelf (at most at 14 kHz) that rolls off the top octave.
// No level compensation here: normalization follows.
namespace stages
{
struct SaturationParameters
{
    float driveDb = 2.0f;
};

struct SaturationDesign
{
    float clipSlope = 1.0f;         // the clipper's slope at zero: 10^(driveDb/20)
    BiquadCascadeDesign shelf;      // one section
};

SaturationDesign designSaturation (const SaturationParameters& parameters, double sampleRate);

class Saturation
{
public:
    // Allocates the per-channel shelf state, nothing while processing.
    Saturation (const SaturationDesign& design, int numChannels);

    void processChannel (int channel, float* samples, int numSamples) noexcept;

private:
    float clipSlope;
    BiquadCascade shelf;
};

struct SaturationReport
{
    float driveDb = 0.0f;
};
} // namespace stages

} // namespace tessaloom
