#pragma once

#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"

#include <juce_core/juce_core.h>

// Masters one file: the input's analysis and pre-filter, noise reduction, the
// chain of stages over the file in blocks, then the outputs (the passes over
// the samples, in order, are listed in pipeline/FilePasses.h). Calls share no
// state, so several files may be processed at once on different threads.
class AudioPipeline
{
public:
    static PipelineResult processFile (const juce::File& input, const juce::File& output,
                                       const PipelineConfig& config);
};
