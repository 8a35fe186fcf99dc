#pragma once

#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"

#include <juce_core/juce_core.h>

namespace tessaloom
{

// Masters one file: the input's analysis and pre-filter, noise reduction, the
// chain of stages over the file in blocks, then the outputs (the passes over
// the samples, in order, are listed in pipeline/FilePasses.h). Calls share no
// state, so several files may be processed at once on different threads.
//
// The output is renamed into place still counted as in flight
// (io/InFlightFiles.h): the caller removes it from there once the file is
// accounted for (its report line written), so a run stopped in between takes
// the output away instead of leaving one no report mentions.
class AudioPipeline
{
public:
    static PipelineResult processFile (const juce::File& input, const juce::File& output,
                                       const PipelineConfig& config);
};

} // namespace tessaloom
