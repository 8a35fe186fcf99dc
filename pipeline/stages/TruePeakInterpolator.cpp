#include "pipeline/stages/TruePeakInterpolator.h"

#include <juce_core/juce_core.h>

#include <algorithm>
#include <cmath>

namespace tessaloom
{

namespace true_peak_parts
{
namespace
{
// Kaiser window shape of the interpolation kernel: beta 8 keeps the ripple of
// the 16-tap windowed sinc under 0.01 dB up to 0.8 of the Nyquist frequency,
// where speech has little left.
constexpr double kKaiserBeta = 8.0;

double besselI0 (double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50; ++k)
    {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < 1e-12 * sum)
            break;
    }
    return sum;
}
} // namespace

InterpolationKernel designInterpolation()
{
    constexpr int L = kOversampling, K = kTaps;
    InterpolationKernel kernel;
    kernel.rows.assign ((size_t) ((L - 1) * K), 0.0f);
    const double halfWidth = K / 2.0;
    double bound = 1.0; // the sample itself
    for (int p = 1; p < L; ++p)
    {
        const double fraction = (double) p / L;
        double row[K], sum = 0.0;
        for (int i = 0; i < K; ++i)
        {
            // Tap i reads sample n - (K/2 - 1) + i; the point lies at n + fraction.
            const double t = fraction - (double) (i - (K / 2 - 1));
            const double sinc = std::sin (juce::MathConstants<double>::pi * t) / (juce::MathConstants<double>::pi * t);
            const double w = t / halfWidth;
            const double window = std::abs (w) >= 1.0 ? 0.0 : besselI0 (kKaiserBeta * std::sqrt (1.0 - w * w)) / besselI0 (kKaiserBeta);
            row[i] = sinc * window;
            sum += row[i];
        }
        double absSum = 0.0;
        for (int i = 0; i < K; ++i)
        {
            // Unity gain at DC for every point, so a constant passes at its own level.
            const float c = (float) (row[i] / sum);
            kernel.rows[(size_t) ((p - 1) * K + i)] = c;
            absSum += std::abs ((double) c);
        }
        bound = std::max (bound, absSum);
    }
    // Rounded up a little, so that float sums of the products stay inside it.
    kernel.gainBound = (float) (bound * 1.0001);
    return kernel;
}

Interpolator::Interpolator (const std::vector<float>& rows)
{
    constexpr int K = kTaps;
    jassert (rows.size() == (size_t) ((kOversampling - 1) * K)); // a kernel from designInterpolation
    pointsByTap.assign ((size_t) (K * kLanes), 0.0f);
    for (int p = 0; p < kOversampling - 1; ++p)
        for (int i = 0; i < K; ++i)
            pointsByTap[(size_t) (i * kLanes + p)] = rows[(size_t) (p * K + i)];
}

float Interpolator::peakOfSpan (const float* x) const noexcept
{
    constexpr int K = kTaps;
    float peak = std::abs (x[K / 2 - 1]);
    // All points at once, tap by tap: each point's sum still adds its
    // products in tap order, so it is the sum a point-by-point loop makes.
    float y[kLanes] = {};
    for (int i = 0; i < K; ++i)
    {
        const float* h = pointsByTap.data() + (size_t) (i * kLanes);
        for (int p = 0; p < kLanes; ++p)
            y[p] += h[p] * x[i];
    }
    for (int p = 0; p < kOversampling - 1; ++p)
        peak = std::max (peak, std::abs (y[p]));
    return peak;
}
} // namespace true_peak_parts

} // namespace tessaloom
