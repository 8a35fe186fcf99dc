#include "pipeline/AudioPipeline.h"

#include "common/SideBySide.h"
#include "pipeline/stages/DynamicsKernels.h"

#include <cmath>

namespace
{
// Sibilance lives above 5 kHz; below 10 kHz sample rates the split moves to
// just under Nyquist so the crossover stays designable.
constexpr float crossoverHz = 5000.0f;

// The compressor engages a little below the measured sibilance level and never
// lower than -40 dBFS, so quiet files are not de-essed into dullness.
constexpr float belowSibilanceDb = 2.0f;
constexpr float lowestThresholdDb = -40.0f;
constexpr float ratio = 4.0f;
constexpr float attackMs = 1.0f;
constexpr float releaseMs = 50.0f;

float crossoverFrequency (double sampleRate)
{
    return juce::jmin (0.5f * (float) sampleRate - 1.0f, crossoverHz);
}

// A sibilance level that is not a number means nothing was measured: treat it
// as the "no level" value so the floor applies, instead of handing the
// compressor a NaN threshold (which it turns into a linear threshold of 0 and
// then silences the band or outputs NaN).
float compressorThreshold (float sibilanceLevelDb)
{
    const float level = std::isnan (sibilanceLevelDb) ? -144.0f : sibilanceLevelDb;
    return juce::jmax (level - belowSibilanceDb, lowestThresholdDb);
}
} // namespace

// Stage 1.7. Split, compress and sum are done sample by sample: each output
// sample depends only on its own channel's filter and envelope state, so this
// gives exactly the band-buffer result without holding two extra copies of the
// file. The channels run side by side, each with a crossover and compressor of
// its own (the same designs, so the same result as one compressor with a state
// per channel); the inline kernels give what juce::dsp's LinkwitzRileyFilter
// and Compressor give. Allocates nothing in the sample loops.
void AudioPipeline::applyDeEsser (juce::AudioBuffer<float>& buffer, double sampleRate, float sibilanceLevelDb)
{
    const float thresholdDb = compressorThreshold (sibilanceLevelDb);
    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();

    if (numChannels > 0 && numSamples > 0)
    {
        const float fc = crossoverFrequency (sampleRate);

        float* const* channels = buffer.getArrayOfWritePointers();

        side_by_side::forEachChannel (numChannels, numSamples, [&] (int channel)
        {
            dynamics_kernels::Compressor compressor (sampleRate, thresholdDb, ratio, attackMs, releaseMs);
            dynamics_kernels::LinkwitzRileySplit split (sampleRate, fc);

            float* samples = channels[channel];
            for (int n = 0; n < numSamples; ++n)
            {
                float low, high;
                split.processSample (samples[n], low, high);
                samples[n] = compressor.processSample (high) + low;
            }
        });
    }

    juce::Logger::writeToLog ("[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold="
                              + juce::String (thresholdDb, 1) + "dB)");
}
