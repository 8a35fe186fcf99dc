// One analysis of 10 minutes of 48 kHz audio, mono and stereo, and each
// measurement alone. The pipeline analyses every file three times. Only the
// whole analysis writes to the log; the single measurements do not.

#include "analysis/AnalysisAccumulator.h"
#include "analysis/Loudness.h"
#include "analysis/Sibilance.h"
#include "support/WholeBufferAnalysis.h"

#include <benchmark/benchmark.h>
#include <juce_dsp/juce_dsp.h>

#include <cmath>

using namespace tessaloom;

namespace
{
constexpr double kRate = 48000.0;
constexpr int kTenMinutes = 10 * 60 * 48000;

class SilentLogger : public juce::Logger
{
    void logMessage (const juce::String&) override {}
};

struct QuietLog
{
    SilentLogger logger;
    QuietLog() { juce::Logger::setCurrentLogger (&logger); }
    ~QuietLog() { juce::Logger::setCurrentLogger (nullptr); }
};

// Speech-like material: 200 ms tone bursts with pauses over low noise.
const juce::AudioBuffer<float>& material (int channels)
{
    static juce::AudioBuffer<float> buffers[3];
    auto& b = buffers[channels];
    if (b.getNumSamples() == 0)
    {
        b.setSize (channels, kTenMinutes);
        juce::Random rng (42);
        for (int c = 0; c < channels; ++c)
        {
            float* x = b.getWritePointer (c);
            for (int i = 0; i < kTenMinutes; ++i)
            {
                const int inCycle = i % 24000;
                const double burst = inCycle < 9600 ? std::sin (juce::MathConstants<double>::pi * inCycle / 9600.0) : 0.0;
                const double t = i / kRate;
                x[i] = (float) (0.2 * burst * (std::sin (2 * juce::MathConstants<double>::pi * 140.0 * t)
                                               + 0.3 * std::sin (2 * juce::MathConstants<double>::pi * 2800.0 * t))
                                + 0.002 * (rng.nextFloat() * 2.0f - 1.0f));
            }
        }
    }
    return b;
}

void setUp (benchmark::State& state)
{
    state.SetLabel (state.range (0) == 1 ? "10 min mono" : "10 min stereo");
}

void BM_Analyze (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    QuietLog quiet;
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (whole_buffer_analysis::analyze (b, kRate));
}

// The whole analysis without the log: the buffer as one block.
void BM_Measure (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (whole_buffer_analysis::measure (b, kRate));
}

// The same analysis as a streaming driver feeds it: blocks of 32,768 frames,
// each a view into the material (no copy), through one accumulator.
void BM_MeasureInBlocks (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    constexpr int blockFrames = 32768;
    setUp (state);
    for (auto _ : state)
    {
        AnalysisAccumulator accumulator (b.getNumChannels(), kRate);
        for (int start = 0; start < b.getNumSamples(); start += blockFrames)
        {
            const int n = std::min (blockFrames, b.getNumSamples() - start);
            float* channels[2] = {};
            for (int c = 0; c < b.getNumChannels(); ++c)
                channels[c] = const_cast<float*> (b.getReadPointer (c, start));
            const juce::AudioBuffer<float> view (channels, b.getNumChannels(), n);
            accumulator.add (view, n);
        }
        benchmark::DoNotOptimize (accumulator.finish());
    }
}

// The driver's loudness: K-weighting straight into the gating sums, no copy.
void BM_LoudnessStreaming (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (analysis_detail::gateBlockPowers (whole_buffer_analysis::kWeightedBlockPowers (b, kRate)));
}

void BM_LoudnessCopyAndFilter (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
    {
        juce::AudioBuffer<float> copy (b);
        whole_buffer_analysis::applyKWeighting (copy, kRate);
        benchmark::DoNotOptimize (whole_buffer_analysis::measureIntegratedLoudness (copy, kRate));
    }
}

// The K-weighting and the sibilance band in one loop, as the analysis runs
// them (one thread, blocks of 65536 frames).
void BM_LoudnessBesideBand (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    constexpr int kBlock = 65536;
    for (auto _ : state)
    {
        analysis_detail::LoudnessStream loudness (b.getNumChannels(), kRate);
        analysis_detail::SibilanceStream band (b.getNumChannels(), kRate);
        std::vector<const float*> at ((size_t) b.getNumChannels());
        for (int pos = 0; pos < b.getNumSamples(); pos += kBlock)
        {
            const int n = std::min (kBlock, b.getNumSamples() - pos);
            for (int c = 0; c < b.getNumChannels(); ++c)
                at[(size_t) c] = b.getReadPointer (c, pos);
            loudness.add (at.data(), n, band);
            band.countFrames (n);
        }
        benchmark::DoNotOptimize (loudness.blockPowers().data());
        benchmark::DoNotOptimize (band.finish());
    }
}

// The same at 44.1 kHz (designed K-weighting filters), on the 48 kHz material.
void BM_LoudnessStreaming44k1 (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (analysis_detail::gateBlockPowers (whole_buffer_analysis::kWeightedBlockPowers (b, 44100.0)));
}

void BM_TruePeak (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (whole_buffer_analysis::measureTruePeak (b));
}

// The same measurement through juce::dsp::Oversampling fed chunk by chunk, for comparison.
void BM_TruePeakJuceOversampler (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
    {
        juce::dsp::Oversampling<float> os ((size_t) b.getNumChannels(), 2,
                                           juce::dsp::Oversampling<float>::filterHalfBandPolyphaseIIR, true, false);
        os.initProcessing (65536);
        float peak = 0.0f;
        for (int start = 0; start < b.getNumSamples(); start += 65536)
        {
            const int len = std::min (b.getNumSamples() - start, 65536);
            juce::AudioBuffer<float> piece (b.getNumChannels(), len);
            for (int c = 0; c < b.getNumChannels(); ++c)
                piece.copyFrom (c, 0, b, c, start, len);
            auto up = os.processSamplesUp (juce::dsp::AudioBlock<const float> (piece));
            for (size_t c = 0; c < up.getNumChannels(); ++c)
            {
                const float* x = up.getChannelPointer (c);
                for (size_t i = 0; i < up.getNumSamples(); ++i)
                    peak = std::max (peak, std::abs (x[i]));
            }
        }
        benchmark::DoNotOptimize (peak);
    }
}

void BM_VoiceActivityAndSnr (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
    {
        const auto activity = whole_buffer_analysis::detectVoiceActivity (b, 960);
        benchmark::DoNotOptimize (whole_buffer_analysis::measureSnr (b, activity.voicedBlocks, 960));
    }
}

void BM_CrestFactor (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (whole_buffer_analysis::measureCrestFactor (b));
}

// What the driver runs for voice activity, SNR and crest together: one scan.
void BM_LevelScanForDriver (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
    {
        const auto scan = whole_buffer_analysis::scanLevels (b, 960, true);
        benchmark::DoNotOptimize (scan.sumOfSquares);
    }
}

void BM_SpectralTilt (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (whole_buffer_analysis::measureSpectralTilt (b, kRate));
}

void BM_Sibilance (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (whole_buffer_analysis::measureSibilance (b, kRate));
}

void BM_GridHum (benchmark::State& state)
{
    const auto& b = material ((int) state.range (0));
    setUp (state);
    for (auto _ : state)
        benchmark::DoNotOptimize (whole_buffer_analysis::detectGridHum (b, kRate));
}
} // namespace

#define ANALYSIS_BENCH(fn) BENCHMARK (fn)->Arg (1)->Arg (2)->Unit (benchmark::kMillisecond)->UseRealTime()

ANALYSIS_BENCH (BM_Analyze);
ANALYSIS_BENCH (BM_Measure);
ANALYSIS_BENCH (BM_MeasureInBlocks);
ANALYSIS_BENCH (BM_LoudnessStreaming);
ANALYSIS_BENCH (BM_LoudnessCopyAndFilter);
ANALYSIS_BENCH (BM_LoudnessBesideBand);
ANALYSIS_BENCH (BM_LoudnessStreaming44k1);
ANALYSIS_BENCH (BM_TruePeak);
ANALYSIS_BENCH (BM_TruePeakJuceOversampler);
ANALYSIS_BENCH (BM_VoiceActivityAndSnr);
ANALYSIS_BENCH (BM_CrestFactor);
ANALYSIS_BENCH (BM_LevelScanForDriver);
ANALYSIS_BENCH (BM_SpectralTilt);
ANALYSIS_BENCH (BM_Sibilance);
ANALYSIS_BENCH (BM_GridHum);

BENCHMARK_MAIN();
