#include "analysis/TiltAndHum.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tessaloom
{

//==============================================================================
// The FFT frame.

namespace
{
constexpr double kNoBinDb = -120.0;              // level of a bin with no energy
// An unscaled bin magnitude at or below this holds no energy. Bins are not
// levels relative to full scale, so their floor is kNoBinDb, not kNoLevelDb.
constexpr double kEmptyBinMagnitude = 1e-10;

inline double binLevelDb (double magnitude) { return magnitude > kEmptyBinMagnitude ? 20.0 * std::log10 (magnitude) : kNoBinDb; }

// The order of the largest power-of-two frame, up to 2^maxOrder, that fits in
// numSamples; 0 for an empty buffer.
inline int frameOrder (int numSamples, int maxOrder)
{
    if (numSamples < 1)
        return 0;
    int order = 0;
    while (order < maxOrder && (2 << order) <= numSamples)
        ++order;
    return order;
}

// The magnitude spectrum (fftSize / 2 bins, unscaled) of the Hann-windowed mono
// mix of the first fftSize samples. Allocates the FFT, its 2·fftSize work array
// and the window table.
inline std::vector<float> startMagnitudes (const juce::AudioBuffer<float>& buffer, int order)
{
    const int fftSize = 1 << order;
    juce::dsp::FFT fft (order);
    std::vector<float> frame ((size_t) (2 * fftSize), 0.0f);

    const int numChannels = buffer.getNumChannels();
    for (int i = 0; i < fftSize; ++i)
    {
        float sum = 0.0f;
        for (int ch = 0; ch < numChannels; ++ch)
            sum += buffer.getSample (ch, i);
        frame[(size_t) i] = sum / (float) numChannels;
    }

    juce::dsp::WindowingFunction<float> window ((size_t) fftSize, juce::dsp::WindowingFunction<float>::hann, true);
    window.multiplyWithWindowingTable (frame.data(), (size_t) fftSize);
    fft.performRealOnlyForwardTransform (frame.data(), false);

    std::vector<float> magnitudes ((size_t) (fftSize / 2));
    for (int k = 0; k < fftSize / 2; ++k)
    {
        const float re = frame[(size_t) (2 * k)];
        const float im = frame[(size_t) (2 * k + 1)];
        magnitudes[(size_t) k] = std::sqrt (re * re + im * im);
    }
    return magnitudes;
}
} // namespace

//==============================================================================
// Spectral tilt.

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
        const double y = binLevelDb (mag[(size_t) k]);
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

SpectralTiltMeasurement analysis_detail::spectralTiltOf (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    SpectralTiltMeasurement m;
    m.profile = tiltProfile (m.slopeDbPerOctave);

    const int order = frameOrder (buffer.getNumSamples(), kTiltMaxOrder);
    const int fftSize = 1 << order;
    if (buffer.getNumSamples() < 1 || fftSize < kTiltMinSize || buffer.getNumChannels() < 1)
        return m;

    const auto mag = startMagnitudes (buffer, order);
    const double binWidth = sampleRate / fftSize;

    const int startBin = std::max (1, (int) (kTiltLowHz / binWidth));
    const int endBin = std::min ((int) (sampleRate * kTiltHighFraction / binWidth), fftSize / 2 - 1);
    if (startBin + kTiltMinBins >= endBin || endBin < startBin)
        return m;

    m.fitted = true;
    m.firstBin = startBin;
    m.lastBin = endBin;
    m.slopeDbPerOctave = fittedSlope (mag, startBin, endBin, binWidth);
    m.profile = tiltProfile (m.slopeDbPerOctave);
    return m;
}

//==============================================================================
// Grid hum.

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
        return kNoBinDb;

    float best = 0.0f;
    for (int b = std::max (1, k - 1); b <= std::min (k + 1, numBins - 1); ++b)
        best = std::max (best, mag[(size_t) b]);
    return binLevelDb (best);
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
        return kNoBinDb;

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
        return kNoBinDb;
    return binLevelDb (sum / count);
}

double overLocalDb (const std::vector<float>& mag, double hz, double binWidth)
{
    return peakLevel (mag, hz, binWidth) - localLevel (mag, hz, binWidth);
}
} // namespace

GridHumMeasurement analysis_detail::gridHumOf (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    GridHumMeasurement m;
    const int order = frameOrder (buffer.getNumSamples(), kHumMaxOrder);
    const int fftSize = 1 << order;
    if (buffer.getNumSamples() < 1 || fftSize < kHumMinSize || buffer.getNumChannels() < 1)
        return m;

    const auto mag = startMagnitudes (buffer, order);
    const double binWidth = sampleRate / fftSize;

    m.fundamentalOverLocalDb = overLocalDb (mag, kMainsHz, binWidth);
    m.secondOverLocalDb = overLocalDb (mag, 2.0 * kMainsHz, binWidth);
    m.thirdOverLocalDb = overLocalDb (mag, 3.0 * kMainsHz, binWidth);
    m.detected = m.fundamentalOverLocalDb > kFundamentalOverLocalDb
                 || (m.secondOverLocalDb > kSecondOverLocalDb && m.thirdOverLocalDb > kThirdOverLocalDb);
    return m;
}

//==============================================================================
// The frames kept from the start.

analysis_detail::StartFrames::StartFrames (int numChannels, double rate)
    : sampleRate (rate), frames (std::max (0, numChannels), 0)
{
}

void analysis_detail::StartFrames::add (const float* const* channels, int numFrames)
{
    const int n = std::min (numFrames, capacity - count);
    if (n <= 0)
        return;
    if (frames.getNumSamples() < capacity)
        frames.setSize (frames.getNumChannels(), capacity, false, true, false);
    for (int c = 0; c < frames.getNumChannels(); ++c)
        std::copy (channels[c], channels[c] + n, frames.getWritePointer (c) + count);
    count += n;
}

// The held frames as a buffer of their own length: the FFT frame size follows
// from the length, and every frame size up to the largest the measurements use
// comes out the same as from the whole recording.
juce::AudioBuffer<float> analysis_detail::StartFrames::held() const
{
    if (count == 0)
        return juce::AudioBuffer<float> (frames.getNumChannels(), 0);
    return juce::AudioBuffer<float> (const_cast<float* const*> (frames.getArrayOfReadPointers()), frames.getNumChannels(), count);
}

SpectralTiltMeasurement analysis_detail::StartFrames::spectralTilt() const
{
    return spectralTiltOf (held(), sampleRate);
}

GridHumMeasurement analysis_detail::StartFrames::gridHum() const
{
    return gridHumOf (held(), sampleRate);
}

} // namespace tessaloom
