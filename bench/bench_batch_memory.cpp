// Peak memory of a batch of long recordings against the number of workers:
// each worker streams its file in blocks, so the peak grows with the workers,
// not with the lengths. Every configuration runs in a child process of its
// own (the peak resident size of a process only ever grows) and reports its
// peak, in MiB, as the counter peak_MiB. Four 20-minute stereo files at
// 48 kHz, chain on, denoiser off; the files are made once under /tmp.

#include "app/BatchRunner.h"
#include "support/Loggers.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace tessaloom;

namespace
{
constexpr int kFiles = 4;
constexpr int kSeconds = 20 * 60;
constexpr double kRate = 48000.0;

juce::File corpusFolder()
{
    return juce::File ("/tmp/tessaloom-bench-batch-memory");
}

// Tones in syllable-length bursts with hiss between them, different per file.
void makeCorpus()
{
    const auto in = corpusFolder().getChildFile ("in");
    if (in.getChildFile ("take 3.wav").existsAsFile())
        return;
    in.createDirectory();
    const int frames = (int) kRate * kSeconds;
    for (int f = 0; f < kFiles; ++f)
    {
        juce::WavAudioFormat wav;
        auto stream = in.getChildFile ("take " + juce::String (f) + ".wav").createOutputStream();
        std::unique_ptr<juce::AudioFormatWriter> writer (
            wav.createWriterFor (stream.release(), kRate, 2, 16, juce::StringPairArray(), 0));
        juce::AudioBuffer<float> block (2, 48000);
        juce::Random rng (f + 1);
        for (int at = 0; at < frames; at += block.getNumSamples())
        {
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < block.getNumSamples(); ++i)
                {
                    const int n = at + i;
                    const bool voiced = (n / 9600) % 3 != 2;
                    const double tone = voiced ? 0.3 * std::sin (2.0 * juce::MathConstants<double>::pi * (180.0 + 40 * f) * n / kRate) : 0.0;
                    block.setSample (c, i, (float) (tone + 0.01 * (rng.nextFloat() * 2.0f - 1.0f)));
                }
            writer->writeFromAudioSampleBuffer (block, 0, block.getNumSamples());
        }
    }
}

// VmHWM of this process in KiB.
long peakResidentKiB()
{
    std::ifstream status ("/proc/self/status");
    for (std::string line; std::getline (status, line);)
        if (line.rfind ("VmHWM:", 0) == 0)
            return std::stol (line.substr (6));
    return -1;
}

// Runs the batch with the given workers in a child process; its peak in KiB.
long batchPeakKiB (int workers)
{
    int fds[2];
    if (pipe (fds) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0)
    {
        close (fds[0]);
        const testing_support::SilentLogger quiet;
        CommandLineOptions options;
        options.inputDir = corpusFolder().getChildFile ("in");
        options.outputDir = corpusFolder().getChildFile ("out");
        options.config.denoise = false;
        options.isValid = true;
        std::cout.setstate (std::ios::failbit); // the summary line
        runBatch (options, workers);
        const long peak = peakResidentKiB();
        (void) ! write (fds[1], &peak, sizeof peak);
        _exit (0);
    }
    close (fds[1]);
    long peak = -1;
    (void) ! read (fds[0], &peak, sizeof peak);
    close (fds[0]);
    waitpid (child, nullptr, 0);
    return peak;
}
} // namespace

static void BM_BatchPeakMemory (benchmark::State& state)
{
    makeCorpus();
    const int workers = (int) state.range (0);
    long peak = 0;
    for (auto _ : state)
        peak = batchPeakKiB (workers);
    state.counters["peak_MiB"] = (double) peak / 1024.0;
}
BENCHMARK (BM_BatchPeakMemory)->Arg (1)->Arg (2)->Arg (4)->Iterations (1)->Unit (benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
