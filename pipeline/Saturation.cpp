#include "pipeline/AudioPipeline.h"
#include "pipeline/FilterDesign.h"

#include <cmath>

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

// Stage 4. No level compensation here: normalization follows. Allocates only
// the shelf filter objects.
void AudioPipeline::applySaturation (juce::AudioBuffer<float>& buffer, double sampleRate, float driveDb)
{
    const float k = juce::Decibels::decibelsToGain (driveDb);
    const int numSamples = buffer.getNumSamples();

    for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
        softClip (buffer.getWritePointer (channel), numSamples, k);

    if (buffer.getNumChannels() > 0)
    {
        const float shelfHz = designFrequency (shelfHighestHz, sampleRate);
        applyFilterToAllChannels (buffer, juce::dsp::IIR::Coefficients<float>::makeHighShelf (
                                              sampleRate, shelfHz, shelfQ, juce::Decibels::decibelsToGain (shelfDb)));
    }

    juce::Logger::writeToLog ("[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+"
                              + juce::String (driveDb, 1) + "dB)");
}
