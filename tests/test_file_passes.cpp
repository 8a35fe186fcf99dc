// The pre-filter's pass that also makes the working file's check and analysis
// (no denoiser after it): what it measures on the way into the intermediate is
// what reading the intermediate back would give, bit for bit.

#include "io/AudioFileIO.h"
#include "pipeline/FilePasses.h"
#include "pipeline/stages/PreFilter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace tessaloom;
using testing_support::TempFolder;

namespace
{
// A recording in memory, read in blocks as a file would be.
class BufferSource final : public AudioBlockSource
{
public:
    BufferSource (juce::AudioBuffer<float> b, double rate) : buffer (std::move (b)), sampleRateHz (rate) {}
    int numChannels() const override { return buffer.getNumChannels(); }
    double sampleRate() const override { return sampleRateHz; }
    juce::int64 lengthInFrames() const override { return buffer.getNumSamples(); }
    bool read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) override
    {
        for (int c = 0; c < buffer.getNumChannels(); ++c)
            into.copyFrom (c, 0, buffer, c, (int) start, numFrames);
        return true;
    }

private:
    juce::AudioBuffer<float> buffer;
    double sampleRateHz;
};

// Samples that land on and beside every rounding edge of a 16- and 24-bit file,
// past full scale, at full scale, and far below the last step.
juce::AudioBuffer<float> awkward (int channels, int frames, unsigned seed)
{
    juce::AudioBuffer<float> b (channels, frames);
    std::mt19937 rng (seed);
    std::uniform_real_distribution<float> wide (-1.6f, 1.6f);
    std::uniform_int_distribution<int> step (-32768, 32767), kind (0, 7);
    const float edges[] = { 1.0f, -1.0f, 0.0f, -0.0f, 1.0e-38f, -1.0e-12f, 0.99999994f, -0.99999994f,
                            std::nextafter (1.0f, 0.0f), std::nextafter (-1.0f, 0.0f) };
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < frames; ++i)
        {
            float x = 0.0f;
            switch (kind (rng))
            {
                case 0: x = edges[(size_t) (i + c) % std::size (edges)]; break;
                case 1: x = ((float) step (rng) + 0.5f) / 32768.0f; break;        // halfway between two 16-bit steps
                case 2: x = ((float) step (rng) + 0.5f) / 8388608.0f * 256.0f; break; // near a 24-bit edge
                case 3: x = (float) step (rng) / 32768.0f; break;
                default: x = wide (rng); break;
            }
            b.setSample (c, i, x);
        }
    return b;
}

void expectSameBits (const float* a, const float* b, int n)
{
    for (int i = 0; i < n; ++i)
        ASSERT_EQ (std::memcmp (a + i, b + i, sizeof (float)), 0) << "sample " << i << ": " << a[i] << " vs " << b[i];
}
} // namespace

// The conversion against JUCE's own writer and reader, through a real file.
TEST (FilePasses, ASampleReadsBackAsTheIntermediateGivesIt)
{
    struct Case
    {
        int channels, frames, bits;
    };
    const Case cases[] = { { 1, 40000, 16 }, { 2, 30011, 16 }, { 3, 5000, 16 }, { 1, 40000, 24 }, { 2, 30011, 24 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.channels) + " channels, " + juce::String (c.bits) + " bits");
        TempFolder tmp;
        const auto signal = awkward (c.channels, c.frames, (unsigned) (c.channels * 100 + c.bits));
        const auto file = tmp.file ("prefiltered.wav");
        std::unique_ptr<Wav16FileWriter> writer;
        ASSERT_TRUE (Wav16FileWriter::create (file, 48000.0, c.channels, writer, c.bits).ok());
        ASSERT_TRUE (writer->write (signal, c.frames));
        ASSERT_TRUE (writer->finish().ok());

        std::unique_ptr<AudioFileSource> source;
        ASSERT_TRUE (openAudioFile (file, source).ok());
        juce::AudioBuffer<float> read (c.channels, c.frames);
        ASSERT_TRUE (source->read (read, 0, c.frames));

        std::vector<float> ours ((size_t) c.frames);
        for (int ch = 0; ch < c.channels; ++ch)
        {
            ASSERT_TRUE (file_passes::asReadBack (signal.getReadPointer (ch), ours.data(), c.frames, c.bits));
            expectSameBits (ours.data(), read.getReadPointer (ch), c.frames);
        }
    }
}

