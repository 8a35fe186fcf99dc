#include "pipeline/stages/DeEsser.h"

#include "common/Levels.h"

#include <cmath>

namespace tessaloom
{

namespace stages
{
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
    const float level = std::isnan (sibilanceLevelDb) ? (float) kNoLevelDb : sibilanceLevelDb;
    return juce::jmax (level - belowSibilanceDb, lowestThresholdDb);
}
} // namespace

DeEsserDesign designDeEsser (const DeEsserParameters& parameters, double sampleRate)
{
    const float fc = crossoverFrequency (sampleRate);
    const float thresholdDb = compressorThreshold (parameters.sibilanceLevelDb);
    return { fc, thresholdDb, dynamics_kernels::Compressor (sampleRate, thresholdDb, ratio, attackMs, releaseMs),
             dynamics_kernels::LinkwitzRileySplit (sampleRate, fc) };
}

DeEsser::DeEsser (const DeEsserDesign& design, int numChannels)
    : channels ((size_t) juce::jmax (0, numChannels), Channel { design.compressor, design.split })
{
    jassert (numChannels >= 0); // a count of channels, not a failure code
}

// Split, compress and sum sample by sample: each output sample depends only on
// its own channel's filter and envelope state, so this gives exactly the
// band-buffer result without holding two extra copies of the audio.
void DeEsser::processChannel (int channel, float* samples, int numSamples) noexcept
{
    jassert (juce::isPositiveAndBelow (channel, (int) channels.size())); // a channel the processor was not made for
    jassert (numSamples >= 0 && (samples != nullptr || numSamples == 0)); // a negative length, or a length with no samples behind it
    // The state runs in a local copy: the compiler then keeps it in registers
    // instead of reloading it after every store to samples, which could alias it.
    auto state = channels[(size_t) channel];
    for (int n = 0; n < numSamples; ++n)
    {
        float low, high;
        state.split.processSample (samples[n], low, high);
        samples[n] = state.compressor.processSample (high) + low;
    }
    channels[(size_t) channel] = state;
}
} // namespace stages

} // namespace tessaloom
