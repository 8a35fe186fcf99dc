#include "pipeline/stages/BiquadCascade.h"

#include <utility>

namespace stages
{
void BiquadCascadeDesign::add (const juce::dsp::IIR::Coefficients<float>& coefficients)
{
    jassert (numSections < maxSections);
    sections[numSections++] = BiquadSection::of (coefficients);
}

// 0.45 of the rate keeps every design a little below Nyquist; the 1 kHz floor
// keeps the designs meaningful for very low rates. Single precision on purpose:
// the designs take their frequencies as floats.
float frequencyCeiling (double sampleRate)
{
    return juce::jmax (0.45f * (float) sampleRate, 1000.0f);
}

float designFrequency (float hz, double sampleRate)
{
    return juce::jmin (hz, frequencyCeiling (sampleRate), 0.45f * (float) sampleRate);
}

namespace
{
using Sections = std::array<BiquadSection, BiquadCascadeDesign::maxSections>;
using StateArray = std::array<float, BiquadCascadeDesign::maxSections>;

// N sections with the state in locals for the length of the run.
template <size_t N>
void runCascade (float* samples, int numSamples, const Sections& s, StateArray& state1, StateArray& state2) noexcept
{
    float v1[N], v2[N];
    for (size_t k = 0; k < N; ++k)
    {
        v1[k] = state1[k];
        v2[k] = state2[k];
    }

    for (int n = 0; n < numSamples; ++n)
    {
        float x = samples[n];
        for (size_t k = 0; k < N; ++k)
            x = juce_arithmetic::biquadStep (s[k], v1[k], v2[k], x);
        samples[n] = x;
    }

    for (size_t k = 0; k < N; ++k)
    {
        state1[k] = v1[k];
        state2[k] = v2[k];
    }
}

template <size_t... Ns>
void runCascadeOf (size_t count, float* samples, int numSamples, const Sections& s, StateArray& v1, StateArray& v2,
                   std::index_sequence<Ns...>) noexcept
{
    // Picks the instantiation for count sections (1 ... maxSections).
    ((count == Ns + 1 ? runCascade<Ns + 1> (samples, numSamples, s, v1, v2) : void()), ...);
}
} // namespace

BiquadCascade::BiquadCascade (const BiquadCascadeDesign& d, int numChannels)
    : design (d), states ((size_t) juce::jmax (0, numChannels))
{
    jassert (numChannels >= 0); // a count of channels, not a failure code
}

void BiquadCascade::processChannel (int channel, float* samples, int numSamples) noexcept
{
    jassert (juce::isPositiveAndBelow (channel, (int) states.size())); // a channel the cascade was not made for
    jassert (numSamples >= 0 && (samples != nullptr || numSamples == 0)); // a negative length, or a length with no samples behind it
    if (numSamples <= 0 || design.numSections == 0)
        return;
    auto& state = states[(size_t) channel];
    runCascadeOf (design.numSections, samples, numSamples, design.sections, state.v1, state.v2,
                  std::make_index_sequence<BiquadCascadeDesign::maxSections>());
}
} // namespace stages
