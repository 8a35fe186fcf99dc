#include "analysis/AnalysisKernels.h"
#include "analysis/AudioAnalyzer.h"

#include <algorithm>
#include <cmath>

namespace kernels = analysis_detail::kernels;

namespace
{
// One frame of up to 2^13 points from the start of the file, line fitted from
// 100 Hz up to a quarter of the sample rate.
constexpr int kTiltMaxOrder = 13;
constexpr int kTiltMinSize = 256;
constexpr double kTiltLowHz = 100.0;
constexpr double kTiltHighFraction = 0.25;
constexpr int kTiltMinBins = 10;

// Below this the fit's denominator (n·Σx² - (Σx)²) is taken as zero: the
// frequencies are too few or too close to give a slope.
constexpr double kMinFitDenominator = 1e-10;

// The tilt profiles, by their upper bounds in dB per octave.
constexpr double kVeryDarkBelow = -3.0;
constexpr double kSlightlyDarkBelow = -1.0;
constexpr double kBalancedBelow = 1.0;

// Least-squares slope of the bin levels (dB) over log2 of their frequencies.
double fittedSlope (const std::vector<float>& mag, int startBin, int endBin, double binWidth)
{
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (int k = startBin; k <= endBin; ++k)
    {
        const double x = std::log2 (k * binWidth);
        const double y = kernels::binLevelDb (mag[(size_t) k]);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }

    const double n = endBin - startBin + 1;
    const double denominator = n * sxx - sx * sx;
    return std::abs (denominator) > kMinFitDenominator ? (n * sxy - sx * sy) / denominator : 0.0;
}
} // namespace

const char* analysis_detail::tiltProfile (double slope)
{
    if (slope < kVeryDarkBelow) return "Very Dark/Muddy";
    if (slope < kSlightlyDarkBelow) return "Slightly Dark";
    if (slope < kBalancedBelow) return "Balanced";
    return "Bright/Thin";
}

SpectralTiltMeasurement AudioAnalyzer::measureSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    SpectralTiltMeasurement m;
    m.profile = analysis_detail::tiltProfile (m.slopeDbPerOctave);

    const int order = kernels::frameOrder (buffer.getNumSamples(), kTiltMaxOrder);
    const int fftSize = 1 << order;
    if (buffer.getNumSamples() < 1 || fftSize < kTiltMinSize || buffer.getNumChannels() < 1)
        return m;

    const auto mag = kernels::startMagnitudes (buffer, order);
    const double binWidth = sampleRate / fftSize;

    const int startBin = std::max (1, (int) (kTiltLowHz / binWidth));
    const int endBin = std::min ((int) (sampleRate * kTiltHighFraction / binWidth), fftSize / 2 - 1);
    if (startBin + kTiltMinBins >= endBin || endBin < startBin)
        return m;

    m.fitted = true;
    m.firstBin = startBin;
    m.lastBin = endBin;
    m.slopeDbPerOctave = fittedSlope (mag, startBin, endBin, binWidth);
    m.profile = analysis_detail::tiltProfile (m.slopeDbPerOctave);
    return m;
}
