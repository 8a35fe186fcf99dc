#pragma once

#include "pipeline/stages/Gain.h"
#include "pipeline/stages/NormalizationGain.h"
#include "pipeline/stages/OutputTrim.h"
#include "pipeline/stages/PreGain.h"

// The gain arithmetic of the level stages, under the names the driver's
// callers know it by. It lives with the stages (pipeline/stages/Gain.h,
// PreGain.h, NormalizationGain.h, OutputTrim.h): pure functions of the figures
// they are given, so each rule can be checked with a loudness or a peak given
// directly.
namespace GainRules
{
using stages::gainFactor;
using stages::isMeasured;
using stages::maxPreGainBoostDb;
using stages::minusInfinityDb;
using stages::normalizationDb;
using stages::outputPeakTarget;
using stages::outputTrimFloor;
using stages::outputTrimGain;
using stages::preGainDb;
} // namespace GainRules
