#include "pipeline/stages/LoudnessFinish.h"

#include "common/Levels.h"

#include <algorithm>
#include <cmath>

namespace stages
{
FinishStep nextFinishStep (const LoudnessFinishParameters& p, float threshold, const std::vector<FinishPass>& passes)
{
    const auto& last = passes.back();
    if (last.lufs <= kNotMeasuredLufs)
        return { true, 0.0f, last.driveDb };

    const double shortfall = p.targetLufs - last.lufs; // dB the file still lacks (negative: too loud)
    // How far a gain after the limiter may raise the file before its peaks pass the threshold.
    const double headroomDb = last.outputPeak > 0.0 ? 20.0 * std::log10 ((double) threshold / last.outputPeak) : 200.0;
    if (shortfall <= 0.0 || shortfall <= headroomDb)
        return { true, (float) shortfall, last.driveDb };

    const bool outOfPasses = (int) passes.size() >= p.maxPasses || last.driveDb >= p.maxDriveDb;
    if (outOfPasses || shortfall <= p.toleranceLu)
        return { true, (float) std::max (0.0, headroomDb), last.driveDb };

    // Limiting gives back less than the drive puts in: the slope of the last two
    // passes says how much less (1 for the first correction), so the next drive
    // aims past the target by the overshoot and the final gain is a cut.
    double slope = 1.0;
    if (passes.size() >= 2)
    {
        const auto& before = passes[passes.size() - 2];
        const double dDrive = (double) last.driveDb - before.driveDb;
        if (dDrive > 1e-6)
            slope = std::clamp ((last.lufs - before.lufs) / dDrive, 0.1, 1.0);
    }
    const double next = last.driveDb + shortfall / slope + p.overshootDb;
    return { false, 0.0f, (float) std::min ((double) p.maxDriveDb, next) };
}
} // namespace stages
