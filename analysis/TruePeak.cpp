#include "analysis/TruePeak.h"
#include "dsp/JuceArithmetic.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>

namespace tessaloom
{

// A channel, or two side by side, through both half-band stages.
struct analysis_detail::TruePeakStream::Group
{
    virtual ~Group() = default;
    virtual void run (const float* const* channels, int from, int to) noexcept = 0;
    virtual void snap() noexcept = 0;
    virtual float channelPeak() const noexcept = 0;
};

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

using juce_arithmetic::snapToZero;

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

// One channel's state with section counts fixed at compile time, so that a
// local copy of it lives in registers while a run is filtered.
template <int Direct1, int Sections1, int Direct2, int Sections2>
struct FixedPeak final : analysis_detail::TruePeakStream::Group
{
    const int channel;
    float a1[Sections1], a2[Sections2];
    float s1[Sections1] = {}, s2[Sections2] = {};
    float peak = 0.0f;

    FixedPeak (int ch, const HalfBandStage& st1, const HalfBandStage& st2) : channel (ch)
    {
        std::copy (st1.alpha, st1.alpha + Sections1, a1);
        std::copy (st2.alpha, st2.alpha + Sections2, a2);
    }

    void run (const float* const* channels, int from, int to) noexcept override
    {
        auto local = *this;
        const float* x = channels[channel];
        for (int i = from; i < to; ++i)
        {
            const float even = allpassPath<Direct1> (local.a1, local.s1, x[i]);
            const float odd = allpassPath<Sections1 - Direct1> (local.a1 + Direct1, local.s1 + Direct1, x[i]);

            const float y0 = allpassPath<Direct2> (local.a2, local.s2, even);
            const float y1 = allpassPath<Sections2 - Direct2> (local.a2 + Direct2, local.s2 + Direct2, even);
            const float y2 = allpassPath<Direct2> (local.a2, local.s2, odd);
            const float y3 = allpassPath<Sections2 - Direct2> (local.a2 + Direct2, local.s2 + Direct2, odd);

            local.peak = absMax (absMax (absMax (absMax (local.peak, y0), y1), y2), y3);
        }
        std::copy (local.s1, local.s1 + Sections1, s1);
        std::copy (local.s2, local.s2 + Sections2, s2);
        peak = local.peak;
    }

    void snap() noexcept override
    {
        for (auto& v : s1) snapToZero (v);
        for (auto& v : s2) snapToZero (v);
    }

    float channelPeak() const noexcept override { return peak; }
};

struct GenericPeak final : analysis_detail::TruePeakStream::Group
{
    const int channel;
    const HalfBandStage st1, st2;
    float s1[kMaxSections] = {}, s2[kMaxSections] = {};
    float peak = 0.0f;

    GenericPeak (int ch, const HalfBandStage& stage1, const HalfBandStage& stage2) : channel (ch), st1 (stage1), st2 (stage2) {}

    void run (const float* const* channels, int from, int to) noexcept override
    {
        const int d1 = st1.directSections, r1 = st1.numSections - d1;
        const int d2 = st2.directSections, r2 = st2.numSections - d2;
        const float* x = channels[channel];
        for (int i = from; i < to; ++i)
        {
            const float even = allpassPath (st1.alpha, s1, x[i], d1);
            const float odd = allpassPath (st1.alpha + d1, s1 + d1, x[i], r1);
            const float y0 = allpassPath (st2.alpha, s2, even, d2);
            const float y1 = allpassPath (st2.alpha + d2, s2 + d2, even, r2);
            const float y2 = allpassPath (st2.alpha, s2, odd, d2);
            const float y3 = allpassPath (st2.alpha + d2, s2 + d2, odd, r2);
            peak = absMax (absMax (absMax (absMax (peak, y0), y1), y2), y3);
        }
    }

    void snap() noexcept override
    {
        for (int n = 0; n < st1.numSections; ++n) snapToZero (s1[n]);
        for (int n = 0; n < st2.numSections; ++n) snapToZero (s2[n]);
    }

    float channelPeak() const noexcept override { return peak; }
};

#if TESSALOOM_SSE2
// Four lanes: the direct paths of channels A and B, then their delayed paths.
// Both paths of a stage see the same input, so they run side by side; lane
// operations are the same IEEE single-precision operations as the scalar code,
// so the result is bit for bit the same. The direct path may have one section
// more than the delayed one; that section's result is kept in the direct lanes
// only, which, with the direct lanes first, one shuffle does.
template <int Direct, int Delayed>
struct VectorStage
{
    static_assert (Direct - Delayed == 0 || Direct - Delayed == 1, "the polyphase split differs by at most one section");

    __m128 alpha[Direct];
    __m128 state[Direct];

