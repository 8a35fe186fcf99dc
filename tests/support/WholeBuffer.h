#pragma once

#include "pipeline/SampleChecks.h"
#include "pipeline/stages/DeEsser.h"
#include "pipeline/stages/Expander.h"
#include "pipeline/stages/Gain.h"
#include "pipeline/stages/Leveler.h"
#include "pipeline/stages/Limiter.h"
#include "pipeline/stages/NormalizationGain.h"
#include "pipeline/stages/OutputTrim.h"
#include "pipeline/stages/PauseDucker.h"
#include "pipeline/stages/PreFilter.h"
#include "pipeline/stages/PreGain.h"
#include "pipeline/stages/Saturation.h"
#include "pipeline/stages/StageShape.h"
#include "pipeline/stages/TruePeakLimiter.h"
#include "pipeline/stages/VocalEq.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_dsp/juce_dsp.h>

#include <functional>
#include <optional>

namespace tessaloom
{

// Each stage run over a whole buffer in memory, every channel from rest. The
// program never holds a whole file (the chain runs the processors block by
// block); these are for the tests, the benchmarks and the fuzzer, which measure
// a stage on a generated signal. Each builds the stage's processor from its
// design exactly as the chain does, so what they measure is what the chain runs.
namespace side_by_side
{
// Calls piece (i) for every i in [0, count), on this thread and, when a helper
// is available and count > 1, on one helper thread too (a KeptHelper kept for
// this one call).
void run (int count, const std::function<void (int)>& piece);

// run() for the channels of a buffer of numSamples frames: channels side by
// side only when there are several and the work is long enough to pay for
// the thread.
void forEachChannel (int numChannels, int numSamples, const std::function<void (int)>& perChannel);
} // namespace side_by_side

namespace stages
{
// Runs a juce::dsp block through the processor, channel after channel.
template <typename Processor>
void processBlock (Processor& processor, const juce::dsp::AudioBlock<float>& block) noexcept
{
    for (size_t channel = 0; channel < block.getNumChannels(); ++channel)
        processor.processChannel ((int) channel, block.getChannelPointer (channel), (int) block.getNumSamples());
}

// Runs a whole buffer through the processor as one block per channel, the
// channels side by side when there are several and the buffer is long enough
// to pay for a thread.
template <typename Processor>
void processWholeBuffer (Processor& processor, juce::AudioBuffer<float>& buffer)
{
    const int numSamples = buffer.getNumSamples();
    if (buffer.getNumChannels() == 0 || numSamples <= 0)
        return;

    // Taken once here: getWritePointer marks the buffer, which the threads must not do together.
    float* const* channels = buffer.getArrayOfWritePointers();
    side_by_side::forEachChannel (buffer.getNumChannels(), numSamples,
                                  [&] (int channel) { processor.processChannel (channel, channels[channel], numSamples); });
}

// Runs the pre-filter over the whole buffer, every channel from zero state.
// Allocates only the per-channel filter state.
PreFilterReport applyPreFilter (juce::AudioBuffer<float>& buffer, double sampleRate,
                                const PreFilterParameters& parameters);

// The background guard's pause ducker over the whole buffer.
void applyPauseDucker (juce::AudioBuffer<float>& buffer, double sampleRate, const PauseDuckerParameters& parameters);

// Runs the gain over the whole buffer when there is one to apply.
void applyGain (juce::AudioBuffer<float>& buffer, const std::optional<GainSetting>& setting);

PreGainReport applyPreGain (juce::AudioBuffer<float>& buffer, const PreGainParameters& parameters);

DeEsserReport applyDeEsser (juce::AudioBuffer<float>& buffer, double sampleRate, const DeEsserParameters& parameters);

ExpanderReport applyExpander (juce::AudioBuffer<float>& buffer, double sampleRate, const ExpanderParameters& parameters);

// Runs the EQ over the whole buffer, every channel from zero state.
// Allocates only the per-channel filter state.
VocalEqReport applyVocalEq (juce::AudioBuffer<float>& buffer, double sampleRate, const VocalEqParameters& parameters);

LevelerReport applyLeveler (juce::AudioBuffer<float>& buffer, double sampleRate,
                            const LevelerParameters& parameters = {});

SaturationReport applySaturation (juce::AudioBuffer<float>& buffer, double sampleRate,
                                  const SaturationParameters& parameters);

NormalizationReport applyNormalizationGain (juce::AudioBuffer<float>& buffer,
                                            const NormalizationParameters& parameters);

LimiterReport applyLimiter (juce::AudioBuffer<float>& buffer, double sampleRate, const LimiterParameters& parameters);

// Highest |sample| over every channel; 0 for a cleared buffer or no channels.
float measureSamplePeak (const juce::AudioBuffer<float>& buffer);

// Measures the buffer's peak and trims it.
OutputTrimReport applyOutputTrim (juce::AudioBuffer<float>& buffer);

// The whole buffer through a fresh limiter, aligned (the output starts with the input).
TruePeakLimiterReport applyTruePeakLimiter (juce::AudioBuffer<float>& buffer, double sampleRate,
                                            const TruePeakLimiterParameters& parameters);
} // namespace stages

// The driver's checks over a whole buffer: the figures its block tallies add up to.
namespace sample_checks
{
// Number of NaN or infinite samples over all channels, saturating at the largest int.
int countNonFinite (const juce::AudioBuffer<float>& buffer);

// Sample peak in dBFS: -144 for silence or no channels, never below -100 otherwise.
float peakLevelDbfs (const juce::AudioBuffer<float>& buffer);
} // namespace sample_checks

} // namespace tessaloom
