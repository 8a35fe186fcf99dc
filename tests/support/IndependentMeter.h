#pragma once

// The independent BS.1770 meter the loudness tests compare with: libebur128,
// a test-only dependency (a test that includes this links it through its
// tests/<name>.cmake).

#include <juce_audio_basics/juce_audio_basics.h>

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tessaloom
{

namespace testing_support
{
struct IndependentMeasurement
{
    double integratedLufs = -144.0;
    double truePeakDb = -144.0; // the largest channel's, dBTP
    double rangeLu = 0.0;       // EBU Tech 3342 loudness range
};

inline IndependentMeasurement measureWithLibebur128 (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const int channels = buffer.getNumChannels(), samples = buffer.getNumSamples();
    ebur128_state* st = ebur128_init ((unsigned) channels, (unsigned long) sampleRate,
                                      EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_LRA);
    std::vector<float> interleaved ((size_t) channels * (size_t) samples);
    for (int i = 0; i < samples; ++i)
        for (int c = 0; c < channels; ++c)
            interleaved[(size_t) i * (size_t) channels + (size_t) c] = buffer.getSample (c, i);
    ebur128_add_frames_float (st, interleaved.data(), (size_t) samples);

    IndependentMeasurement r;
    ebur128_loudness_global (st, &r.integratedLufs);
    ebur128_loudness_range (st, &r.rangeLu);
    double peak = 0.0;
    for (int c = 0; c < channels; ++c)
    {
        double p = 0.0;
        ebur128_true_peak (st, (unsigned) c, &p);
        peak = std::max (peak, p);
    }
    r.truePeakDb = peak > 0.0 ? 20.0 * std::log10 (peak) : -144.0;
    ebur128_destroy (&st);
    return r;
}
} // namespace testing_support

} // namespace tessaloom
