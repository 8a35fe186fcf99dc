#pragma once

#include "common/Levels.h"
#include "pipeline/stages/Gain.h"
#include "pipeline/stages/TruePeakLimiter.h"

#include <vector>

namespace tessaloom
{

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
    // Each pass gives back less loudness per dB of drive than the one before
    // (the limiter works harder), so a step aimed by the last two passes falls
    // short; stretching it by this saves passes, and the cut after it is exact.
    double stepStretch = 1.3;
};

// One measuring pass: the gain added into the limiter, and what came out.
struct FinishPass
{
    float driveDb = 0.0f;
    double lufs = kNoLevelDb;          // integrated loudness after the limiter
    double outputPeak = 0.0;       // the limiter's estimate of the output's true peak, linear
    TruePeakLimiterReport limiter;
};

struct FinishStep
{
    bool settled = false;
    float gainDb = 0.0f;      // settled: the gain after the limiter, on the last pass's drive
    float nextDriveDb = 0.0f; // not settled: the drive of the next pass
};

// The integrated loudness of what the finish writes, by BS.1770 at any rate:
// K-weighting designed from its analogue prototype for the file's own rate
// (the analysis's meter takes the 48 kHz coefficients only at 48 kHz and
// approximates them elsewhere, 0.05 LU off for speech at 44.1 kHz), 400 ms
// blocks every 100 ms, the -70 LUFS and -10 LU gates. Holds a double per
// 100 ms of audio.
class FinishLoudnessMeter
{
public:
    // channelWeights: each channel's weight in the sum (BS.1770's, where the
    // layout is known); empty weighs every channel 1.0.
    FinishLoudnessMeter (int numChannels, double sampleRate, std::vector<double> channelWeights = {});
    void add (const float* const* channels, int numFrames);
    double integratedLufs() const; // -144 when no block passes the gates

private:
    struct Biquad
    {
        double b0, b1, b2, a1, a2;
    };
    Biquad shelf {}, highPass {};
    std::vector<double> state; // per channel: the two biquads' x1 x2 y1 y2
    int numChannels = 0;
    int hop = 1;
    int inHop = 0;
    double hopSum = 0.0;
    std::vector<double> hopSums; // the K-weighted sum of squares of every 100 ms
    std::vector<double> weights;
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
    double finalLufs = kNoLevelDb;       // the last pass's loudness with the gain
    float toleranceLu = 0.05f;       // a final loudness further off is reported as short of the target
    TruePeakLimiterReport limiter;   // of the pass that was written
};
} // namespace stages

} // namespace tessaloom
