// libFuzzer target: arbitrary bytes handed to the program as an input file.
//
// The first byte picks the file's extension (the format manager opens a file
// only with the formats that claim its extension); the rest is the file. The
// file goes the road a real input goes: opened and read by readAudioFile,
// analysed, and, when short, run through the whole in-memory chain with the
// non-finite checks between the stages, as AudioPipeline::processFile runs it.

#include "analysis/AudioAnalyzer.h"
#include "io/AudioFileIO.h"
#include "pipeline/AudioPipeline.h"
#include "pipeline/AutoMap.h"
#include "pipeline/GainStaging.h"

#include <cstddef>
#include <cstdint>

#include <unistd.h>

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

void runChain (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    PipelineResult result;
    const PipelineConfig config;
    const float target = config.targetLufs;
    const int bypass = config.bypassStage;

    auto check = [&] (const char* label) { return GainStaging::checkFinite (buffer, label, result, 0.0); };

    if (! check ("File Load"))
        return;

    const auto pass1 = AudioAnalyzer::analyze (buffer, sampleRate);
    (void) AudioAnalyzer::toJson (pass1);
    (void) AudioAnalyzer::formatReport (pass1);
    const auto params = AutoMap::fromAnalysis (pass1);

    AudioPipeline::applyPreFilter (buffer, sampleRate, pass1.hasGridHum);
    if (! check ("PreFilter"))
        return;

    const auto second = AudioPipeline::applyPreGainLeveling (buffer, sampleRate, target, bypass);
    if (! check ("PreGain"))
        return;
    AudioPipeline::applyDeEsser (buffer, sampleRate, AutoMap::deEsserThreshold (target, second));
    if (! check ("De-esser"))
        return;
    AudioPipeline::applyExpander (buffer, sampleRate,
                                  AutoMap::expanderThreshold (target, second, params.expanderThresholdDb, bypass));
    if (! check ("Expander"))
        return;
    AudioPipeline::applyVocalEQ (buffer, sampleRate, config.voiceType, params.airShelfDb, params.presenceDb,
                                 params.mudCutDb);
    if (! check ("Vocal EQ"))
        return;
    AudioPipeline::applyLeveler (buffer, sampleRate);
    if (! check ("Compressor"))
        return;
    AudioPipeline::applySaturation (buffer, sampleRate, params.saturationDriveDb);
    if (! check ("Saturation"))
        return;
    AudioPipeline::normalizeToTarget (buffer, sampleRate, target, bypass);
    if (! check ("Final Normalization"))
        return;
    AudioPipeline::limitAndTrim (buffer, sampleRate);
    if (! check ("Limiter"))
        return;
    GainStaging::reportPeak (buffer, "Limiter & Output Trim");
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
        runChain (loaded.buffer, loaded.sampleRate);

    return 0;
}
