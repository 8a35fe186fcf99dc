// The whole chain through AudioPipeline::processFile (denoise off): read,
// three analyses, pre-filter and its intermediate file, every in-memory stage
// and the 16-bit output, on one minute of generated speech-like audio at
// 48 kHz, mono and stereo. Items are seconds of audio, so items_per_second
// reads as x realtime. Wall time: the analyses and channels use a helper thread.

#include "pipeline/AudioPipeline.h"
#include "support/Loggers.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <benchmark/benchmark.h>

using namespace tessaloom;

namespace
{
constexpr double rate = 48000.0;
constexpr int seconds = 60;

// Syllables of a harmonic tone with pauses between them, a little hiss and 50 Hz hum.
juce::AudioBuffer<float> speechLike (int channels)
{
    const int frames = seconds * (int) rate;
    juce::AudioBuffer<float> b (channels, frames);
    juce::Random rng (5);
    const double twoPi = 2.0 * juce::MathConstants<double>::pi;
    int pos = 0;
    while (pos < frames)
    {
        const int syllable = (int) (rate * (0.12 + 0.18 * rng.nextDouble()));
        const int gap = (int) (rate * (0.05 + 0.3 * rng.nextDouble()));
        const double f0 = 110.0 + 90.0 * rng.nextDouble();
        const float level = 0.05f + 0.2f * rng.nextFloat();
        for (int i = 0; i < syllable + gap && pos < frames; ++i, ++pos)
        {
            const double t = pos / rate;
            double v = 0.004 * std::sin (twoPi * 50.0 * t);
            if (i < syllable)
            {
                const double env = std::sin (juce::MathConstants<double>::pi * i / syllable);
                for (int h = 1; h <= 8; ++h)
                    v += level * env * 0.4 * std::sin (twoPi * f0 * h * t) / h;
            }
            for (int c = 0; c < channels; ++c)
                b.setSample (c, pos, (float) (v + 0.002 * (rng.nextFloat() * 2.0f - 1.0f)) * (c == 0 ? 1.0f : 0.85f));
        }
    }
    return b;
}

struct Corpus
{
    juce::TemporaryFile folderName;
    juce::File folder = folderName.getFile();
    juce::File mono = folder.getChildFile ("mono.wav");
    juce::File stereo = folder.getChildFile ("stereo.wav");
    juce::File output = folder.getChildFile ("out/out.wav");

    Corpus()
    {
        folder.createDirectory();
        output.getParentDirectory().createDirectory();
        write (mono, speechLike (1));
        write (stereo, speechLike (2));
    }

    ~Corpus() { folder.deleteRecursively(); }

    static void write (const juce::File& file, const juce::AudioBuffer<float>& audio)
    {
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (
            wav.createWriterFor (new juce::FileOutputStream (file), rate, (unsigned int) audio.getNumChannels(), 16, {}, 0));
        writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples());
    }
};

Corpus& corpus()
{
    static Corpus c;
    return c;
}

void runChain (benchmark::State& state, const juce::File& input)
{
    const testing_support::SilentLogger quiet;
    PipelineConfig config;
    config.denoise = false;
    for (auto _ : state)
    {
        const auto result = AudioPipeline::processFile (input, corpus().output, config);
        if (! result.success)
            state.SkipWithError (result.errorMessage.toRawUTF8());
    }
    state.SetItemsProcessed (state.iterations() * (int64_t) seconds);
}
} // namespace

static void ChainMono48k (benchmark::State& s) { runChain (s, corpus().mono); }
static void ChainStereo48k (benchmark::State& s) { runChain (s, corpus().stereo); }

BENCHMARK (ChainMono48k)->Unit (benchmark::kMillisecond)->UseRealTime();
BENCHMARK (ChainStereo48k)->Unit (benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
