#include "pipeline/AudioPipeline.h"

#include "common/SideBySide.h"
#include "pipeline/stages/DynamicsKernels.h"

namespace
{
// Fixed opto-style settings: slow enough to ride the phrase level rather than
// the syllables. Independent of the analysis on purpose.
constexpr float thresholdDb = -18.0f;
constexpr float ratio = 3.0f;
constexpr float attackMs = 12.0f;
constexpr float releaseMs = 250.0f;
} // namespace

// Stage 2. One compressor per channel, starting from rest; the channels run
// side by side. The inline compressor gives what juce::dsp::Compressor gives.
// Allocates nothing in the sample loops.
void AudioPipeline::applyLeveler (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();

    if (numChannels > 0 && numSamples > 0)
    {
        float* const* channels = buffer.getArrayOfWritePointers();
        side_by_side::forEachChannel (numChannels, numSamples, [&] (int channel)
        {
            dynamics_kernels::Compressor compressor (sampleRate, thresholdDb, ratio, attackMs, releaseMs);

            float* samples = channels[channel];
            for (int n = 0; n < numSamples; ++n)
                samples[n] = compressor.processSample (samples[n]);
        });
    }

    juce::Logger::writeToLog ("[AudioPipeline/Compressor] Applied Serial Opto-Style Leveler (LA-2A Topology)");
}
