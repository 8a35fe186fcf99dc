// libFuzzer target: arbitrary bytes handed to the program as an input file.
//
// The first byte picks the file's extension (the format manager opens a file
// only with the formats that claim its extension); the rest is the file. The
// file goes the road a real input goes: opened and read by readAudioFile,
// analysed, and, when short, run through the whole in-memory chain with the
// non-finite checks between the stages, as the driver runs it.

#include "support/WholeBufferAnalysis.h"
#include "io/AudioFileIO.h"
#include "support/WholeFileIO.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Chain.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/stages/PreFilter.h"
#include "support/WholeBuffer.h"

#include <cstddef>
#include <cstdint>

#include <unistd.h>

using namespace tessaloom;

namespace
{
// Long decoded inputs only repeat what short ones show, at a thousand times the
// cost; the chain runs on at most this many samples over all channels.
constexpr juce::int64 maxChainSamples = 1 << 17;

const char* const extensions[] = { ".wav", ".aiff", ".flac", ".ogg" };

// The stages log every step; the fuzzer has no use for it.
struct SilentLogger : juce::Logger
{
    void logMessage (const juce::String&) override {}
};

struct Setup
{
    Setup()
    {
        juce::Logger::setCurrentLogger (&logger);
        const juce::File shm ("/dev/shm");
        const auto base = shm.isDirectory() ? shm : juce::File::getSpecialLocation (juce::File::tempDirectory);
        folder = base.getChildFile ("tessaloom-fuzz-" + juce::String ((int) ::getpid()));
        folder.createDirectory();
    }

    ~Setup()
    {
        folder.deleteRecursively();
        juce::Logger::setCurrentLogger (nullptr);
    }

    SilentLogger logger;
    juce::File folder;
};

// Takes the finished blocks and drops them.
struct NoOutput final : ChainSink
{
    void write (const juce::AudioBuffer<float>&, int) override {}
};

void runWholeChain (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    if (sample_checks::countNonFinite (buffer) > 0)
        return;

    const auto pass1 = whole_buffer_analysis::analyze (buffer, sampleRate);
    (void) audio_analyzer::toJson (pass1);
    (void) audio_analyzer::formatReport (pass1);
    const auto params = AutoMap::fromAnalysis (pass1);
    (void) AutoMap::logLine (params, pass1);

    stages::applyPreFilter (buffer, sampleRate, { pass1.hasGridHum });
    if (sample_checks::countNonFinite (buffer) > 0)
        return;

    BufferSource source (buffer, sampleRate);
    const auto beforePreGain = whole_buffer_analysis::measure (buffer, sampleRate);
    NoOutput output;
    (void) runChain ({ source, juce::File(), beforePreGain, PipelineConfig(), params, juce::File() }, output);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, std::size_t size)
{
    static Setup setup;

    if (size < 1)
        return 0;

    const auto file = setup.folder.getChildFile (juce::String ("input") + extensions[data[0] % 4]);
    if (! file.replaceWithData (data + 1, size - 1))
        return 0;

    auto loaded = readAudioFile (file);
    file.deleteFile();

    if (! loaded.ok())
        return 0;

    const auto samples = (juce::int64) loaded.buffer.getNumChannels() * loaded.buffer.getNumSamples();
    if (samples <= maxChainSamples)
        runWholeChain (loaded.buffer, loaded.sampleRate);

    return 0;
}
