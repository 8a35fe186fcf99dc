// The whole chain's output pinned bit for bit: a hash of the written 16-bit
// samples, of the analysis JSON and of the log for a few generated inputs.
// Speed-ups of the driver, the stages and the analysis must leave all three
// unchanged; a deliberate change of results re-pins them in the same commit.
#include "pipeline/AudioPipeline.h"
#include "support/TestSupport.h"
#include "support/WholeBuffer.h"

#include <cmath>
#include <cstdint>
#include <atomic>
#include <cstring>
#include <new>
#include <mutex>

using namespace tessaloom;

using namespace testing_support;

namespace
{

// 64-bit FNV-1a.
struct Fnv1a
{
    std::uint64_t value = 0xcbf29ce484222325ull;

    void add (const void* data, size_t size)
    {
        const auto* p = static_cast<const unsigned char*> (data);
        for (size_t i = 0; i < size; ++i)
        {
            value ^= p[i];
            value *= 0x100000001b3ull;
        }
    }

    void add (const std::string& s) { add (s.data(), s.size() + 1); } // the terminator separates lines
};

// The bytes of the WAV "data" chunk (the interleaved 16-bit samples), or empty.
juce::MemoryBlock dataChunkOf (const juce::File& wav)
{
    juce::MemoryBlock bytes;
    if (! wav.loadFileAsData (bytes) || bytes.getSize() < 12)
        return {};

    const auto* p = static_cast<const char*> (bytes.getData());
    size_t at = 12;
    while (at + 8 <= bytes.getSize())
    {
        std::uint32_t size = 0;
        std::memcpy (&size, p + at + 4, 4); // little-endian on every machine this runs on
        if (std::memcmp (p + at, "data", 4) == 0)
        {
            const auto available = juce::jmin ((size_t) size, bytes.getSize() - at - 8);
            return juce::MemoryBlock (p + at + 8, available);
        }
        at += 8 + size + (size & 1u);
    }
    return {};
}

// A 50 Hz mains hum with its odd harmonics and a steady hiss on top of speech.
void addHumAndNoise (juce::AudioBuffer<float>& b, double sampleRate)
{
    const auto noise = whiteNoise (b.getNumChannels(), b.getNumSamples(), 0.004f, 99);
    const double twoPi = 2.0 * juce::MathConstants<double>::pi;
    for (int c = 0; c < b.getNumChannels(); ++c)
        for (int i = 0; i < b.getNumSamples(); ++i)
        {
            const double t = (double) i / sampleRate;
            const double hum = 0.02 * std::sin (twoPi * 50.0 * t) + 0.008 * std::sin (twoPi * 150.0 * t);
            b.addSample (c, i, (float) hum + noise.getSample (c, i));
        }
}

// Lines that carry durations or temporary paths keep only the part before them.
std::string stableLine (std::string line, const std::string& tempRoot)
{
    for (const std::string& cut : { tempRoot, std::string ("Total time:"), std::string (" succeeded in ") })
        if (const auto at = line.find (cut); at != std::string::npos)
            line.resize (at);
    return line;
}

// The outside tools' lines tell how the denoiser failed, which is not the
// chain's business here.
bool isOutsideToolLine (const std::string& line)
{
    return line.rfind ("[NoiseReducer", 0) == 0 || line.rfind ("[SubprocessRunner]", 0) == 0;
}

struct Case
{
    const char* label;
    int channels;
    double sampleRate;
    double seconds;
    bool humAndNoise;
    int inputBits;
    bool denoise;     // on: the denoiser is missing, so the chain takes the passthrough path
    std::uint64_t samplesHash;
    std::uint64_t jsonHash;
    std::uint64_t logHash;
    float targetLufs = -18.0f;
    Finish finish = Finish::peakTrim; // the delivery finish's passes are pinned too
};

// Pinned from the chain as it stood before any speed work.
const Case cases[] = {
    { "speech mono 44.1k", 1, 44100.0, 4.0, false, 16, false,
      0x4c3aca3063d1443dull, 0x2bee47e6dac3ac21ull, 0xc7f4a329f135acdaull },
    { "speech stereo 48k", 2, 48000.0, 4.0, false, 24, false,
      0xe54a835ecd55a71aull, 0xd7432b66f43c2010ull, 0x6def6e5029ed56c0ull },
    { "hum+noise mono 48k", 1, 48000.0, 3.0, true, 32, false,
      0x9e45326aff71ace2ull, 0xfd97042acd51c346ull, 0xd10c074cfb65ab8cull },
    { "hum+noise stereo 44.1k", 2, 44100.0, 3.0, true, 16, false,
      0xeff8b9f0eb520fdeull, 0x5fb4bf2fcdda6af7ull, 0x1735ec8a5cde8448ull },
    { "speech stereo 48k, passthrough denoise", 2, 48000.0, 3.0, false, 16, true,
      0x653b78e7d4d0edd9ull, 0x086cc2bccf8d2621ull, 0x8adfc324e2f490d2ull },
    { "speech stereo 48k, loudness finish at -12", 2, 48000.0, 4.0, false, 16, false,
      0xd3e0d26aa269ffbdull, 0xd7432b66f43c2010ull, 0xb9572fd9f6837804ull, -12.0f, Finish::loudness },
    { "hum+noise mono 44.1k, loudness finish at -23", 1, 44100.0, 3.0, true, 24, false,
      0x60a757d1bd3faf36ull, 0x9effe19150fd050dull, 0x6268429d34b8aa45ull, -23.0f, Finish::loudness },
};

TEST (PinnedOutputs, WholeChainIsBitExact)
{
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder temp;
        const auto input = temp.file ("in.wav");
        const auto output = temp.file ("out/out.wav");
        output.getParentDirectory().createDirectory();

        const int length = (int) std::lround (c.seconds * c.sampleRate);
        auto signal = speechLike (c.channels, length, c.sampleRate, 7);
        if (c.humAndNoise)
            addHumAndNoise (signal, c.sampleRate);
        writeWav (input, signal, c.sampleRate, c.inputBits);

        PipelineConfig config;
        config.denoise = c.denoise;
        config.targetLufs = c.targetLufs;
        config.finish = c.finish;
        config.deepFilterPath = temp.file ("no such denoiser").getFullPathName();
        config.ffmpegPath = "/usr/bin/ffmpeg";

        PipelineResult result;
        std::vector<std::string> lines;
        {
            CapturingLogger logger;
            result = AudioPipeline::processFile (input, output, config);
            lines = logger.stdLines();
        }
        ASSERT_TRUE (result.success) << result.errorMessage;

        const auto data = dataChunkOf (output);
        ASSERT_EQ (data.getSize(), (size_t) length * (size_t) c.channels * 2u);

        Fnv1a samples, json, log;
        samples.add (data.getData(), data.getSize());
        json.add (result.analysisJson.toStdString());
        for (const auto& l : lines)
            if (! isOutsideToolLine (l))
                log.add (stableLine (l, temp.path().getFullPathName().toStdString()));

        EXPECT_EQ (samples.value, c.samplesHash) << "samples: 0x" << std::hex << samples.value;
        EXPECT_EQ (json.value, c.jsonHash) << "json: 0x" << std::hex << json.value << " " << result.analysisJson;
        EXPECT_EQ (log.value, c.logHash) << "log: 0x" << std::hex << log.value;
    }
}
// The chain's speed-ups share one helper: every piece runs exactly once
// whatever the count, and a failure inside a piece reaches the caller.
TEST (PinnedOutputs, SideBySideRunsEveryPieceOnceAndPassesFailuresOn)
{
    for (const int count : { 0, 1, 2, 3, 7, 64 })
    {
        std::vector<std::atomic<int>> runs ((size_t) count);
        side_by_side::run (count, [&] (int i) { runs[(size_t) i].fetch_add (1); });
        for (int i = 0; i < count; ++i)
            EXPECT_EQ (runs[(size_t) i].load(), 1) << "piece " << i << " of " << count;
    }

    for (const int failing : { 0, 5 })
        EXPECT_THROW (side_by_side::run (8, [&] (int i) { if (i == failing) throw std::bad_alloc(); }),
                      std::bad_alloc)
            << "failing piece " << failing;
}
} // namespace
