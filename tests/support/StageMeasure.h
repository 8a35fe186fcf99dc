#pragma once

// Measurement helpers for the processing-stage tests: tone level by projection
// and a double-precision reference for second-order sections.

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include "support/TestSupport.h"

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

namespace tessaloom
{

namespace stage_measure
{
// Amplitude of the frequencyHz component of channel samples [start, start + count),
// by projection onto sine and cosine over a whole number of periods (as near as
// the sample grid allows), so harmonics and other tones do not count.
inline double toneAmplitude (const juce::AudioBuffer<float>& buffer, int channel, int start, int count,
                             double sampleRate, double frequencyHz)
{
    const double periods = std::floor (count * frequencyHz / sampleRate);
    const int n = periods >= 1.0 ? (int) std::lround (periods * sampleRate / frequencyHz) : count;
    const float* x = buffer.getReadPointer (channel, start);
    double s = 0.0, c = 0.0;
    const double w = 2.0 * juce::MathConstants<double>::pi * frequencyHz / sampleRate;
    for (int i = 0; i < n; ++i)
    {
        s += x[i] * std::sin (w * i);
        c += x[i] * std::cos (w * i);
    }
    return 2.0 * std::sqrt (s * s + c * c) / n;
}

using testing_support::toDb;

inline double rms (const juce::AudioBuffer<float>& buffer, int channel, int start, int count)
{
    const float* x = buffer.getReadPointer (channel, start);
    double sum = 0.0;
    for (int i = 0; i < count; ++i)
        sum += (double) x[i] * x[i];
    return count > 0 ? std::sqrt (sum / count) : 0.0;
}

inline bool identical (const juce::AudioBuffer<float>& a, int channelA, const juce::AudioBuffer<float>& b, int channelB)
{
    if (a.getNumSamples() != b.getNumSamples())
        return false;
    return std::memcmp (a.getReadPointer (channelA), b.getReadPointer (channelB),
                        sizeof (float) * (size_t) a.getNumSamples())
           == 0;
}

// A second-order section in double precision (b0 b1 b2 a1 a2, a0 = 1), designed
// from the audio-EQ-cookbook formulas: the test's own reference, not JUCE's.
struct Biquad
{
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

    std::complex<double> response (double frequencyHz, double sampleRate) const
    {
        const auto z1 = std::polar (1.0, -2.0 * juce::MathConstants<double>::pi * frequencyHz / sampleRate);
        const auto z2 = z1 * z1;
        return (b0 + b1 * z1 + b2 * z2) / (1.0 + a1 * z1 + a2 * z2);
    }

    static Biquad normalised (double b0, double b1, double b2, double a0, double a1, double a2)
    {
        return { b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0 };
    }

    static Biquad highPass (double sr, double f, double q)
    {
        const double w = 2 * juce::MathConstants<double>::pi * f / sr, alpha = std::sin (w) / (2 * q), c = std::cos (w);
        return normalised ((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
    }
    static Biquad lowPass (double sr, double f, double q)
    {
        const double w = 2 * juce::MathConstants<double>::pi * f / sr, alpha = std::sin (w) / (2 * q), c = std::cos (w);
        return normalised ((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
    }
    static Biquad peak (double sr, double f, double q, double gainDb)
    {
        const double A = std::pow (10.0, gainDb / 40.0);
        const double w = 2 * juce::MathConstants<double>::pi * f / sr, alpha = std::sin (w) / (2 * q), c = std::cos (w);
        return normalised (1 + alpha * A, -2 * c, 1 - alpha * A, 1 + alpha / A, -2 * c, 1 - alpha / A);
    }
    static Biquad highShelf (double sr, double f, double q, double gainDb)
    {
        const double A = std::pow (10.0, gainDb / 40.0);
        const double w = 2 * juce::MathConstants<double>::pi * f / sr, c = std::cos (w);
        const double beta = std::sin (w) * std::sqrt (A) / q;
        return normalised (A * ((A + 1) + (A - 1) * c + beta), -2 * A * ((A - 1) + (A + 1) * c),
                           A * ((A + 1) + (A - 1) * c - beta), (A + 1) - (A - 1) * c + beta,
                           2 * ((A - 1) - (A + 1) * c), (A + 1) - (A - 1) * c - beta);
    }
};

inline double cascadeDb (const std::vector<Biquad>& sections, double frequencyHz, double sampleRate)
{
    std::complex<double> h (1.0, 0.0);
    for (const auto& s : sections)
        h *= s.response (frequencyHz, sampleRate);
    return toDb (std::abs (h));
}
} // namespace stage_measure

} // namespace tessaloom
