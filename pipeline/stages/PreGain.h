#pragma once

#include "common/Levels.h"
#include "pipeline/stages/Gain.h"

namespace tessaloom
{

// Pre-gain leveling: brings the file toward the target loudness before the
// dynamics stages (boosts capped at +12 dB, cuts unlimited), so their
// thresholds meet speech at a known level.
namespace stages
{
// Pre-gain never boosts by more than this; there is no lower limit.
constexpr float maxPreGainBoostDb = 12.0f;

// The pre-gain for a measured loudness, or nothing when it does not apply
// (loudness not measured, or the stage bypassed): min(12, target - measured).
std::optional<float> preGainDb (float targetLufs, float measuredLufs, bool bypassed);

struct PreGainParameters
{
    float targetLufs = -18.0f;
    float measuredLufs = (float) kNoLevelDb; // integrated loudness of the file as it reaches pre-gain, measured before the chain runs
    bool bypassed = false;
};

// Nothing when the loudness was not measured or the stage is bypassed.
std::optional<GainSetting> designPreGain (const PreGainParameters& parameters);

struct PreGainReport
{
    float measuredLufs = 0.0f;
    std::optional<GainSetting> applied;
};
} // namespace stages

} // namespace tessaloom
