#include "analysis/PrecisionTruePeak.h"

#include "common/Levels.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace tessaloom
{

namespace
{
// Length of the interpolation filter at the oversampled rate. Odd, so that
// its centre falls on an original sample and phase 0 gives the samples back.
constexpr int kFilterTaps = 49;

// Frames taken into the history at a time: the work buffer's size, not a
// limit on the blocks add() takes.
constexpr int kChunkFrames = 1024;

int factorFor (double sampleRate)
{
    if (sampleRate < 96000.0)
        return 4;
    if (sampleRate < 192000.0)
        return 2;
    return 1;
}
} // namespace

std::vector<std::vector<float>> PrecisionTruePeakMeter::designPhases (int factor)
{
    const int perPhase = (kFilterTaps + factor - 1) / factor;
    std::vector<std::vector<float>> phases ((size_t) factor, std::vector<float> ((size_t) perPhase, 0.0f));
    for (int j = 0; j < kFilterTaps; ++j)
    {
        // A windowed sinc with its zeros on the original samples: a low-pass
        // at the original Nyquist frequency for the oversampled rate.
        const double m = (double) j - (double) (kFilterTaps - 1) / 2.0;
        const double x = m * M_PI / (double) factor;
        const double sinc = std::abs (m) < 1.0e-9 ? 1.0 : std::sin (x) / x;
        const double hann = 0.5 * (1.0 - std::cos (2.0 * M_PI * (double) j / (double) (kFilterTaps - 1)));
        phases[(size_t) (j % factor)][(size_t) (j / factor)] = (float) (sinc * hann);
    }
    return phases;
}

PrecisionTruePeakMeter::PrecisionTruePeakMeter (int channels, double sampleRate)
    : numChannels (channels),
      factor (factorFor (sampleRate)),
      tapsPerPhase ((kFilterTaps + factor - 1) / factor),
      phases (designPhases (factor)),
      history ((size_t) std::max (channels, 0), std::vector<float> ((size_t) (tapsPerPhase - 1 + kChunkFrames), 0.0f)),
      peaks ((size_t) std::max (channels, 0), 0.0)
{
    assert (channels >= 0 && sampleRate > 0.0); // a meter for no rate measures nothing
}

void PrecisionTruePeakMeter::keepWindowsAbove (int frames, float aboveLinear)
{
    assert (frames > 0 && taken == 0);
    windowFrames = frames;
    windowAbove = aboveLinear;
}

// Each point's magnitude into the window its newest input frame falls in.
void PrecisionTruePeakMeter::foldIntoWindows (const float* top, int n, long long firstFrame, long long firstWindow)
{
    for (int i = 0; i < n;)
    {
        const long long frame = firstFrame + i;
        const int until = (int) std::min<long long> (n, i + (windowFrames - frame % windowFrames));
        auto& peak = windowPeaks[(size_t) (frame / windowFrames - firstWindow)];
        for (; i < until; ++i)
            peak = std::max (peak, top[i]);
    }
}

void PrecisionTruePeakMeter::add (const float* const* channels, int numFrames)
{
    assert (numFrames >= 0);
    const int keep = tapsPerPhase - 1;
    const long long firstWindow = windowFrames > 0 ? taken / windowFrames : 0;
    if (windowFrames > 0)
    {
        // Allocates only when a block touches more windows than any before.
        windowPeaks.assign ((size_t) ((taken + numFrames) / windowFrames - firstWindow + 1), 0.0f);
        windowPeaks.front() = openPeak;
    }
    // Each phase is summed tap by tap along a whole chunk of frames, so the
    // inner loops run over contiguous frames and vectorise; every point's sum
    // still adds its products in tap order.
    float sum[kChunkFrames], top[kChunkFrames];
    for (int c = 0; c < numChannels; ++c)
    {
        auto& h = history[(size_t) c];
        float peak = (float) peaks[(size_t) c];
        for (int done = 0; done < numFrames;)
        {
            const int n = std::min (kChunkFrames, numFrames - done);
            std::copy (channels[c] + done, channels[c] + done + n, h.begin() + keep);
            std::fill (top, top + n, 0.0f);
            // Output frame i uses inputs h[i .. i + keep]; the newest is h[i + keep].
            for (int p = 0; p < factor; ++p)
            {
                const float* taps = phases[(size_t) p].data();
                std::fill (sum, sum + n, 0.0f);
                for (int k = 0; k < tapsPerPhase; ++k)
                {
                    const float tap = taps[k];
                    const float* x = h.data() + keep - k;
                    for (int i = 0; i < n; ++i)
                        sum[i] += tap * x[i];
                }
                for (int i = 0; i < n; ++i)
                    top[i] = std::max (top[i], std::abs (sum[i]));
            }
            for (int i = 0; i < n; ++i)
                peak = std::max (peak, top[i]);
            if (windowFrames > 0)
                foldIntoWindows (top, n, taken + done, firstWindow);
            std::copy (h.begin() + n, h.begin() + n + keep, h.begin());
            done += n;
        }
        peaks[(size_t) c] = peak;
    }
    taken += numFrames;
    if (windowFrames > 0)
    {
        // Every window before the one the next frame falls in is complete.
        const auto open = (size_t) (taken / windowFrames - firstWindow);
        for (size_t w = 0; w < open; ++w)
            if (windowPeaks[w] > windowAbove)
                kept.push_back ({ firstWindow + (long long) w, windowPeaks[w] });
        openPeak = windowPeaks[open];
    }
}

std::vector<PrecisionTruePeakMeter::Window> PrecisionTruePeakMeter::windowsAbove() const
{
    auto windows = kept;
    if (windowFrames <= 0)
        return windows;
    float last = openPeak;
    for (int c = 0; c < numChannels; ++c)
        last = std::max (last, (float) tailPeak (c));
    if (last > windowAbove)
        windows.push_back ({ taken / windowFrames, last });
    return windows;
}

// The points after the last sample taken, as if silence followed: the
// interpolation lags its input by half the filter, so without them the last
// few samples of a recording would never be looked at.
double PrecisionTruePeakMeter::tailPeak (int channel) const
{
    const int keep = tapsPerPhase - 1;
    std::vector<float> x ((size_t) (2 * keep), 0.0f);
    std::copy (history[(size_t) channel].begin(), history[(size_t) channel].begin() + keep, x.begin());
    float peak = 0.0f;
    for (int p = 0; p < factor; ++p)
        for (int i = 0; i < keep; ++i)
        {
            float sum = 0.0f;
            for (int k = 0; k < tapsPerPhase; ++k)
                sum += phases[(size_t) p][(size_t) k] * x[(size_t) (i + keep - k)];
            peak = std::max (peak, std::abs (sum));
        }
    return peak;
}

double PrecisionTruePeakMeter::channelPeakLinear (int channel) const
{
    return std::max (peaks[(size_t) channel], tailPeak (channel));
}

double PrecisionTruePeakMeter::peakLinear() const
{
    double peak = 0.0;
    for (int c = 0; c < numChannels; ++c)
        peak = std::max (peak, channelPeakLinear (c));
    return peak;
}

double PrecisionTruePeakMeter::peakDbtp() const
{
    return levelDbfs (peakLinear());
}

} // namespace tessaloom
