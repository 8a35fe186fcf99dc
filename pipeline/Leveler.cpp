#include "pipeline/AudioPipeline.h"

namespace
{
// Fixed opto-style settings: slow enough to ride the phrase level rather than
// the syllables. Independent of the analysis on purpose.
constexpr float thresholdDb = -18.0f;
constexpr float ratio = 3.0f;
constexpr float attackMs = 12.0f;
constexpr float releaseMs = 250.0f;
} // namespace

// Stage 2. One compressor for the whole buffer with one envelope per channel,
// starting from rest. Allocates only the compressor's per-channel state.
void AudioPipeline::applyLeveler (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();

    if (numChannels > 0 && numSamples > 0)
    {
        juce::dsp::Compressor<float> compressor;
        compressor.setThreshold (thresholdDb);
        compressor.setRatio (ratio);
        compressor.setAttack (attackMs);
        compressor.setRelease (releaseMs);
        compressor.prepare ({ sampleRate, (juce::uint32) numSamples, (juce::uint32) numChannels });

        for (int channel = 0; channel < numChannels; ++channel)
        {
            float* samples = buffer.getWritePointer (channel);
            for (int n = 0; n < numSamples; ++n)
                samples[n] = compressor.processSample (channel, samples[n]);
        }
    }

    juce::Logger::writeToLog ("[AudioPipeline/Compressor] Applied Serial Opto-Style Leveler (LA-2A Topology)");
}
