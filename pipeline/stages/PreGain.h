#pragma once

#include "pipeline/stages/Gain.h"

// Pre-gain leveling: brings the file toward the target loudness before the
// dynamics stages (boosts capped at +12 dB, cuts unlimited), so their
// thresholds meet speech at a known level.
namespace stages
{
struct PreGainParameters
{
    float targetLufs = -18.0f;
    float measuredLufs = -144.0f; // integrated loudness of the file as it reaches pre-gain, measured before the chain runs
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
