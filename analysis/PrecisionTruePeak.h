#pragma once

// The true peak that delivery checks are measured with: the largest magnitude
// of the signal interpolated by a polyphase FIR (ITU-R BS.1770-4, Annex 2),
// 4x below 96 kHz, 2x below 192 kHz, the samples themselves above. Its taps are
// a 49-point Hann-windowed sinc, so one phase of the interpolation lands on the
// original samples and the others halfway and a quarter between them: a tone
// at a quarter of the rate reads its true level at every phase, and a single
// click reads its own height. It agrees with libebur128 (which uses the same
// factors and a filter of the same length) within a few hundredths of a dB.
//
// The chain's own analysis keeps its 4x IIR meter (analysis/TruePeak.h) for
// the parameters it maps; that one reads high near the Nyquist frequency and
// on abrupt onsets, which is harmless there and wrong for a pass/fail check.

#include <vector>

namespace tessaloom
{

class PrecisionTruePeakMeter
{
public:
    // Allocates a few hundred floats per channel; add() allocates nothing
    // (with windows kept: only for a block that touches more windows than any
    // before it, and for each window kept).
    PrecisionTruePeakMeter (int numChannels, double sampleRate);

    // Takes the next numFrames frames of every channel (blocks of any length).
    void add (const float* const* channels, int numFrames);

    // The largest interpolated magnitude over every channel, full scale 1.0.
    double peakLinear() const;
    double channelPeakLinear (int channel) const;
    // The same in dBTP; -144 for silence.
    double peakDbtp() const;

    // 4, 2 or 1, from the sample rate.
    int oversamplingFactor() const { return factor; }

    // Where the peak went above a level, window by window: each window of
    // windowFrames input frames (counted from the first frame taken) whose
    // interpolated peak is above aboveLinear is kept with that peak. A window's
    // points are those computed as its frames came in, so they lag its frames
    // by interpolationDelayFrames(); the points after the last frame belong to
    // the window that frame is in. Call before the first add().
    void keepWindowsAbove (int windowFrames, float aboveLinear);
    struct Window
    {
        long long index = 0;
        float peakLinear = 0.0f;
    };
    // The windows kept, in order, the last one's tail included. Call after the last add().
    std::vector<Window> windowsAbove() const;
    int interpolationDelayFrames() const { return (tapsPerPhase - 1) / 2; }

    // The interpolation's taps, phase by phase: phase p of the output at input
    // frame n is the sum over k of taps[p][k] * x[n - k].
    static std::vector<std::vector<float>> designPhases (int factor);

private:
    double tailPeak (int channel) const;
    void foldIntoWindows (const float* top, int n, long long firstFrame, long long firstWindow);

    int windowFrames = 0; // 0: no windows kept
    float windowAbove = 0.0f;
    long long taken = 0;                // frames taken so far
    float openPeak = 0.0f;              // the peak so far of the window the next frame falls in
    std::vector<float> windowPeaks;     // the windows an add() touches, the open one first
    std::vector<Window> kept;

    int numChannels, factor, tapsPerPhase;
    std::vector<std::vector<float>> phases;
    // Per channel: the last tapsPerPhase - 1 input samples, oldest first,
    // followed by room for a chunk of new ones.
    std::vector<std::vector<float>> history;
    std::vector<double> peaks;
};

} // namespace tessaloom
