#include "analysis/PrecisionTruePeak.h"

#include "common/Levels.h"

#include <algorithm>
#include <cmath>

namespace
{
// 49 taps at 4x (13 per phase, the last of three phases zero), 25 at 2x.
constexpr int kTapsPerPhase = 13;
constexpr double kPi = 3.14159265358979323846;
} // namespace

PrecisionTruePeakMeter::PrecisionTruePeakMeter (int channels, double sampleRate)
    : numChannels (std::max (1, channels)),
      factor (sampleRate < 96000.0 ? 4 : sampleRate < 192000.0 ? 2 : 1),
      tapsPerPhase (factor > 1 ? kTapsPerPhase : 1)
{
    // A Hann-windowed sinc cut at the input's Nyquist frequency, odd in length
    // and centred on a tap, so phase 0 gives the samples themselves and the
    // others the points between them.
    const int taps = factor * (tapsPerPhase - 1) + 1;
    coefficients.assign ((size_t) (factor * tapsPerPhase), 0.0f);
    for (int j = 0; j < taps; ++j)
    {
        const double m = (double) j - (taps - 1) / 2.0;
        const double x = kPi * m / factor;
        // Zero on every other multiple of the factor, so phase 0 is exactly the samples.
        const double sinc = m == 0.0 ? 1.0 : (std::fmod (m, (double) factor) == 0.0 ? 0.0 : std::sin (x) / x);
        const double window = taps > 1 ? 0.5 * (1.0 - std::cos (2.0 * kPi * j / (taps - 1))) : 1.0;
        coefficients[(size_t) ((j % factor) * tapsPerPhase + j / factor)] = (float) (sinc * window);
    }
    history.assign ((size_t) numChannels, std::vector<float> ((size_t) (tapsPerPhase - 1), 0.0f));
}

void PrecisionTruePeakMeter::add (const float* const* channels, int numFrames)
{
    if (numFrames <= 0)
        return;
    const int keep = tapsPerPhase - 1;
    // In runs of a few hundred frames, each phase summed tap by tap over the
    // whole run and the largest magnitudes kept per frame: every inner loop
    // runs along contiguous frames, which the compiler vectorises.
    constexpr int run = 256;
    float sum[run], top[run];
    for (int c = 0; c < numChannels; ++c)
    {
        auto& line = history[(size_t) c];
        line.resize ((size_t) keep);
        line.insert (line.end(), channels[c], channels[c] + numFrames);
        for (int from = 0; from < numFrames; from += run)
        {
            const int n = std::min (run, numFrames - from);
            // The newest sample of frame i is line[keep + from + i].
            const float* newest = line.data() + keep + from;
            for (int i = 0; i < n; ++i)
                top[i] = std::abs (newest[i]); // phase 0: the samples themselves
            for (int p = 1; p < factor; ++p)
            {
                const float* h = coefficients.data() + p * tapsPerPhase;
                for (int i = 0; i < n; ++i)
                    sum[i] = 0.0f;
                for (int k = 0; k < tapsPerPhase; ++k)
                {
                    const float hk = h[k];
                    const float* x = newest - k;
                    for (int i = 0; i < n; ++i)
                        sum[i] += hk * x[i];
                }
                for (int i = 0; i < n; ++i)
                    top[i] = std::max (top[i], std::abs (sum[i]));
            }
            for (int i = 0; i < n; ++i)
                peak = std::max (peak, top[i]);
        }
        line.erase (line.begin(), line.end() - keep);
    }
}

double PrecisionTruePeakMeter::peakLinear() const
{
    return (double) peak;
}

double PrecisionTruePeakMeter::peakDbtp() const
{
    return peak > kSilenceAmplitude ? 20.0 * std::log10 ((double) peak) : kNoLevelDb;
}
