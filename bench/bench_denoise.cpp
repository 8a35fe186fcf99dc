// Speed of the bundled denoiser: the whole suppressor on one core, and the FFT pair it rests on
// (FFTW against juce::dsp::FFT as Debian's JUCE builds it). Items per second are audio samples, so
// realtime factor = items_per_second / 48000 for mono.
#include "denoise/RealFft.h"
#include "denoise/StftDenoiser.h"

#include <juce_dsp/juce_dsp.h>

#include <benchmark/benchmark.h>

#include <vector>

using namespace tessaloom;

namespace
{
constexpr double fs = 48000.0;

juce::AudioBuffer<float> noisyVoice (int channels, int samples)
{
    juce::AudioBuffer<float> b (channels, samples);
    juce::Random rng (3);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
        {
            const double t = i / fs;
            const double syllable = std::max (0.0, std::sin (2.0 * juce::MathConstants<double>::pi * 3.0 * t));
            b.setSample (c, i, (float) (0.2 * syllable * std::sin (2.0 * juce::MathConstants<double>::pi * 180.0 * t)
                                        + 0.02 * (rng.nextFloat() * 2.0f - 1.0f)));
        }
    return b;
}

void BM_DenoiseBuffer (benchmark::State& state)
{
    const int channels = (int) state.range (0);
    const int samples = (int) (60 * fs);
    const auto source = noisyVoice (channels, samples);
    juce::AudioBuffer<float> work (channels, samples);
    for (auto _ : state)
    {
        state.PauseTiming();
        work.makeCopyOf (source, true);
        state.ResumeTiming();
        tessaloom::denoise::denoiseBuffer (work, fs, 12.0f);
        benchmark::DoNotOptimize (work.getReadPointer (0));
    }
    state.SetItemsProcessed (state.iterations() * (int64_t) samples);
    state.counters["realtime_x"] = benchmark::Counter ((double) samples / fs * (double) state.iterations(),
                                                       benchmark::Counter::kIsRate);
}
BENCHMARK (BM_DenoiseBuffer)->Arg (1)->Arg (2)->Unit (benchmark::kMillisecond);

// One forward and one inverse real FFT of 2048 points, as the suppressor does per channel and frame.
void BM_FftPairFftw (benchmark::State& state)
{
    tessaloom::denoise::RealFft fft (2048);
    juce::Random rng (1);
    for (int i = 0; i < 2048; ++i)
        fft.timeData()[i] = rng.nextFloat();
    for (auto _ : state)
    {
        fft.forward();
        fft.inverse();
        benchmark::DoNotOptimize (fft.timeData());
    }
    state.SetItemsProcessed (state.iterations() * 512); // one hop of audio per pair
}
BENCHMARK (BM_FftPairFftw);

void BM_FftPairJuce (benchmark::State& state)
{
    juce::dsp::FFT fft (11);
    std::vector<float> data (4096, 0.0f);
    juce::Random rng (1);
    for (int i = 0; i < 2048; ++i)
        data[(size_t) i] = rng.nextFloat();
    for (auto _ : state)
    {
        fft.performRealOnlyForwardTransform (data.data(), true);
        fft.performRealOnlyInverseTransform (data.data());
        benchmark::DoNotOptimize (data.data());
    }
    state.SetItemsProcessed (state.iterations() * 512);
}
BENCHMARK (BM_FftPairJuce);
} // namespace

BENCHMARK_MAIN();
