#pragma once

#include "analysis/AnalysisResult.h"
#include "pipeline/PipelineResult.h"
#include "pipeline/stages/Declipper.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace tessaloom
{

// The room's lines in the log (the mains hum found, the clipping, the declipper,
// the denoiser's limit, the background), written only with a room option or a
// preset, and the rule the audiobook preset picks the denoiser's limit by.
namespace room_log
{
// The file name of the bundled denoiser, how the report tells it from another.
inline constexpr const char* bundledDenoiserName = "tessaloom-denoise";

juce::String clippingLine (const ClippingMeasurement& clipping);
juce::String humLine (const MainsHumMeasurement& hum);
juce::String declipLine (const stages::DeclipperReport& report);
juce::String denoiseLimitLine (const RoomFindings& room);
juce::String backgroundLine (const RoomFindings& room);

// The denoiser's limit for a preset that asks for a noise floor: the pauses'
// level as the input has it, raised by the gain onto the target, must come under
// the floor with a margin; never less than the mapped limit, never more than the
// recording's SNR allows (a suppressor asked for more than the speech stands
// above the noise takes the speech with it) nor than kMostForFloorDb.
struct LimitChoice
{
    float limitDb = 0.0f;
    std::optional<float> neededDb; // empty when the input's loudness or floor was not measured
};
constexpr float kFloorMarginDb = 3.0f;
constexpr float kMostForFloorDb = 40.0f;
constexpr float kOverSnrDb = 10.0f;
LimitChoice limitForFloor (const AnalysisResult& input, float targetLufs, float maxFloorDbfs, float mappedDb);
// The most limitForFloor gives for this input.
float allowedForFloor (const AnalysisResult& input);
} // namespace room_log

} // namespace tessaloom
