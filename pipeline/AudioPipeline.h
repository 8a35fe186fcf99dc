#pragma once

#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"

#include <juce_core/juce_core.h>

// Masters one file: Pass 1 analysis and pre-filter, noise reduction, the chain
// of stages in memory, then the outputs. Calls share no state, so several files
// may be processed at once on different threads.
class AudioPipeline
{
public:
    static PipelineResult processFile (const juce::File& input, const juce::File& output,
                                       const PipelineConfig& config);
};
