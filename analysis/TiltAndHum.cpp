#include "analysis/AnalysisKernels.h"
#include "analysis/AudioAnalyzer.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>

using analysis_detail::fmt;
namespace kernels = analysis_detail::kernels;

namespace
{
constexpr double kNoBinDb = -120.0;       // level of a bin with no energy
constexpr double kMinMagnitude = 1e-10;

// Spectral tilt: one frame of up to 2^13 points from the start of the file,
// line fitted from 100 Hz up to a quarter of the sample rate.
constexpr int kTiltMaxOrder = 13;
constexpr int kTiltMinSize = 256;
constexpr double kTiltLowHz = 100.0;
constexpr double kTiltHighFraction = 0.25;
constexpr int kTiltMinBins = 10;

// Grid hum: one frame of up to 2^14 points, the 50 Hz family only.
constexpr int kHumMaxOrder = 14;
constexpr int kHumMinSize = 4096;
constexpr double kHumNeighbourhoodHz = 20.0;
constexpr double kFundamentalOverLocalDb = 15.0;
constexpr double kSecondOverLocalDb = 12.0;
constexpr double kThirdOverLocalDb = 10.0;

// The magnitude spectrum (fftSize / 2 bins, unscaled) of the Hann-windowed mono
// mix of the first fftSize samples. Allocates the FFT, its 2·fftSize work array
// and the window table.
std::vector<float> startMagnitudes (const juce::AudioBuffer<float>& buffer, int order)
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

int frameOrder (int numSamples, int maxOrder)
{
    if (numSamples < 1)
        return 0;
    int order = 0;
    while (order < maxOrder && (2 << order) <= numSamples)
        ++order;
    return order;
}

double levelDb (double magnitude) { return magnitude > kMinMagnitude ? 20.0 * std::log10 (magnitude) : kNoBinDb; }


// The bin of a frequency, rounded half away from zero.
int binOf (double hz, double binWidth) { return (int) std::lround (hz / binWidth); }

double peakLevel (const std::vector<float>& mag, double hz, double binWidth)
{
    const int numBins = (int) mag.size();
    const int k = binOf (hz, binWidth);
    if (k <= 0 || k >= numBins)
        return kNoBinDb;

    float best = 0.0f;
    for (int b = std::max (1, k - 1); b <= std::min (k + 1, numBins - 1); ++b)
        best = std::max (best, mag[(size_t) b]);
    return levelDb (best);
}

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
    const double mean = sum / count;
    return mean > kMinMagnitude ? 20.0 * std::log10 (mean) : kNoBinDb;
}

} // namespace

const char* analysis_detail::tiltProfile (double slope)
{
    if (slope < -3.0) return "Very Dark/Muddy";
    if (slope < -1.0) return "Slightly Dark";
    if (slope < 1.0) return "Balanced";
    return "Bright/Thin";
}

double AudioAnalyzer::measureSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const int order = frameOrder (buffer.getNumSamples(), kTiltMaxOrder);
    const int fftSize = 1 << order;
    if (buffer.getNumSamples() < 1 || fftSize < kTiltMinSize || buffer.getNumChannels() < 1)
        return 0.0;

    const auto mag = startMagnitudes (buffer, order);
    const double binWidth = sampleRate / fftSize;

    const int startBin = std::max (1, (int) (kTiltLowHz / binWidth));
    const int endBin = std::min ((int) (sampleRate * kTiltHighFraction / binWidth), fftSize / 2 - 1);
    if (startBin + kTiltMinBins >= endBin || endBin < startBin)
        return 0.0;

    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (int k = startBin; k <= endBin; ++k)
    {
        const double x = std::log2 (k * binWidth);
        const double y = levelDb (mag[(size_t) k]);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }

    const double n = endBin - startBin + 1;
    const double denominator = n * sxx - sx * sx;
    const double slope = std::abs (denominator) > 1e-10 ? (n * sxy - sx * sy) / denominator : 0.0;

    analysis_detail::log ("[AudioAnalyzer/SpectralTilt] Slope: " + fmt (slope, 2) + " dB/octave | Profile: "
                              + analysis_detail::tiltProfile (slope) + " | Bins analyzed: " + juce::String (startBin) + "-"
                              + juce::String (endBin));
    return slope;
}

void analysis_detail::finishSibilance (const SibilanceSums& sums, double& sibilanceRms, double& sibilanceDbfs)
{
    sibilanceRms = 0.0;
    sibilanceDbfs = kNoLevelDb;

    if (! sums.measurable)
    {
        analysis_detail::log ("[AudioAnalyzer/Sibilance] Sample rate too low for 5-8kHz analysis");
        return;
    }

    if (sums.count >= 1)
    {
        sibilanceRms = std::sqrt (sums.sum / (double) sums.count);
        sibilanceDbfs = sibilanceRms > 1e-10 ? 20.0 * std::log10 (sibilanceRms) : kNoLevelDb;
    }

    analysis_detail::log ("[AudioAnalyzer/Sibilance] 5-8kHz RMS: " + fmt (sibilanceRms, 6) + " | "
                              + fmt (sibilanceDbfs, 1) + " dBFS");
}

analysis_detail::SibilanceSums analysis_detail::sibilanceSums (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    SibilanceSums sums;
    sums.measurable = kernels::sibilanceMeasurable (sampleRate);
    if (! sums.measurable)
        return sums;

    // Filters each channel sample by sample; no copy of a channel is made.
    const auto band = kernels::designSibilanceBand (sampleRate);
    const int numSamples = buffer.getNumSamples();
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        kernels::SibilanceBand filter (band); // fresh state for every channel
        const float* x = buffer.getReadPointer (ch);
        double s = sums.sum;
        for (int i = 0; i < numSamples; ++i)
        {
            const double y = filter.process (x[i]);
            s += y * y;
        }
        sums.sum = s;
        sums.count += numSamples;
    }
    return sums;
}

void AudioAnalyzer::measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate,
                                      double& sibilanceRms, double& sibilanceDbfs)
{
    analysis_detail::finishSibilance (analysis_detail::sibilanceSums (buffer, sampleRate), sibilanceRms, sibilanceDbfs);
}

bool AudioAnalyzer::detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const int order = frameOrder (buffer.getNumSamples(), kHumMaxOrder);
    const int fftSize = 1 << order;
    if (buffer.getNumSamples() < 1 || fftSize < kHumMinSize || buffer.getNumChannels() < 1)
        return false;

    const auto mag = startMagnitudes (buffer, order);
    const double binWidth = sampleRate / fftSize;

    const double peak50 = peakLevel (mag, 50.0, binWidth), local50 = localLevel (mag, 50.0, binWidth);
    const double peak100 = peakLevel (mag, 100.0, binWidth), local100 = localLevel (mag, 100.0, binWidth);
    const double peak150 = peakLevel (mag, 150.0, binWidth), local150 = localLevel (mag, 150.0, binWidth);

    return peak50 - local50 > kFundamentalOverLocalDb
           || (peak100 - local100 > kSecondOverLocalDb && peak150 - local150 > kThirdOverLocalDb);
}
