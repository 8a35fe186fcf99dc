#include "pipeline/AudioPipeline.h"
#include "pipeline/FilterDesign.h"

#include "common/SideBySide.h"

#include <array>

// Each channel gets a filter of its own that starts from zero state, so one
// channel's history never leaks into the next and every application of a
// design behaves as if the file began at sample 0. Allocates one small filter
// per channel (its state is a few floats), never a copy of the audio. The
// channels run side by side when there are several.
void applyFilterToAllChannels (juce::AudioBuffer<float>& buffer,
                               const juce::dsp::IIR::Coefficients<float>::Ptr& coefficients)
{
    if (coefficients == nullptr)
        return;

    const int numSamples = buffer.getNumSamples();
    if (numSamples <= 0)
        return;

    // Taken once here: getWritePointer marks the buffer, which the threads must not do together.
    float* const* channels = buffer.getArrayOfWritePointers();
    side_by_side::forEachChannel (buffer.getNumChannels(), numSamples, [&] (int channel)
    {
        juce::dsp::IIR::Filter<float> filter;
        filter.coefficients = coefficients;
        filter.reset();

        float* samples = channels[channel];
        juce::dsp::AudioBlock<float> block (&samples, 1, (size_t) numSamples);
        filter.process (juce::dsp::ProcessContextReplacing<float> (block));
    });
}

// 0.45 of the rate keeps every design a little below Nyquist; the 1 kHz floor
// keeps the designs meaningful for very low rates. Single precision on purpose:
// the designs take their frequencies as floats.
float frequencyCeiling (double sampleRate)
{
    return juce::jmax (0.45f * (float) sampleRate, 1000.0f);
}

namespace
{
struct Section
{
    float b0, b1, b2, a1, a2;
};

constexpr size_t maxFusedSections = 8;

// The transposed direct form II step of juce::dsp::IIR::Filter for order 2,
// written with the same operations in the same order so results match it bit
// for bit (no fused multiply-add: the build targets plain x86-64 and never
// uses -ffast-math).
template <size_t N>
void runCascade (float* samples, int numSamples, const std::array<Section, maxFusedSections>& s) noexcept
{
    float v1[N] = {}, v2[N] = {};
    for (int n = 0; n < numSamples; ++n)
    {
        float x = samples[n];
        for (size_t k = 0; k < N; ++k)
        {
            const float y = (x * s[k].b0) + v1[k];
            v1[k] = (x * s[k].b1) - (y * s[k].a1) + v2[k];
            v2[k] = (x * s[k].b2) - (y * s[k].a2);
            x = y;
        }
        samples[n] = x;
    }
}

template <size_t... Ns>
void runCascadeOf (size_t count, float* samples, int numSamples, const std::array<Section, maxFusedSections>& s,
                   std::index_sequence<Ns...>) noexcept
{
    // Picks the instantiation for count sections (1 ... maxFusedSections).
    ((count == Ns + 1 ? runCascade<Ns + 1> (samples, numSamples, s) : void()), ...);
}
} // namespace

void applySectionsToAllChannels (juce::AudioBuffer<float>& buffer,
                                 const std::vector<juce::dsp::IIR::Coefficients<float>::Ptr>& sections)
{
    std::array<Section, maxFusedSections> fused {};
    size_t count = 0;
    bool allSecondOrder = true;

    for (const auto& c : sections)
    {
        if (c == nullptr)
            continue;
        if (c->getFilterOrder() != 2 || count == maxFusedSections)
        {
            allSecondOrder = false;
            break;
        }
        const float* raw = c->getRawCoefficients();
        fused[count++] = { raw[0], raw[1], raw[2], raw[3], raw[4] };
    }

    if (! allSecondOrder)
    {
        for (const auto& c : sections)
            applyFilterToAllChannels (buffer, c);
        return;
    }

    if (count == 0 || buffer.getNumSamples() <= 0)
        return;

    float* const* channels = buffer.getArrayOfWritePointers();
    side_by_side::forEachChannel (buffer.getNumChannels(), buffer.getNumSamples(), [&] (int channel)
    {
        runCascadeOf (count, channels[channel], buffer.getNumSamples(), fused,
                      std::make_index_sequence<maxFusedSections>());
    });
}
