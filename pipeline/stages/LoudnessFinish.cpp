#include "pipeline/stages/LoudnessFinish.h"

#include "analysis/Loudness.h"
#include "common/Levels.h"

#include <algorithm>
#include <cmath>

namespace tessaloom
{

namespace stages
{
FinishLoudnessMeter::FinishLoudnessMeter (int channels, double rate, std::vector<double> channelWeights)
    : numChannels (channels), hop (std::max (1, (int) (rate * 0.1))), weights (std::move (channelWeights))
{
    jassert (channels >= 0); // a count of channels, not a failure code
    jassert (rate > 0.0);    // the K-weighting is designed for the file's own rate
    // ITU-R BS.1770 stage 1 (high shelf) and stage 2 (high pass) from their analogue
    // prototypes, the constants as libebur128 derives them from the 48 kHz coefficients.
    {
        const double f0 = 1681.974450955533, gainDb = 3.999843853973347, q = 0.7071752369554196;
        const double k = std::tan (juce::MathConstants<double>::pi * f0 / rate);
        const double vh = std::pow (10.0, gainDb / 20.0), vb = std::pow (vh, 0.4996667741545416);
        const double a0 = 1.0 + k / q + k * k;
        shelf = { (vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
                  2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0 };
    }
    {
        const double f0 = 38.13547087602444, q = 0.5003270373238773;
        const double k = std::tan (juce::MathConstants<double>::pi * f0 / rate);
        const double a0 = 1.0 + k / q + k * k;
        highPass = { 1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0 };
    }
    state.assign ((size_t) numChannels * 8, 0.0);
}

void FinishLoudnessMeter::add (const float* const* channels, int numFrames)
{
    jassert (numFrames >= 0 && (channels != nullptr || numFrames == 0)); // one pointer per channel the meter was made for
    int done = 0;
    while (done < numFrames)
    {
        const int n = std::min (numFrames - done, hop - inHop);
        for (int c = 0; c < numChannels; ++c)
        {
            double* s = state.data() + (size_t) c * 8;
            double x1 = s[0], x2 = s[1], y1 = s[2], y2 = s[3], u1 = s[4], u2 = s[5], z1 = s[6], z2 = s[7];
            double sum = 0.0;
            const float* x = channels[c] + done;
            for (int i = 0; i < n; ++i)
            {
                const double in = x[i];
                const double y = shelf.b0 * in + shelf.b1 * x1 + shelf.b2 * x2 - shelf.a1 * y1 - shelf.a2 * y2;
                x2 = x1; x1 = in; y2 = y1; y1 = y;
                const double z = highPass.b0 * y + highPass.b1 * u1 + highPass.b2 * u2 - highPass.a1 * z1 - highPass.a2 * z2;
                u2 = u1; u1 = y; z2 = z1; z1 = z;
                sum += z * z;
            }
            s[0] = x1; s[1] = x2; s[2] = y1; s[3] = y2; s[4] = u1; s[5] = u2; s[6] = z1; s[7] = z2;
            hopSum += weights.empty() ? sum : weights[(size_t) c] * sum;
        }
        inHop += n;
        done += n;
        if (inHop == hop)
        {
            hopSums.push_back (hopSum);
            hopSum = 0.0;
            inHop = 0;
        }
    }
}

double FinishLoudnessMeter::integratedLufs() const
{
    // Four hops make a 400 ms gating block.
    std::vector<double> blockPowers;
    for (size_t i = 3; i < hopSums.size(); ++i)
        blockPowers.push_back ((hopSums[i - 3] + hopSums[i - 2] + hopSums[i - 1] + hopSums[i]) / (4.0 * hop));
    return analysis_detail::gateBlockPowers (blockPowers).integratedLufs;
}

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
    const double next = last.driveDb + p.stepStretch * shortfall / slope + p.overshootDb;
    return { false, 0.0f, (float) std::min ((double) p.maxDriveDb, next) };
}
} // namespace stages

} // namespace tessaloom
