#pragma once

#include "pipeline/stages/Gain.h"
#include "pipeline/stages/TruePeakLimiter.h"

#include <vector>

// The loudness finish: the true-peak limiter, and a gain that puts the
// limited file's integrated loudness on the target. Limiting lowers the
// loudness by an amount only a measurement tells, so the finish measures the
// limited audio, corrects, and limits again: each pass over the file is one
// measurement, and this rule decides from the passes so far what the next one
// drives into the limiter, or that the loudness is settled and which gain
// after the limiter lands it.
namespace stages
{
struct LoudnessFinishParameters
{
    float targetLufs = -18.0f;
    float toleranceLu = 0.05f;  // LU: a pass this close counts as on target when no gain can close the rest
    int maxPasses = 8;          // measuring passes at most; the last one's result stands
    float overshootDb = 0.05f;  // dB: aim a little over the target, so the last correction is a cut,
                                // which never raises the peaks
    float maxDriveDb = 24.0f;   // dB: the most added into the limiter
};

// One measuring pass: the gain added into the limiter, and what came out.
struct FinishPass
{
    float driveDb = 0.0f;
    double lufs = -144.0;          // integrated loudness after the limiter
    double outputPeak = 0.0;       // the limiter's estimate of the output's true peak, linear
    TruePeakLimiterReport limiter;
};

struct FinishStep
{
    bool settled = false;
    float gainDb = 0.0f;      // settled: the gain after the limiter, on the last pass's drive
    float nextDriveDb = 0.0f; // not settled: the drive of the next pass
};

// Pure: what to do after these passes (at least one), for a limiter whose threshold is `threshold` (linear).
FinishStep nextFinishStep (const LoudnessFinishParameters& parameters, float threshold,
                           const std::vector<FinishPass>& passes);

struct LoudnessFinishReport
{
    enum class Loudness { corrected, notMeasured, leftAlone }; // leftAlone: normalization bypassed
    Loudness loudness = Loudness::corrected;
    float targetLufs = 0.0f;
    float ceilingDbtp = 0.0f;
    std::vector<FinishPass> passes;
    float driveDb = 0.0f;
    std::optional<GainSetting> gain; // after the limiter; none when it is 0 dB or the loudness is not corrected
    double finalLufs = -144.0;       // the last pass's loudness with the gain
    TruePeakLimiterReport limiter;   // of the pass that was written
};
} // namespace stages
