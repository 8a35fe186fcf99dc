#pragma once

#include "pipeline/stages/GainRamp.h"
#include "pipeline/stages/SlidingExtremum.h"
#include "pipeline/stages/TruePeakInterpolator.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tessaloom
{

// The delivery finish's limiter: keeps the reconstructed waveform (the peaks
// between the samples too) under a ceiling in dBTP, with one gain for all
// channels so the stereo image stays where it was.
//
// How: every sample's peak is estimated from an 8x-oversampled interpolation
// (the sample itself and seven points between it and the next); the gain that
// would bring that peak to the threshold is held for the look-ahead time and
// smoothed by a moving average of the same length, so the gain has reached it
// when the peak arrives (the audio is delayed by the look-ahead): no overshoot
// and no clipping of the program. After the peak the gain recovers
// exponentially with the release time. The interpolation runs only where the
// samples around a point could reach the threshold at all, so a passage well
// under the ceiling costs a few comparisons per sample.
//
// Made of the parts in true_peak_parts: the interpolator, the sliding maximum
// (the gate) and minimum (the hold), and the gain ramp. The limiter owns the
// delay line, the order in which frames go through the parts, and a resting
// path that takes quiet stretches in chunks with the same result.
namespace stages
{
struct TruePeakLimiterParameters
{
    float ceilingDbtp = -1.0f;  // dBTP: the highest the reconstructed output may reach
    float marginDb = 0.1f;      // dB: the limiter aims this far under the ceiling, for the meters'
                                // different interpolators and the 16-bit rounding of the output
    float lookaheadMs = 5.0f;   // ms: the attack ramp, and how much the audio is delayed inside
    float releaseMs = 80.0f;    // ms: time constant of the recovery after a peak
};

struct TruePeakLimiterDesign
{
    float ceilingDbtp = -1.0f;
    float threshold = 1.0f;       // linear, the ceiling less the margin
    int lookahead = 1;            // samples of the attack ramp (at least 1)
    float releaseCoefficient = 0; // one-pole coefficient of the recovery, per sample
    static constexpr int oversampling = true_peak_parts::kOversampling;
    static constexpr int taps = true_peak_parts::kTaps; // samples each interpolated point is made of (half before, half after)
    // (oversampling - 1) rows of `taps` coefficients: row p - 1 interpolates the
    // point p/oversampling of a sample period after sample n from samples n-7..n+8.
    std::vector<float> interpolation;
    // The largest sum of |coefficients| of a row: no interpolated point exceeds
    // the largest |sample| around it times this.
    float interpolationGainBound = 1.0f;

    // Samples from a frame going in to the same frame coming out.
    int latency() const noexcept { return lookahead - 1 + taps / 2; }
};

// Pure: the threshold, time constants and interpolation kernels for this rate.
TruePeakLimiterDesign designTruePeakLimiter (const TruePeakLimiterParameters& parameters, double sampleRate);

// The gain reduction so far: its largest value and its mean over every frame that came out.
struct TruePeakLimiterReport
{
    float ceilingDbtp = 0.0f;
    double maxGainReductionDb = 0.0;
    double meanGainReductionDb = 0.0;
    // An upper estimate of the output's true peak, linear: headroom for a later gain.
    double outputPeakEstimate = 0.0;
};

class TruePeakLimiter
{
public:
    // Allocates the delay lines (a few thousand floats per channel); nothing while processing.
    TruePeakLimiter (const TruePeakLimiterDesign& design, int numChannels);

    // Takes the next numFrames frames of every channel and writes, at the start
    // of the same buffers, the frames that are finished: the output is the
    // input delayed by latency(), with that delay taken out, so the first call
    // gives latency() fewer frames than it took and flush() gives them at the
    // end. Returns the number of frames written (at most numFrames).
    int process (float* const* channels, int numFrames) noexcept;

    // Writes the frames still inside (at most latency(), fewer for a shorter
    // input) to the start of `channels`, which must hold latency() frames; returns how many.
    int flush (float* const* channels) noexcept;

    int latency() const noexcept { return design.latency(); }
    TruePeakLimiterReport report() const;

private:
    // The frame-by-frame path.
    void push (const float* const* channels, int index, bool silent) noexcept;
    float take (const float* const* channels, int index, bool silent) noexcept;
    void decide (juce::int64 frame, float windowPeak) noexcept;
    float peakOfFrame (juce::int64 frame) const noexcept;
    void emit (float* const* channels, int at) noexcept;
    void countFrameOut (double gain, double db, float estimate) noexcept;

    // The resting path: the same state changes for frames that cannot reach the threshold.
    bool resting() const noexcept;
    int restingRun (float* const* channels, int index, int numFrames, int& written) noexcept;
    bool restingOneByOne (float* const* channels, int& index, int numFrames, int& written, double gain, double db) noexcept;
    void settle (juce::int64 lastRested, int count) noexcept;
    int restingChunk (float* const* channels, int index, int count, int& written, double gain, double db) noexcept;
    int restingPrefix (const float* const* channels, int index, int count) noexcept;
    void takeResting (const float* const* channels, int index, int gated) noexcept;
    void letOutResting (float* const* channels, int& written, int gated, double gain, double db) noexcept;
    void letOutRestingFrame (float* const* channels, int at, double gain, double db) noexcept;

    TruePeakLimiterDesign design;
    int numChannels = 0;
    true_peak_parts::Interpolator interpolator;

    // The input, channel after channel, each ring written twice (at i and i + ringSize) so
    // every span of `taps` samples lies contiguous for the interpolation.
    std::vector<float> rings;
    int ringSize = 0;
    juce::int64 pushed = 0, emitted = 0;

    // Largest |sample| over the channels, per frame, and the gate: its sliding
    // maximum over the frames an interpolated point reads.
    std::vector<float> framePeaks;
    true_peak_parts::SlidingMaximum gate;

    // The hold (the sliding minimum of the gain each frame needs, over the
    // look-ahead) and the ramp that smooths it into the gain a frame leaves with.
    true_peak_parts::SlidingMinimum hold;
    true_peak_parts::GainRamp ramp;
    float previousPeak = 0.0f; // the interpolated peak of the frame before, 0 when gated out
    std::vector<float> peakOfGainFrame; // the estimated peak of each frame, paired with its gain

    int restingChunkFrames = 0; // the length of the next resting chunk
    int framesBeforeChunks = 0; // resting frames to go one by one before chunks resume
    std::vector<float> windowScratch; // the frame peaks a resting chunk's windows read

    double largestReductionDb = 0.0, reductionSumDb = 0.0, outputPeak = 0.0;
};
} // namespace stages

} // namespace tessaloom
