#include "pipeline/AudioPipeline.h"
#include "pipeline/FilterDesign.h"

#include "common/SideBySide.h"

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

    if (buffer.getNumChannels() > 0)
    {
        // Clip, then shelf, channel by channel; the channels side by side.
        const float shelfHz = designFrequency (shelfHighestHz, sampleRate);
        const auto shelf = juce::dsp::IIR::Coefficients<float>::makeHighShelf (
            sampleRate, shelfHz, shelfQ, juce::Decibels::decibelsToGain (shelfDb));
        float* const* channels = buffer.getArrayOfWritePointers();

        side_by_side::forEachChannel (buffer.getNumChannels(), numSamples, [&] (int channel)
        {
            softClip (channels[channel], numSamples, k);
            if (numSamples > 0)
            {
                juce::dsp::IIR::Filter<float> filter;
                filter.coefficients = shelf;
                filter.reset();
                float* samples = channels[channel];
                juce::dsp::AudioBlock<float> block (&samples, 1, (size_t) numSamples);
                filter.process (juce::dsp::ProcessContextReplacing<float> (block));
            }
        });
    }

    juce::Logger::writeToLog ("[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+"
                              + juce::String (driveDb, 1) + "dB)");
}
