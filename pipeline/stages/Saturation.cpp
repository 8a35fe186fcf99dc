#include "pipeline/stages/Saturation.h"

#include <cmath>

namespace tessaloom
{

namespace stages
{
namespace
{
// The top-octave roll-off: a gentle -1 dB high shelf, at most at 14 kHz.
constexpr float shelfHighestHz = 14000.0f;
constexpr float shelfQ = 0.707f;
constexpr float shelfDb = -1.0f;

// u / (1 + |u|): odd-symmetric, slope k at zero, output magnitude below 1.
// A plain loop over contiguous samples with no branches, so the compiler turns
// it into vector code (one multiply, abs, add and divide per sample).
void softClip (float* samples, int numSamples, float k) noexcept
{
    for (int n = 0; n < numSamples; ++n)
    {
        const float u = k * samples[n];
        samples[n] = u / (1.0f + std::abs (u));
    }
}
} // namespace

SaturationDesign designSaturation (const SaturationParameters& parameters, double sampleRate)
{
    SaturationDesign design;
    design.clipSlope = juce::Decibels::decibelsToGain (parameters.driveDb);
    design.shelf.add (*juce::dsp::IIR::Coefficients<float>::makeHighShelf (
        sampleRate, designFrequency (shelfHighestHz, sampleRate), shelfQ, juce::Decibels::decibelsToGain (shelfDb)));
    return design;
}

Saturation::Saturation (const SaturationDesign& design, int numChannels)
    : clipSlope (design.clipSlope), shelf (design.shelf, numChannels)
{
    jassert (numChannels >= 0); // a count of channels, not a failure code
}

void Saturation::processChannel (int channel, float* samples, int numSamples) noexcept
{
    jassert (channel >= 0); // a channel the processor was not made for (the shelf holds the count)
    jassert (numSamples >= 0 && (samples != nullptr || numSamples == 0)); // a negative length, or a length with no samples behind it
    softClip (samples, numSamples, clipSlope);
    shelf.processChannel (channel, samples, numSamples);
}
} // namespace stages

} // namespace tessaloom
