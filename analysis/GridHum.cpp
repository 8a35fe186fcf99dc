#include "analysis/AnalysisKernels.h"
#include "analysis/AudioAnalyzer.h"

#include <algorithm>
#include <cmath>

namespace kernels = analysis_detail::kernels;

namespace
{
// One frame of up to 2^14 points, the 50 Hz family only: the fundamental alone
// or the second and third harmonics together must stand out of their neighbourhood.
constexpr int kHumMaxOrder = 14;
constexpr int kHumMinSize = 4096;
constexpr double kMainsHz = 50.0;
constexpr double kHumNeighbourhoodHz = 20.0;
constexpr double kFundamentalOverLocalDb = 15.0;
constexpr double kSecondOverLocalDb = 12.0;
constexpr double kThirdOverLocalDb = 10.0;

// The bin of a frequency, rounded half away from zero.
int binOf (double hz, double binWidth) { return (int) std::lround (hz / binWidth); }

// The level of the largest of the three bins around a frequency.
double peakLevel (const std::vector<float>& mag, double hz, double binWidth)
{
    const int numBins = (int) mag.size();
    const int k = binOf (hz, binWidth);
    if (k <= 0 || k >= numBins)
        return kernels::kNoBinDb;

    float best = 0.0f;
    for (int b = std::max (1, k - 1); b <= std::min (k + 1, numBins - 1); ++b)
        best = std::max (best, mag[(size_t) b]);
    return kernels::binLevelDb (best);
}

// The level of the mean magnitude within kHumNeighbourhoodHz of a frequency,
// leaving out the three bins of the line itself.
double localLevel (const std::vector<float>& mag, double hz, double binWidth)
{
    const int numBins = (int) mag.size();
    const int c = binOf (hz, binWidth);
    const int w = binOf (kHumNeighbourhoodHz, binWidth);
    const int hi = std::min (c + w, numBins - 1);
    const int lo = std::max (c - w, 1);
    if (hi < lo)
        return kernels::kNoBinDb;

    double sum = 0.0;
    int count = 0;
    for (int b = lo; b <= hi; ++b)
    {
        if (std::abs (b - c) <= 1)
            continue;
        sum += mag[(size_t) b];
        ++count;
    }
    if (count == 0)
        return kernels::kNoBinDb;
    return kernels::binLevelDb (sum / count);
}

double overLocalDb (const std::vector<float>& mag, double hz, double binWidth)
{
    return peakLevel (mag, hz, binWidth) - localLevel (mag, hz, binWidth);
}
} // namespace

GridHumMeasurement AudioAnalyzer::detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    GridHumMeasurement m;
    const int order = kernels::frameOrder (buffer.getNumSamples(), kHumMaxOrder);
    const int fftSize = 1 << order;
    if (buffer.getNumSamples() < 1 || fftSize < kHumMinSize || buffer.getNumChannels() < 1)
        return m;

    const auto mag = kernels::startMagnitudes (buffer, order);
    const double binWidth = sampleRate / fftSize;

    m.fundamentalOverLocalDb = overLocalDb (mag, kMainsHz, binWidth);
    m.secondOverLocalDb = overLocalDb (mag, 2.0 * kMainsHz, binWidth);
    m.thirdOverLocalDb = overLocalDb (mag, 3.0 * kMainsHz, binWidth);
    m.detected = m.fundamentalOverLocalDb > kFundamentalOverLocalDb
                 || (m.secondOverLocalDb > kSecondOverLocalDb && m.thirdOverLocalDb > kThirdOverLocalDb);
    return m;
}
