#pragma once

// Integrated loudness measured by libebur128, an independent BS.1770 meter, to
// check the engine's output against its target. A test that includes this
// links libebur128 through its CMake sidecar (see test_output_level_e2e.cmake).

#include <juce_audio_basics/juce_audio_basics.h>

#include <ebur128.h>

#include <cmath>
#include <memory>
#include <vector>

namespace tessaloom
{

namespace testing_support
{
// LUFS of the whole buffer; -inf for silence, NaN when the meter cannot be set up.
// Channels 0 to 2 count as left, right and centre (weight 1), which covers the
// mono and stereo files the engine writes. Allocates one chunk of interleaved
// samples and the meter's own state.
inline double integratedLoudness (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const int channels = buffer.getNumChannels();
    if (channels == 0 || sampleRate <= 0.0)
        return std::nan ("");

    ebur128_state* raw = ebur128_init ((unsigned) channels, (unsigned long) std::lround (sampleRate), EBUR128_MODE_I);
    if (raw == nullptr)
        return std::nan ("");
    std::unique_ptr<ebur128_state, void (*) (ebur128_state*)> state (raw, [] (ebur128_state* s) { ebur128_destroy (&s); });

    constexpr int chunk = 8192;
    std::vector<float> interleaved ((size_t) chunk * (size_t) channels);
    for (int start = 0; start < buffer.getNumSamples(); start += chunk)
    {
        const int n = std::min (chunk, buffer.getNumSamples() - start);
        for (int c = 0; c < channels; ++c)
        {
            const float* src = buffer.getReadPointer (c, start);
            for (int i = 0; i < n; ++i)
                interleaved[(size_t) i * (size_t) channels + (size_t) c] = src[i];
        }
        if (ebur128_add_frames_float (state.get(), interleaved.data(), (size_t) n) != EBUR128_SUCCESS)
            return std::nan ("");
    }

    double lufs = 0.0;
    if (ebur128_loudness_global (state.get(), &lufs) != EBUR128_SUCCESS)
        return std::nan ("");
    return lufs;
}
} // namespace testing_support

} // namespace tessaloom
