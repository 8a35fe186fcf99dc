#pragma once

#include "common/Levels.h"
#include "pipeline/stages/Gain.h"

namespace tessaloom
{

// Normalization gain: the whole difference between the target and the measured
// loudness, without limit either way; the limiter that follows catches what a
// large boost raises.
namespace stages
{
// The final tweak of normalization, or nothing when it does not apply
// (loudness not measured, or the stage bypassed): target - measured, unlimited.
std::optional<float> normalizationDb (float targetLufs, float measuredLufs, bool bypassed);

struct NormalizationParameters
{
    float targetLufs = -18.0f;
    float measuredLufs = (float) kNoLevelDb; // integrated loudness after saturation, measured in the chain's shaping pass
    bool bypassed = false;
};

// Nothing when the loudness was not measured or the stage is bypassed.
std::optional<GainSetting> designNormalizationGain (const NormalizationParameters& parameters);

struct NormalizationReport
{
    float measuredLufs = 0.0f;
    float targetLufs = 0.0f;
    std::optional<GainSetting> applied;
};
} // namespace stages

} // namespace tessaloom
