// What the inline dynamics kernels buy: each kernel over 10 s of mono audio at
// 48 kHz against the JUCE processor it reproduces doing the same work (the
// same settings, the same samples in, the same samples out). The JUCE side is
// prepared for the whole buffer and fed it as one block, as the stages would
// feed it. Both sides build their processor inside the timed loop, as the
// stages do once per file. Items are samples; "per_sample" is the time each
// takes.

#include "dsp/DynamicsKernels.h"

#include <juce_dsp/juce_dsp.h>

#include <benchmark/benchmark.h>

#include <vector>

using namespace tessaloom;

namespace
{
constexpr double rate = 48000.0;
constexpr int frames = 10 * 48000;

// A 220 Hz tone with noise under a slow level swing, so the dynamics spend time
// on both sides of their thresholds: the swing takes it from about -70 dBFS to
// about -5 dBFS and back every two seconds.
const std::vector<float>& source()
{
    static const std::vector<float> audio = []
    {
        std::vector<float> x ((size_t) frames);
        juce::Random rng (11);
        const double twoPi = 2.0 * juce::MathConstants<double>::pi;
        for (int i = 0; i < frames; ++i)
        {
            const double t = i / rate;
            const double swing = 0.5 + 0.4995 * std::sin (twoPi * 0.5 * t);
            x[(size_t) i] = (float) (swing * (0.5 * std::sin (twoPi * 220.0 * t) + 0.1 * (rng.nextFloat() * 2.0f - 1.0f)));
        }
        return x;
    }();
    return audio;
}

// The engine's settings for each kernel.
struct Leveler
{
    static constexpr float thresholdDb = -18.0f, ratio = 3.0f, attackMs = 12.0f, releaseMs = 250.0f;
};
struct Expander
{
    static constexpr float thresholdDb = -45.0f, ratio = 2.0f, attackMs = 1.0f, releaseMs = 300.0f;
};
constexpr float crossoverHz = 5000.0f;
constexpr float limiterThresholdDb = -1.0f, limiterReleaseMs = 50.0f;

juce::dsp::ProcessSpec wholeBuffer() { return { rate, (juce::uint32) frames, 1 }; }

void countSamples (benchmark::State& state)
{
    state.SetItemsProcessed (state.iterations() * (int64_t) frames);
    state.counters["per_sample"] = benchmark::Counter ((double) frames,
                                                       benchmark::Counter::kIsIterationInvariantRate
                                                           | benchmark::Counter::kInvert);
}

// JUCE reads the source and writes the output, as the kernels below do.
template <typename Processor>
void runJuce (Processor& processor, float* output)
{
    const float* in = source().data();
    juce::dsp::AudioBlock<const float> input (&in, 1, (size_t) frames);
    juce::dsp::AudioBlock<float> out (&output, 1, (size_t) frames);
    processor.process (juce::dsp::ProcessContextNonReplacing<float> (input, out));
}
} // namespace

// ---- Compressor (the leveler's settings) ---------------------------------------

static void Compressor_Kernel (benchmark::State& state)
{
    std::vector<float> out ((size_t) frames);
    const float* in = source().data();
    for (auto _ : state)
    {
        dynamics_kernels::Compressor k (rate, Leveler::thresholdDb, Leveler::ratio, Leveler::attackMs, Leveler::releaseMs);
        for (int n = 0; n < frames; ++n)
            out[(size_t) n] = k.processSample (in[n]);
        benchmark::DoNotOptimize (out.data());
        benchmark::ClobberMemory();
    }
    countSamples (state);
}

static void Compressor_Juce (benchmark::State& state)
{
    std::vector<float> out ((size_t) frames);
    for (auto _ : state)
    {
        juce::dsp::Compressor<float> compressor;
        compressor.setThreshold (Leveler::thresholdDb);
        compressor.setRatio (Leveler::ratio);
        compressor.setAttack (Leveler::attackMs);
        compressor.setRelease (Leveler::releaseMs);
        compressor.prepare (wholeBuffer());
        runJuce (compressor, out.data());
        benchmark::DoNotOptimize (out.data());
        benchmark::ClobberMemory();
    }
    countSamples (state);
}

// ---- Noise gate (the expander's settings) --------------------------------------

static void NoiseGate_Kernel (benchmark::State& state)
{
    std::vector<float> out ((size_t) frames);
    const float* in = source().data();
    for (auto _ : state)
    {
        dynamics_kernels::NoiseGate k (rate, Expander::thresholdDb, Expander::ratio, Expander::attackMs, Expander::releaseMs);
        for (int n = 0; n < frames; ++n)
            out[(size_t) n] = k.processSample (in[n]);
        benchmark::DoNotOptimize (out.data());
        benchmark::ClobberMemory();
    }
    countSamples (state);
}

