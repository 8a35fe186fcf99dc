// Throughput of the in-memory processing stages on one minute of stereo audio
// at 48 kHz. Items are samples (frames x channels), so the report reads as
// samples per second; an hour-long stereo file is 345.6 M samples. Wall time:
// the channels of a stage run side by side, so CPU time of the calling thread
// would undercount.

#include "pipeline/stages/DeEsser.h"
#include "pipeline/stages/Expander.h"
#include "pipeline/stages/Leveler.h"
#include "pipeline/stages/Limiter.h"
#include "pipeline/stages/OutputTrim.h"
#include "pipeline/stages/PreFilter.h"
#include "pipeline/stages/Saturation.h"
#include "pipeline/stages/VocalEq.h"
#include "support/WholeBuffer.h"

#include <benchmark/benchmark.h>

using namespace tessaloom;

namespace
{
constexpr double rate = 48000.0;
constexpr int channels = 2;
constexpr int frames = 60 * 48000;

const juce::AudioBuffer<float>& source()
{
    static const juce::AudioBuffer<float> audio = []
    {
        juce::AudioBuffer<float> b (channels, frames);
        juce::Random rng (11);
        for (int c = 0; c < channels; ++c)
        {
            float* x = b.getWritePointer (c);
            for (int i = 0; i < frames; ++i)
            {
                // A tone with noise and a slow level swing, so the dynamics stages
                // spend time on both sides of their thresholds.
                const double t = i / rate;
                const double swing = 0.5 + 0.45 * std::sin (2.0 * juce::MathConstants<double>::pi * 0.5 * t);
                x[i] = (float) (swing * (0.3 * std::sin (2.0 * juce::MathConstants<double>::pi * 220.0 * t)
                                         + 0.05 * (rng.nextFloat() * 2.0f - 1.0f)));
            }
        }
        return b;
    }();
    return audio;
}

template <typename Stage>
void runStage (benchmark::State& state, Stage&& stage)
{
    juce::AudioBuffer<float> work (channels, frames);
    for (auto _ : state)
    {
        state.PauseTiming();
        for (int c = 0; c < channels; ++c)
            work.copyFrom (c, 0, source(), c, 0, frames);
        state.ResumeTiming();
        stage (work);
        benchmark::DoNotOptimize (work.getReadPointer (0));
    }
    state.SetItemsProcessed (state.iterations() * (int64_t) frames * channels);
}
} // namespace

static void PreFilterWithHum (benchmark::State& s)
{
    runStage (s, [] (auto& b) { stages::applyPreFilter (b, rate, { true, std::nullopt }); });
}
static void DeEsser (benchmark::State& s)
{
    runStage (s, [] (auto& b) { stages::applyDeEsser (b, rate, { -30.0f }); });
}
static void Expander (benchmark::State& s)
{
    runStage (s, [] (auto& b) { stages::applyExpander (b, rate, { -30.0f }); });
}
static void VocalEqWithMudCut (benchmark::State& s)
{
    runStage (s, [] (auto& b) { stages::applyVocalEq (b, rate, { "Male", 4.0f, 3.0f, -3.0f }); });
}
static void Leveler (benchmark::State& s)
{
    runStage (s, [] (auto& b) { stages::applyLeveler (b, rate); });
}
static void Saturation (benchmark::State& s)
{
    runStage (s, [] (auto& b) { stages::applySaturation (b, rate, { 0.5f }); });
}
static void LimiterAndTrim (benchmark::State& s)
{
    // +6 dB first, so the limiter works on a good share of the samples.
    runStage (s, [] (auto& b) { b.applyGain (2.0f); stages::applyLimiter (b, rate, {}); stages::applyOutputTrim (b); });
}

BENCHMARK (PreFilterWithHum)->Unit (benchmark::kMillisecond)->UseRealTime();
BENCHMARK (DeEsser)->Unit (benchmark::kMillisecond)->UseRealTime();
BENCHMARK (Expander)->Unit (benchmark::kMillisecond)->UseRealTime();
BENCHMARK (VocalEqWithMudCut)->Unit (benchmark::kMillisecond)->UseRealTime();
BENCHMARK (Leveler)->Unit (benchmark::kMillisecond)->UseRealTime();
BENCHMARK (Saturation)->Unit (benchmark::kMillisecond)->UseRealTime();
BENCHMARK (LimiterAndTrim)->Unit (benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
