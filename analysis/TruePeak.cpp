#include "analysis/AudioAnalyzer.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>

#if defined(__SSE2__) || defined(_M_X64)
 #include <emmintrin.h>
 #define TESSALOOM_TRUE_PEAK_SSE 1
#else
 #define TESSALOOM_TRUE_PEAK_SSE 0
#endif

namespace
{
// The true peak is read from the signal upsampled 4x by two cascaded 2x
// half-band stages: the polyphase IIR design of juce::dsp::Oversampling at
// maximum quality (transition width 0.05 then 0.10, stop band -90 then -80 dB).
//
// The stages are run here with exactly the arithmetic of the JUCE oversampler,
// but sample by sample and without its 4x output buffer: only the maximum is
// needed. Where the JUCE object snaps its filter state to zero at the end of
// every call, this does so at the end of every 65,536-sample chunk, which is
// how the measurement feeds the oversampler; the results are bit for bit those
// of the JUCE object fed chunk by chunk.
//
// The filter state runs on from one chunk into the next. Restarting each chunk
// from zero would put a step into the half-band filters in the middle of the
// signal, whose ringing reads up to 2 dB high on a steady sine.
constexpr int kTruePeakChunk = 65536;
constexpr float kStageTransitionWidth[2] = { 0.10f * 0.5f, 0.10f };
constexpr float kStageStopBandDb[2] = { -90.0f, -90.0f + 10.0f };
constexpr int kMaxSections = 32;

struct HalfBandStage
{
    float alpha[kMaxSections] = {};
    int numSections = 0;    // direct and delayed path together
    int directSections = 0; // the first ones; the rest form the delayed path
};

// Allocates while designing; called once per measurement.
HalfBandStage designHalfBandStage (int index)
{
    auto structure = juce::dsp::FilterDesign<float>::designIIRLowpassHalfBandPolyphaseAllpassMethod (
        kStageTransitionWidth[index], kStageStopBandDb[index]);

    HalfBandStage stage;
    const auto add = [&stage] (float a)
    {
        jassert (stage.numSections < kMaxSections);
        if (stage.numSections < kMaxSections)
            stage.alpha[stage.numSections++] = a;
    };

    // The first section of the delayed path is the pure delay: the polyphase
    // form realises it by the interleaving of the two outputs.
    for (int i = 0; i < structure.directPath.size(); ++i)
        add (structure.directPath.getObjectPointer (i)->coefficients[0]);
    for (int i = 1; i < structure.delayedPath.size(); ++i)
        add (structure.delayedPath.getObjectPointer (i)->coefficients[0]);

    stage.directSections = stage.numSections - stage.numSections / 2;
    return stage;
}

inline void snapToZero (float& v) noexcept
{
    // What JUCE's snap-to-zero does on Intel machines; a no-op elsewhere.
   #if JUCE_INTEL
    if (! (v < -1.0e-8f || v > 1.0e-8f))
        v = 0.0f;
   #else
    juce::ignoreUnused (v);
   #endif
}

// A cascade of first-order allpass sections of the polyphase form.
template <int Count>
inline float allpassPath (const float* alpha, float* state, float input) noexcept
{
    for (int n = 0; n < Count; ++n)
    {
        const float output = alpha[n] * input + state[n];
        state[n] = input - alpha[n] * output;
        input = output;
    }
    return input;
}

inline float allpassPath (const float* alpha, float* state, float input, int count) noexcept
{
    for (int n = 0; n < count; ++n)
    {
        const float output = alpha[n] * input + state[n];
        state[n] = input - alpha[n] * output;
        input = output;
    }
    return input;
}

inline float absMax (float peak, float v) noexcept { return std::max (peak, std::abs (v)); }

// Section counts fixed at compile time let the state live in registers.
template <int Direct1, int Sections1, int Direct2, int Sections2>
float upsampledPeakFixed (const float* x, int numSamples, const HalfBandStage& st1, const HalfBandStage& st2)
{
    float a1[Sections1], a2[Sections2];
    std::copy (st1.alpha, st1.alpha + Sections1, a1);
    std::copy (st2.alpha, st2.alpha + Sections2, a2);
    float s1[Sections1] = {}, s2[Sections2] = {};
    float peak = 0.0f;

    for (int start = 0; start < numSamples; start += kTruePeakChunk)
    {
        const int end = std::min (numSamples, start + kTruePeakChunk);
        for (int i = start; i < end; ++i)
        {
            const float even = allpassPath<Direct1> (a1, s1, x[i]);
            const float odd = allpassPath<Sections1 - Direct1> (a1 + Direct1, s1 + Direct1, x[i]);

            const float y0 = allpassPath<Direct2> (a2, s2, even);
            const float y1 = allpassPath<Sections2 - Direct2> (a2 + Direct2, s2 + Direct2, even);
            const float y2 = allpassPath<Direct2> (a2, s2, odd);
            const float y3 = allpassPath<Sections2 - Direct2> (a2 + Direct2, s2 + Direct2, odd);

            peak = absMax (absMax (absMax (absMax (peak, y0), y1), y2), y3);
        }

        for (auto& v : s1) snapToZero (v);
        for (auto& v : s2) snapToZero (v);
    }
    return peak;
}

float upsampledPeakGeneric (const float* x, int numSamples, const HalfBandStage& st1, const HalfBandStage& st2)
{
    float s1[kMaxSections] = {}, s2[kMaxSections] = {};
    const int d1 = st1.directSections, r1 = st1.numSections - d1;
    const int d2 = st2.directSections, r2 = st2.numSections - d2;
    float peak = 0.0f;

    for (int start = 0; start < numSamples; start += kTruePeakChunk)
    {
        const int end = std::min (numSamples, start + kTruePeakChunk);
        for (int i = start; i < end; ++i)
        {
            const float even = allpassPath (st1.alpha, s1, x[i], d1);
            const float odd = allpassPath (st1.alpha + d1, s1 + d1, x[i], r1);
            const float y0 = allpassPath (st2.alpha, s2, even, d2);
            const float y1 = allpassPath (st2.alpha + d2, s2 + d2, even, r2);
            const float y2 = allpassPath (st2.alpha, s2, odd, d2);
            const float y3 = allpassPath (st2.alpha + d2, s2 + d2, odd, r2);
            peak = absMax (absMax (absMax (absMax (peak, y0), y1), y2), y3);
        }

        for (int n = 0; n < st1.numSections; ++n) snapToZero (s1[n]);
        for (int n = 0; n < st2.numSections; ++n) snapToZero (s2[n]);
    }
    return peak;
}

#if TESSALOOM_TRUE_PEAK_SSE
// Four lanes: the direct and the delayed path of channel A, then of channel B.
// Both paths of a stage see the same input, so they run side by side; lane
// operations are the same IEEE single-precision operations as the scalar code,
// so the result is bit for bit the same. The direct path may have one section
// more than the delayed one; that section's result is kept in the direct lanes only.
template <int Direct, int Delayed>
struct VectorStage
{
    static_assert (Direct - Delayed == 0 || Direct - Delayed == 1, "the polyphase split differs by at most one section");

