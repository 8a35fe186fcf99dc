#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <cmath>

// Signals and measures shared by the denoiser's tests.
namespace denoise_testing
{
/** Pink noise (Paul Kellet's refined filter over white noise, within 0.05 dB of 1/f from 10 Hz to
    20 kHz at 44.1 kHz), scaled to the given RMS. Deterministic for a seed. */
inline juce::AudioBuffer<float> pinkNoise (int channels, int samples, float rms, juce::int64 seed = 11)
{
    juce::AudioBuffer<float> b (channels, samples);
    juce::Random rng (seed);
    for (int c = 0; c < channels; ++c)
    {
        double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0, sum = 0;
        float* d = b.getWritePointer (c);
        for (int i = 0; i < samples; ++i)
        {
            const double white = rng.nextDouble() * 2.0 - 1.0;
            b0 = 0.99886 * b0 + white * 0.0555179;
            b1 = 0.99332 * b1 + white * 0.0750759;
            b2 = 0.96900 * b2 + white * 0.1538520;
            b3 = 0.86650 * b3 + white * 0.3104856;
            b4 = 0.55000 * b4 + white * 0.5329522;
            b5 = -0.7616 * b5 - white * 0.0168980;
            const double v = b0 + b1 + b2 + b3 + b4 + b5 + b6 + white * 0.5362;
            b6 = white * 0.115926;
            d[i] = (float) v;
            sum += v * v;
        }
        const double scale = rms / std::sqrt (sum / std::max (samples, 1));
        juce::FloatVectorOperations::multiply (d, (float) scale, samples);
    }
    return b;
}

/** Mean power of a channel range in dB (10 log10 of the mean square); -300 for exact zeros. */
inline double levelDb (const juce::AudioBuffer<float>& b, int channel, int start, int count)
{
    double sum = 0.0;
    const float* d = b.getReadPointer (channel, start);
    for (int i = 0; i < count; ++i)
        sum += (double) d[i] * d[i];
    return sum > 0.0 ? 10.0 * std::log10 (sum / count) : -300.0;
}

/** Signal-to-error ratio in dB of `actual` against `expected` over a channel. */
inline double snrDb (const juce::AudioBuffer<float>& expected, const juce::AudioBuffer<float>& actual, int channel)
{
    double signal = 0.0, error = 0.0;
    const float* e = expected.getReadPointer (channel);
    const float* a = actual.getReadPointer (channel);
    for (int i = 0; i < expected.getNumSamples(); ++i)
    {
        signal += (double) e[i] * e[i];
        error += ((double) a[i] - e[i]) * ((double) a[i] - e[i]);
    }
    return 10.0 * std::log10 (signal / std::max (error, 1.0e-300));
}
} // namespace denoise_testing
