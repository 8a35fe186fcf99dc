#pragma once

#include <vector>

namespace tessaloom
{

// The true-peak limiter's interpolator: the points between a sample and the
// next, estimated from the samples around them by a Kaiser-windowed sinc, so
// that a peak the reconstructed waveform reaches between two samples is seen.
namespace true_peak_parts
{
constexpr int kOversampling = 8; // points per sample period: the sample itself and seven between
constexpr int kTaps = 16;        // samples each point is made of (half before, half after)

struct InterpolationKernel
{
    // (kOversampling - 1) rows of kTaps coefficients: row p - 1 interpolates the
    // point p/kOversampling of a sample period after sample n from samples n-7..n+8.
    std::vector<float> rows;
    // The largest sum of |coefficients| of a row (at least 1, for the sample
    // itself), rounded up a little: no point exceeds the largest |sample| around it times this.
    float gainBound = 1.0f;
};

// Pure: the kernel, the same at every rate (the points are fractions of a sample period).
InterpolationKernel designInterpolation();

// Every point of a frame at once. Allocates its coefficient table once; nothing per call.
class Interpolator
{
public:
    explicit Interpolator (const std::vector<float>& rows);

    // The largest of |x[kTaps/2 - 1]| (the sample itself) and the |points| between it
    // and the next, from the kTaps samples starting at x.
    float peakOfSpan (const float* x) const noexcept;

private:
    static constexpr int kLanes = 8; // the seven points and a spare lane, side by side
    static_assert (kOversampling - 1 <= kLanes, "a lane for every point");
    std::vector<float> pointsByTap; // the rows turned: per tap, its coefficient for each point
};
} // namespace true_peak_parts

} // namespace tessaloom
