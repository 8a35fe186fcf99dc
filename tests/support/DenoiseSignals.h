#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <cmath>

namespace tessaloom
{

// Signals and measures shared by the denoiser's tests.
namespace denoise_testing
{
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

} // namespace tessaloom