    explicit VectorStage (const HalfBandStage& st)
    {
        for (int n = 0; n < Direct; ++n)
        {
            const float d = st.alpha[n];
            const float r = n < Delayed ? st.alpha[Direct + n] : 0.0f;
            alpha[n] = _mm_setr_ps (d, d, r, r);
            state[n] = _mm_setzero_ps();
        }
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
                input = _mm_shuffle_ps (output, input, _MM_SHUFFLE (3, 2, 1, 0)); // direct lanes from output
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
struct PairPeak final : analysis_detail::TruePeakStream::Group
{
    const int channelA, channelB; // channelB < 0: a lone channel, its pair lanes fed zeros
    VectorStage<Direct1, Delayed1> stage1;
    VectorStage<Direct2, Delayed2> stage2;
    __m128 peak = _mm_setzero_ps();

    PairPeak (int a, int b, const HalfBandStage& st1, const HalfBandStage& st2) : channelA (a), channelB (b), stage1 (st1), stage2 (st2) {}

    void run (const float* const* channels, int from, int to) noexcept override
    {
        const float* a = channels[channelA];
        const float* b = channelB >= 0 ? channels[channelB] : nullptr;
        auto s1 = stage1;
        auto s2 = stage2;
        __m128 p = peak;
        const __m128 magnitude = _mm_castsi128_ps (_mm_set1_epi32 (0x7fffffff));
        for (int i = from; i < to; ++i)
        {
            const float xb = b != nullptr ? b[i] : 0.0f;
            // [A even, B even, A odd, B odd] at twice the rate.
            const __m128 twice = s1.process (_mm_setr_ps (a[i], xb, a[i], xb));
            const __m128 even = s2.process (_mm_shuffle_ps (twice, twice, _MM_SHUFFLE (1, 0, 1, 0)));
            const __m128 odd = s2.process (_mm_shuffle_ps (twice, twice, _MM_SHUFFLE (3, 2, 3, 2)));
            // max (new, peak) keeps the peak when a sample is not a number, as max (peak, new) does.
            p = _mm_max_ps (_mm_and_ps (even, magnitude), p);
            p = _mm_max_ps (_mm_and_ps (odd, magnitude), p);
        }
        stage1 = s1;
        stage2 = s2;
        peak = p;
    }

    void snap() noexcept override
    {
        stage1.snapStateToZero();
        stage2.snapStateToZero();
    }

    float channelPeak() const noexcept override
    {
        alignas (16) float lanes[4];
        _mm_store_ps (lanes, peak);
        return std::max (std::max (lanes[0], lanes[1]), std::max (lanes[2], lanes[3]));
    }
};
#endif

// The channels' filters: in pairs side by side where the processor allows,
// else one by one.
std::vector<std::unique_ptr<analysis_detail::TruePeakStream::Group>> makePeakGroups (int numChannels)
{
    std::vector<std::unique_ptr<analysis_detail::TruePeakStream::Group>> groups;
    if (numChannels < 1)
        return groups;

    const auto st1 = designHalfBandStage (0);
    const auto st2 = designHalfBandStage (1);
    // The sections of JUCE 7's maximum-quality design: 4 + 3, then 3 + 2.
    const bool juce7Design = st1.numSections == 7 && st1.directSections == 4 && st2.numSections == 5 && st2.directSections == 3;

   #if TESSALOOM_SSE2
    if (juce7Design)
    {
        for (int ch = 0; ch < numChannels; ch += 2)
            groups.push_back (std::make_unique<PairPeak<4, 3, 3, 2>> (ch, ch + 1 < numChannels ? ch + 1 : -1, st1, st2));
        return groups;
    }
   #endif

    for (int ch = 0; ch < numChannels; ++ch)
    {
        if (juce7Design)
            groups.push_back (std::make_unique<FixedPeak<4, 7, 3, 5>> (ch, st1, st2));
        else
            groups.push_back (std::make_unique<GenericPeak> (ch, st1, st2));
    }
    return groups;
}
} // namespace

analysis_detail::TruePeakStream::TruePeakStream (int numChannels) : groups (makePeakGroups (numChannels)) {}

analysis_detail::TruePeakStream::~TruePeakStream() = default;

// The filters snap their state to zero where every 65,536-sample chunk of the
// file ends, counted from its start, wherever the blocks end.
void analysis_detail::TruePeakStream::add (const float* const* channels, int numFrames)
{
    for (int i = 0; i < numFrames;)
    {
        const int n = std::min (numFrames - i, kTruePeakChunk - (int) (position % kTruePeakChunk));
        for (auto& g : groups)
            g->run (channels, i, i + n);
        i += n;
        position += n;
        if (position % kTruePeakChunk == 0)
            for (auto& g : groups)
                g->snap();
    }
}

TruePeakMeasurement analysis_detail::TruePeakStream::finish() const
{
    float peak = 0.0f;
    for (const auto& g : groups)
        peak = std::max (peak, g->channelPeak());

    TruePeakMeasurement m;
    m.peakLinear = peak;
    m.truePeakDbtp = levelDbfs (peak);
    return m;
}

} // namespace tessaloom
