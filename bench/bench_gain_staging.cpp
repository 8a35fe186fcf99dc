// Cost of the checks that run after every stage, and of the limiter and trim,
// over one minute of stereo at 48 kHz. Figures scale linearly with length.

#include "pipeline/SampleChecks.h"
#include "pipeline/stages/Limiter.h"
#include "pipeline/stages/OutputTrim.h"
#include "support/WholeBuffer.h"

#include <benchmark/benchmark.h>

using namespace tessaloom;

namespace
{
constexpr double rate = 48000.0;
constexpr int minuteOfSamples = 48000 * 60;

juce::AudioBuffer<float> noiseMinute()
{
    juce::AudioBuffer<float> b (2, minuteOfSamples);
    juce::Random rng (3);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < minuteOfSamples; ++i)
            b.setSample (c, i, 0.3f * (rng.nextFloat() * 2.0f - 1.0f));
    return b;
}

void setThroughput (benchmark::State& state)
{
    state.SetItemsProcessed (state.iterations() * 2 * (int64_t) minuteOfSamples);
    state.counters["x_realtime"] = benchmark::Counter ((double) state.iterations() * 60.0, benchmark::Counter::kIsRate);
}
} // namespace

static void BM_CountNonFinite (benchmark::State& state)
{
    const auto buffer = noiseMinute();
    for (auto _ : state)
        benchmark::DoNotOptimize (sample_checks::countNonFinite (buffer));
    setThroughput (state);
}
BENCHMARK (BM_CountNonFinite)->Unit (benchmark::kMillisecond);

static void BM_PeakLevel (benchmark::State& state)
{
    const auto buffer = noiseMinute();
    for (auto _ : state)
        benchmark::DoNotOptimize (sample_checks::peakLevelDbfs (buffer));
    setThroughput (state);
}
BENCHMARK (BM_PeakLevel)->Unit (benchmark::kMillisecond);

static void BM_LimitAndTrim (benchmark::State& state)
{
    const auto source = noiseMinute();
    juce::AudioBuffer<float> buffer (2, minuteOfSamples);
    for (auto _ : state)
    {
        state.PauseTiming();
        buffer.makeCopyOf (source, true);
        state.ResumeTiming();
        stages::applyLimiter (buffer, rate, {});
        stages::applyOutputTrim (buffer);
    }
    setThroughput (state);
}
BENCHMARK (BM_LimitAndTrim)->Unit (benchmark::kMillisecond);

// A short burst, then digital silence: the envelopes decay towards zero
// through the subnormal range, which is slow on most processors unless
// flushed to zero.
static void BM_LimitAndTrimMostlySilence (benchmark::State& state)
{
    juce::AudioBuffer<float> source (2, minuteOfSamples);
    source.clear();
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 4800; ++i)
            source.setSample (c, i, i % 2 == 0 ? 0.9f : -0.9f);
    juce::AudioBuffer<float> buffer (2, minuteOfSamples);
    for (auto _ : state)
    {
        state.PauseTiming();
        buffer.makeCopyOf (source, true);
        state.ResumeTiming();
        stages::applyLimiter (buffer, rate, {});
        stages::applyOutputTrim (buffer);
    }
    setThroughput (state);
}
BENCHMARK (BM_LimitAndTrimMostlySilence)->Unit (benchmark::kMillisecond);

BENCHMARK_MAIN();
