#pragma once

#include "pipeline/PipelineResult.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace tessaloom
{

namespace check_measure
{
// What a check-only run measures of a file: only what the delivery checks read
// (integrated loudness, the accurate true peak, sample peak, RMS and the
// quietest half-second), in one pass through the file's blocks. Memory: one
// block and a double per 100 ms of loudness blocks.
struct CheckReading
{
    std::optional<OutputMeasurement> measurement; // empty when the file could not be read to its end
    juce::String error;                           // why it could not; empty on success
};

CheckReading measureForChecks (const juce::File& file);
} // namespace check_measure

} // namespace tessaloom