    __m128 alpha[Direct];
    __m128 state[Direct];
    __m128 directOnly; // lanes of the direct paths

    explicit VectorStage (const HalfBandStage& st)
    {
        for (int n = 0; n < Direct; ++n)
        {
            const float d = st.alpha[n];
            const float r = n < Delayed ? st.alpha[Direct + n] : 0.0f;
            alpha[n] = _mm_setr_ps (d, r, d, r);
            state[n] = _mm_setzero_ps();
        }
        directOnly = _mm_castsi128_ps (_mm_setr_epi32 (-1, 0, -1, 0));
    }

    inline __m128 process (__m128 input) noexcept
    {
        for (int n = 0; n < Direct; ++n)
        {
            const __m128 output = _mm_add_ps (_mm_mul_ps (alpha[n], input), state[n]);
            state[n] = _mm_sub_ps (input, _mm_mul_ps (alpha[n], output));
            if (n < Delayed)
                input = output;
            else
                input = _mm_or_ps (_mm_and_ps (directOnly, output), _mm_andnot_ps (directOnly, input));
        }
        return input;
    }

    void snapStateToZero() noexcept
    {
        for (auto& v : state)
        {
            alignas (16) float lanes[4];
            _mm_store_ps (lanes, v);
            for (auto& f : lanes)
                snapToZero (f);
            v = _mm_load_ps (lanes);
        }
    }
};

template <int Direct1, int Delayed1, int Direct2, int Delayed2>
float upsampledPeakPair (const float* a, const float* b, int numSamples, const HalfBandStage& st1, const HalfBandStage& st2)
{
    VectorStage<Direct1, Delayed1> stage1 (st1);
    VectorStage<Direct2, Delayed2> stage2 (st2);
    const __m128 magnitude = _mm_castsi128_ps (_mm_set1_epi32 (0x7fffffff));
    __m128 peak = _mm_setzero_ps();

    for (int start = 0; start < numSamples; start += kTruePeakChunk)
    {
        const int end = std::min (numSamples, start + kTruePeakChunk);
        for (int i = start; i < end; ++i)
        {
            const float xb = b != nullptr ? b[i] : 0.0f;
            // [A even, A odd, B even, B odd] at twice the rate.
            const __m128 twice = stage1.process (_mm_setr_ps (a[i], a[i], xb, xb));
            const __m128 even = stage2.process (_mm_shuffle_ps (twice, twice, _MM_SHUFFLE (2, 2, 0, 0)));
            const __m128 odd = stage2.process (_mm_shuffle_ps (twice, twice, _MM_SHUFFLE (3, 3, 1, 1)));
            // max (new, peak) keeps the peak when a sample is not a number, as max (peak, new) does.
            peak = _mm_max_ps (_mm_and_ps (even, magnitude), peak);
            peak = _mm_max_ps (_mm_and_ps (odd, magnitude), peak);
        }
        stage1.snapStateToZero();
        stage2.snapStateToZero();
    }

    alignas (16) float lanes[4];
    _mm_store_ps (lanes, peak);
    return std::max (std::max (lanes[0], lanes[1]), std::max (lanes[2], lanes[3]));
}
#endif

// The largest upsampled magnitude of all channels.
float upsampledPeakOfChannels (const juce::AudioBuffer<float>& buffer, const HalfBandStage& st1, const HalfBandStage& st2)
{
    const int numChannels = buffer.getNumChannels(), numSamples = buffer.getNumSamples();
    float peak = 0.0f;

    // The sections of JUCE 7's maximum-quality design: 4 + 3, then 3 + 2.
    const bool juce7Design = st1.numSections == 7 && st1.directSections == 4 && st2.numSections == 5 && st2.directSections == 3;

   #if TESSALOOM_TRUE_PEAK_SSE
    if (juce7Design)
    {
        for (int ch = 0; ch < numChannels; ch += 2)
        {
            const float* b = ch + 1 < numChannels ? buffer.getReadPointer (ch + 1) : nullptr;
            peak = std::max (peak, upsampledPeakPair<4, 3, 3, 2> (buffer.getReadPointer (ch), b, numSamples, st1, st2));
        }
        return peak;
    }
   #endif

    for (int ch = 0; ch < numChannels; ++ch)
    {
        const float* x = buffer.getReadPointer (ch);
        peak = std::max (peak, juce7Design ? upsampledPeakFixed<4, 7, 3, 5> (x, numSamples, st1, st2)
                                           : upsampledPeakGeneric (x, numSamples, st1, st2));
    }
    return peak;
}
} // namespace

TruePeakMeasurement AudioAnalyzer::measureTruePeak (const juce::AudioBuffer<float>& buffer)
{
    float peak = 0.0f;

    if (buffer.getNumSamples() > 0 && buffer.getNumChannels() > 0)
    {
        const auto stage1 = designHalfBandStage (0);
        const auto stage2 = designHalfBandStage (1);

        peak = upsampledPeakOfChannels (buffer, stage1, stage2);
    }

    TruePeakMeasurement m;
    m.peakLinear = peak;
    m.truePeakDbtp = peak > kSilenceAmplitudeF ? 20.0 * std::log10 ((double) peak) : kNoLevelDb;
    return m;
}
