#pragma once

#include "analysis/Overview.h"
#include "pipeline/PipelineResult.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace tessaloom
{

namespace output_measure
{
// What the report shows of a finished file, read back as it lies on disk.
struct OutputReadBack
{
    std::optional<OutputMeasurement> measurement; // empty when the file could not be read to its end
    std::optional<SignalOverview> overview;       // the same
    juce::String error;                           // why it could not; empty on success
};

// The last pass of a file (pipeline/FilePasses.h), made only for the report:
// the output read back, so that what is measured is exactly the samples a
// listener gets (a compressed output decoded, as a player would), whichever way
// the output was made (the chain's last pass, a copy or an encode). withQuietest adds the quietest half second (the noise floor between
// words), for a delivery preset that limits it. Logs nothing: the log stays the
// same with or without the report. Memory: one block and the analysis lists.
// loudnessWeights: the channels' BS.1770 weights in the integrated loudness and
// the loudness range (the output has the input's layout); empty weighs each 1.0.
OutputReadBack readBackOutput (const juce::File& output, bool withQuietest, const std::vector<double>& loudnessWeights = {});
} // namespace output_measure

} // namespace tessaloom
