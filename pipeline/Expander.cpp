#include "pipeline/AudioPipeline.h"

#include "common/SideBySide.h"
#include "pipeline/stages/DynamicsKernels.h"

namespace
{
// Every dB the envelope falls below the threshold becomes two at the output.
constexpr float ratio = 2.0f;
constexpr float attackMs = 1.0f;
constexpr float releaseMs = 300.0f;
// The gate floors its linear threshold to 0 at this level and below.
constexpr float gateFloorDb = -200.0f;
} // namespace

// Stage 1.8. One gate per channel, so no channel ducks another; the channels
// run side by side. The inline gate gives what juce::dsp::NoiseGate gives.
// Allocates nothing in the sample loops.
void AudioPipeline::applyExpander (juce::AudioBuffer<float>& buffer, double sampleRate, float thresholdDb)
{
    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();

    // A threshold at or below the gate's floor (or not a number) is a linear
    // threshold of 0: no envelope can fall below it, so expansion would change
    // nothing, but the gate would compute 0 x infinity = NaN for every silent
    // sample. Such a threshold leaves the audio as it is.
    const bool canExpand = juce::Decibels::decibelsToGain (thresholdDb, gateFloorDb) > 0.0f;

    if (canExpand && numChannels > 0 && numSamples > 0)
    {
        float* const* channels = buffer.getArrayOfWritePointers();
        side_by_side::forEachChannel (numChannels, numSamples, [&] (int channel)
        {
            dynamics_kernels::NoiseGate gate (sampleRate, thresholdDb, ratio, attackMs, releaseMs);

            float* samples = channels[channel];
            for (int n = 0; n < numSamples; ++n)
                samples[n] = gate.processSample (samples[n]);
        });
    }

    juce::Logger::writeToLog ("[AudioPipeline/Expander] Applied Downward Expander (Threshold="
                              + juce::String (thresholdDb, 1) + "dB, Ratio=2:1)");
}
