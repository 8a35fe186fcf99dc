#pragma once

#include "pipeline/AutoMap.h"
#include "pipeline/PipelineConfig.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <optional>

// Where the chain stopped: the first step after which a sample was not a
// finite number, and how many such samples the buffer held then.
struct ChainStop
{
    juce::String checkLabel;
    int nonFiniteCount = 0;
};

// Runs the stages from pre-gain to the output trim over the buffer in place,
// in their fixed order, each followed by the non-finite check and the peak
// report, and logs every step. Stops at the first step that leaves a sample
// that is not a finite number. params is the mapping of the Pass 1 analysis.
std::optional<ChainStop> runChain (juce::AudioBuffer<float>& buffer, double sampleRate, const PipelineConfig& config,
                                   const AutoMapParameters& params);