static void NoiseGate_Juce (benchmark::State& state)
{
    std::vector<float> out ((size_t) frames);
    for (auto _ : state)
    {
        juce::dsp::NoiseGate<float> gate;
        gate.setThreshold (Expander::thresholdDb);
        gate.setRatio (Expander::ratio);
        gate.setAttack (Expander::attackMs);
        gate.setRelease (Expander::releaseMs);
        gate.prepare (wholeBuffer());
        runJuce (gate, out.data());
        benchmark::DoNotOptimize (out.data());
        benchmark::ClobberMemory();
    }
    countSamples (state);
}

// ---- Linkwitz-Riley split (the de-esser's crossover) -----------------------------
// Both bands from one input: the kernel in one pass, JUCE as a low-pass and a
// high-pass filter, each over the whole buffer.

static void LinkwitzRileySplit_Kernel (benchmark::State& state)
{
    std::vector<float> low ((size_t) frames), high ((size_t) frames);
    const float* in = source().data();
    for (auto _ : state)
    {
        dynamics_kernels::LinkwitzRileySplit k (rate, crossoverHz);
        for (int n = 0; n < frames; ++n)
            k.processSample (in[n], low[(size_t) n], high[(size_t) n]);
        benchmark::DoNotOptimize (low.data());
        benchmark::DoNotOptimize (high.data());
        benchmark::ClobberMemory();
    }
    countSamples (state);
}

static void LinkwitzRileySplit_Juce (benchmark::State& state)
{
    std::vector<float> low ((size_t) frames), high ((size_t) frames);
    for (auto _ : state)
    {
        juce::dsp::LinkwitzRileyFilter<float> lowPass, highPass;
        lowPass.setType (juce::dsp::LinkwitzRileyFilterType::lowpass);
        highPass.setType (juce::dsp::LinkwitzRileyFilterType::highpass);
        lowPass.prepare (wholeBuffer());
        highPass.prepare (wholeBuffer());
        lowPass.setCutoffFrequency (crossoverHz);
        highPass.setCutoffFrequency (crossoverHz);
        runJuce (lowPass, low.data());
        runJuce (highPass, high.data());
        benchmark::DoNotOptimize (low.data());
        benchmark::DoNotOptimize (high.data());
        benchmark::ClobberMemory();
    }
    countSamples (state);
}

// ---- Limiter (the limiter stage's settings, make-up gain and clip) -------------
// Both under juce::ScopedNoDenormals, as the limiter stage runs.

static void Limiter_Kernel (benchmark::State& state)
{
    const juce::ScopedNoDenormals noDenormals;
    std::vector<float> out ((size_t) frames);
    const float* in = source().data();
    for (auto _ : state)
    {
        dynamics_kernels::LimiterStages k (rate, limiterThresholdDb, limiterReleaseMs);
        for (int n = 0; n < frames; ++n)
            out[(size_t) n] = k.processSample (in[n]);
        juce::FloatVectorOperations::multiply (out.data(), k.outputGain, frames);
        juce::FloatVectorOperations::clip (out.data(), out.data(), -1.0f, 1.0f, frames);
        benchmark::DoNotOptimize (out.data());
        benchmark::ClobberMemory();
    }
    countSamples (state);
}

static void Limiter_Juce (benchmark::State& state)
{
    const juce::ScopedNoDenormals noDenormals;
    std::vector<float> out ((size_t) frames);
    for (auto _ : state)
    {
        juce::dsp::Limiter<float> limiter;
        limiter.setThreshold (limiterThresholdDb);
        limiter.setRelease (limiterReleaseMs);
        limiter.prepare (wholeBuffer());
        runJuce (limiter, out.data());
        benchmark::DoNotOptimize (out.data());
        benchmark::ClobberMemory();
    }
    countSamples (state);
}

BENCHMARK (Compressor_Kernel)->Unit (benchmark::kMillisecond);
BENCHMARK (Compressor_Juce)->Unit (benchmark::kMillisecond);
BENCHMARK (NoiseGate_Kernel)->Unit (benchmark::kMillisecond);
BENCHMARK (NoiseGate_Juce)->Unit (benchmark::kMillisecond);
BENCHMARK (LinkwitzRileySplit_Kernel)->Unit (benchmark::kMillisecond);
BENCHMARK (LinkwitzRileySplit_Juce)->Unit (benchmark::kMillisecond);
BENCHMARK (Limiter_Kernel)->Unit (benchmark::kMillisecond);
BENCHMARK (Limiter_Juce)->Unit (benchmark::kMillisecond);

BENCHMARK_MAIN();