// The writer rounds four samples at a time; its file must be, byte for byte,
// the one JUCE's own writer makes of the same samples, not-a-number and the
// infinities included, whatever the blocks.
TEST (FilePasses, TheWriterWritesTheBytesJucesWriterWrites)
{
    struct Case
    {
        int channels, frames, bits, longestBlock;
    };
    const Case cases[] = { { 1, 40000, 16, 70000 }, { 2, 30011, 16, 5000 }, { 3, 5000, 16, 700 },
                           { 1, 40000, 24, 3 },     { 2, 30011, 24, 65536 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.channels) + " channels, " + juce::String (c.bits) + " bits");
        TempFolder tmp;
        auto signal = awkward (c.channels, c.frames, (unsigned) (c.channels * 7 + c.bits));
        const float odd[] = { std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity() };
        for (int k = 0; k < 4; ++k)
            signal.setSample (k % c.channels, c.frames / 3 + 9 * k, odd[k]);

        const auto ours = tmp.file ("ours.wav");
        std::unique_ptr<Wav16FileWriter> writer;
        ASSERT_TRUE (Wav16FileWriter::create (ours, 44100.0, c.channels, writer, c.bits).ok());
        std::mt19937 rng (11);
        std::uniform_int_distribution<int> length (1, c.longestBlock);
        for (int at = 0; at < c.frames;)
        {
            const int n = juce::jmin (length (rng), c.frames - at);
            juce::AudioBuffer<float> block (c.channels, n);
            for (int ch = 0; ch < c.channels; ++ch)
                block.copyFrom (ch, 0, signal, ch, at, n);
            ASSERT_TRUE (writer->write (block, n));
            at += n;
        }
        ASSERT_TRUE (writer->finish().ok());

        const auto theirs = tmp.file ("theirs.wav");
        {
            juce::WavAudioFormat wav;
            std::unique_ptr<juce::AudioFormatWriter> juceWriter (
                wav.createWriterFor (new juce::FileOutputStream (theirs), 44100.0, (unsigned) c.channels, c.bits, {}, 0));
            ASSERT_NE (juceWriter, nullptr);
            ASSERT_TRUE (juceWriter->writeFromAudioSampleBuffer (signal, 0, c.frames));
        }
        juce::MemoryBlock a, b;
        ASSERT_TRUE (ours.loadFileAsData (a));
        ASSERT_TRUE (theirs.loadFileAsData (b));
        ASSERT_EQ (a.getSize(), b.getSize());
        size_t first = 0;
        while (first < a.getSize() && a[first] == b[first])
            ++first;
        EXPECT_EQ (first, a.getSize()) << "the files first differ at byte " << first;
    }
}

// The pass as a whole: the check and analysis it makes are the ones the
// checking pass makes reading the file it wrote; a sample that is not finite
// leaves them to that pass.
TEST (FilePasses, ThePreFilterChecksTheIntermediateAsTheCheckingPassWouldRead)
{
    struct Case
    {
        const char* label;
        int channels;
        double seconds;
        int bits;
        bool nonFinite;
    };
    const Case cases[] = {
        { "mono, 16-bit, three blocks", 1, 7.0, 16, false },
        { "stereo, 24-bit", 2, 3.5, 24, false },
        { "mono, hot: clipped into the file", 1, 2.0, 16, false },
        { "stereo, a NaN", 2, 2.0, 16, true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const double rate = 48000.0;
        const int frames = (int) (c.seconds * rate);
        auto signal = testing_support::whiteNoise (c.channels, frames, 0.1f, 5);
        const auto voice = testing_support::sine (c.channels, frames, rate, 180.0, 0.4f);
        for (int ch = 0; ch < c.channels; ++ch)
            signal.addFrom (ch, 0, voice, ch, 0, frames, (ch + 1) * (juce::String (c.label).contains ("hot") ? 3.0f : 1.0f));
        if (c.nonFinite)
            signal.setSample (c.channels - 1, frames / 2, std::numeric_limits<float>::quiet_NaN());

        const auto file = tmp.file ("prefiltered.wav");
        std::unique_ptr<Wav16FileWriter> writer;
        ASSERT_TRUE (Wav16FileWriter::create (file, rate, c.channels, writer, c.bits).ok());
        BufferSource input (signal, rate);
        stages::BiquadCascade filter (stages::designPreFilter ({ true, std::nullopt }, rate), c.channels);
        std::optional<file_passes::CheckedRead> checked;
        ASSERT_TRUE (file_passes::preFilterAndCheck (input, filter, *writer, c.bits, checked));
        ASSERT_TRUE (writer->finish().ok());
        if (c.nonFinite)
        {
            EXPECT_FALSE (checked.has_value());
            continue;
        }
        ASSERT_TRUE (checked.has_value());

        std::unique_ptr<AudioFileSource> source;
        ASSERT_TRUE (openAudioFile (file, source).ok());
        const auto reading = file_passes::checkAndAnalyse (*source);
        ASSERT_TRUE (reading.readWhole);
        EXPECT_EQ (checked->tally.nonFinite, reading.tally.nonFinite);
        EXPECT_EQ (std::memcmp (&checked->tally.peak, &reading.tally.peak, sizeof (float)), 0)
            << checked->tally.peak << " vs " << reading.tally.peak;
        const auto& ours = checked->analysis.result;
        const auto& theirs = reading.analysis.result;
        const double figures[][2] = { { ours.integratedLUFS, theirs.integratedLUFS }, { ours.truePeakDBTP, theirs.truePeakDBTP },
                                      { ours.snrDB, theirs.snrDB },                   { ours.noiseFloorDBFS, theirs.noiseFloorDBFS },
                                      { ours.voicedPercent, theirs.voicedPercent },   { ours.spectralTiltDB, theirs.spectralTiltDB },
                                      { ours.sibilanceRMS, theirs.sibilanceRMS },     { ours.crestFactorDB, theirs.crestFactorDB } };
        for (const auto& f : figures)
            EXPECT_EQ (std::memcmp (&f[0], &f[1], sizeof (double)), 0) << f[0] << " vs " << f[1];
        EXPECT_EQ (audio_analyzer::toJson (ours), audio_analyzer::toJson (theirs));
        EXPECT_EQ (ours.numSamples, theirs.numSamples);
    }
}
