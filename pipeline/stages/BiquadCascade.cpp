#include "pipeline/stages/BiquadCascade.h"

#include <cstdint>
#include <utility>

namespace tessaloom
{

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

// From this many sections the wavefront below does fewer operations per sample
// than the sections one after another.
constexpr size_t wavefrontFrom = 3;

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

#if TESSALOOM_SSE2
// The registers of runWavefront below: Count sections, one a lane, for one run of samples.
template <int Count>
struct Wavefront
{
    static constexpr int R = (Count + 3) / 4; // registers of four lanes
    static constexpr int lanes = 4 * R;
    static constexpr int last = Count - 1; // the lane of the last section
    static_assert (lanes <= (int) BiquadCascadeDesign::maxSections, "one lane per section at most");

    float* samples;
    int numSamples;
    __m128 cb0[R], cb1[R], cb2[R], ca1[R], ca2[R], v1[R], v2[R], in[R];

    // The coefficients and states into the lanes (the lanes past the last section stay at zero).
    forcedinline void load (const Sections& s, const StateArray& state1, const StateArray& state2) noexcept
    {
        alignas (16) float b0[lanes] = {}, b1[lanes] = {}, b2[lanes] = {}, a1[lanes] = {}, a2[lanes] = {};
        alignas (16) float w1[lanes] = {}, w2[lanes] = {};
        for (int k = 0; k < Count; ++k)
        {
            b0[k] = s[(size_t) k].b0; b1[k] = s[(size_t) k].b1; b2[k] = s[(size_t) k].b2;
            a1[k] = s[(size_t) k].a1; a2[k] = s[(size_t) k].a2;
            w1[k] = state1[(size_t) k]; w2[k] = state2[(size_t) k];
        }
        for (int r = 0; r < R; ++r)
        {
            cb0[r] = _mm_load_ps (b0 + 4 * r); cb1[r] = _mm_load_ps (b1 + 4 * r); cb2[r] = _mm_load_ps (b2 + 4 * r);
            ca1[r] = _mm_load_ps (a1 + 4 * r); ca2[r] = _mm_load_ps (a2 + 4 * r);
            v1[r] = _mm_load_ps (w1 + 4 * r); v2[r] = _mm_load_ps (w2 + 4 * r);
            in[r] = _mm_setzero_ps();
        }
    }

    forcedinline void store (StateArray& state1, StateArray& state2) const noexcept
    {
        alignas (16) float w1[lanes], w2[lanes];
        for (int r = 0; r < R; ++r)
        {
            _mm_store_ps (w1 + 4 * r, v1[r]);
            _mm_store_ps (w2 + 4 * r, v2[r]);
        }
        for (int k = 0; k < Count; ++k)
        {
            state1[(size_t) k] = w1[k];
            state2[(size_t) k] = w2[k];
        }
    }

    // One step: every lane through its section, the outputs moved up a lane for
    // the next step and the next sample fed into lane 0. With a mask, only the
    // lanes it sets take their new state.
    forcedinline void step (int t, const __m128* active) noexcept
    {
        __m128 out[R];
        for (int r = 0; r < R; ++r)
        {
            out[r] = _mm_add_ps (_mm_mul_ps (in[r], cb0[r]), v1[r]);
            const __m128 n1 = _mm_add_ps (_mm_sub_ps (_mm_mul_ps (in[r], cb1[r]), _mm_mul_ps (out[r], ca1[r])), v2[r]);
            const __m128 n2 = _mm_sub_ps (_mm_mul_ps (in[r], cb2[r]), _mm_mul_ps (out[r], ca2[r]));
            if (active == nullptr)
            {
                v1[r] = n1;
                v2[r] = n2;
            }
            else
            {
                v1[r] = _mm_or_ps (_mm_and_ps (active[r], n1), _mm_andnot_ps (active[r], v1[r]));
                v2[r] = _mm_or_ps (_mm_and_ps (active[r], n2), _mm_andnot_ps (active[r], v2[r]));
            }
        }

        if (t >= last)
        {
            const __m128 o = out[last / 4];
            samples[t - last] = _mm_cvtss_f32 (_mm_shuffle_ps (o, o, _MM_SHUFFLE (last % 4, last % 4, last % 4, last % 4)));
        }

        const float next = t + 1 < numSamples ? samples[t + 1] : 0.0f;
        for (int r = R - 1; r > 0; --r)
            in[r] = _mm_move_ss (_mm_castsi128_ps (_mm_slli_si128 (_mm_castps_si128 (out[r]), 4)),
                                 _mm_shuffle_ps (out[r - 1], out[r - 1], _MM_SHUFFLE (3, 3, 3, 3)));
        in[0] = _mm_move_ss (_mm_castsi128_ps (_mm_slli_si128 (_mm_castps_si128 (out[0]), 4)), _mm_set_ss (next));
    }

    // Lane k holds a sample at step t when 0 <= t - k < numSamples.
    forcedinline void maskedStep (int t) noexcept
    {
        alignas (16) std::int32_t bits[lanes];
        for (int k = 0; k < lanes; ++k)
            bits[k] = (k <= t && t - k < numSamples) ? -1 : 0;
        __m128 active[R];
        for (int r = 0; r < R; ++r)
            active[r] = _mm_castsi128_ps (_mm_load_si128 (reinterpret_cast<const __m128i*> (bits + 4 * r)));
        step (t, active);
    }
};

// A cascade of three or more sections with one section in each lane of R
// registers, as a wavefront: at step t, lane k runs sample t - k, fed what lane
// k - 1 gave at step t - 1, so the sections of a sample run side by side in one
// set of vector operations. Each lane does biquadStep's operations in its order
// on the samples its section sees, so every sample is what the scalar cascade
// gives, bit for bit. The first and last count - 1 steps of a run hold lanes
// that have no sample yet or no more: those keep their state untouched.
// The parts of a step are force-inlined: this is the chain's hottest loop.
template <int Count>
void runWavefront (float* samples, int numSamples, const Sections& s, StateArray& state1, StateArray& state2) noexcept
{
    Wavefront<Count> w { samples, numSamples, {}, {}, {}, {}, {}, {}, {}, {} };
    w.load (s, state1, state2);
    constexpr int last = Wavefront<Count>::last;
    const int steps = numSamples + last;
    if (numSamples > 0)
        w.in[0] = _mm_set_ss (samples[0]);
    int t = 0;
    for (; t < steps && (t < last || t >= numSamples); ++t)
        w.maskedStep (t);
    for (; t < numSamples; ++t)
        w.step (t, nullptr);
    for (; t < steps; ++t)
        w.maskedStep (t);
    w.store (state1, state2);
}
#endif

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
   #if TESSALOOM_SSE2
    if (design.numSections >= wavefrontFrom)
    {
        switch (design.numSections)
        {
            case 3: runWavefront<3> (samples, numSamples, design.sections, state.v1, state.v2); return;
            case 4: runWavefront<4> (samples, numSamples, design.sections, state.v1, state.v2); return;
            case 5: runWavefront<5> (samples, numSamples, design.sections, state.v1, state.v2); return;
            case 6: runWavefront<6> (samples, numSamples, design.sections, state.v1, state.v2); return;
            case 7: runWavefront<7> (samples, numSamples, design.sections, state.v1, state.v2); return;
            case 8: runWavefront<8> (samples, numSamples, design.sections, state.v1, state.v2); return;
            default: break;
        }
    }
   #endif
    runCascadeOf (design.numSections, samples, numSamples, design.sections, state.v1, state.v2,
                  std::make_index_sequence<BiquadCascadeDesign::maxSections>());
}
} // namespace stages

} // namespace tessaloom
