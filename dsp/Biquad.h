#pragma once

// The second-order section of juce::dsp::IIR::Filter<float> (transposed direct
// form II), in JUCE's arithmetic (see dsp/JuceArithmetic.h). One step is
// written once, here; the stages' cascades, the K-weighting and the sibilance
// band all run it.

#include "dsp/JuceArithmetic.h"

#include <juce_dsp/juce_dsp.h>

namespace tessaloom
{

namespace juce_arithmetic
{
// One section's coefficients, normalised so that a0 = 1.
struct BiquadSection
{
    float b0 = 1.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;

    // The raw coefficients of a JUCE-designed second-order section.
    static BiquadSection of (const juce::dsp::IIR::Coefficients<float>& c) noexcept
    {
        jassert (c.getFilterOrder() == 2);
        const auto* raw = c.getRawCoefficients();
        return { raw[0], raw[1], raw[2], raw[3], raw[4] };
    }
};

// One sample through a section whose two state values the caller keeps, so a
// cascade can hold the states of all its sections in locals.
inline float biquadStep (const BiquadSection& s, float& v1, float& v2, float input) noexcept
{
    const float output = (input * s.b0) + v1;
    v1 = (input * s.b1) - (output * s.a1) + v2;
    v2 = (input * s.b2) - (output * s.a2);
    return output;
}

// A section with its own state. The state is never snapped to zero: JUCE snaps
// only at the end of a processed block, and a caller's blocks must not change
// a sample.
struct Biquad
{
    BiquadSection section;
    float v1 = 0.0f, v2 = 0.0f;

    Biquad() = default;
    explicit Biquad (const juce::dsp::IIR::Coefficients<float>& c) : section (BiquadSection::of (c)) {}

    inline float process (float input) noexcept { return biquadStep (section, v1, v2, input); }
};

#if TESSALOOM_SSE2
// The same section over the lanes of one register: each lane does the
// operations of biquadStep in its order.
struct BiquadLanes
{
    __m128 b0, b1, b2, a1, a2;
    __m128 v1 = _mm_setzero_ps(), v2 = _mm_setzero_ps();

    explicit BiquadLanes (const juce::dsp::IIR::Coefficients<float>& c)
    {
        const auto s = BiquadSection::of (c);
        b0 = _mm_set1_ps (s.b0); b1 = _mm_set1_ps (s.b1); b2 = _mm_set1_ps (s.b2);
        a1 = _mm_set1_ps (s.a1); a2 = _mm_set1_ps (s.a2);
    }

    inline __m128 process (__m128 input) noexcept
    {
        const __m128 output = _mm_add_ps (_mm_mul_ps (input, b0), v1);
        v1 = _mm_add_ps (_mm_sub_ps (_mm_mul_ps (input, b1), _mm_mul_ps (output, a1)), v2);
        v2 = _mm_sub_ps (_mm_mul_ps (input, b2), _mm_mul_ps (output, a2));
        return output;
    }
};
#endif
} // namespace juce_arithmetic

} // namespace tessaloom
