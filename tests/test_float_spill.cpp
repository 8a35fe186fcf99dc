// The chain's float spill written over in place by a pass that keeps what it
// made: every frame read back is the one last written, in a file, in memory,
// and when the file stops taking the rewrite partway (the rest kept in memory).

#include "io/BlockSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace tessaloom;
using testing_support::TempFolder;

namespace
{
juce::AudioBuffer<float> noise (int channels, int frames, unsigned seed)
{
    juce::AudioBuffer<float> b (channels, frames);
    std::mt19937 rng (seed);
    std::uniform_real_distribution<float> d (-1.0f, 1.0f);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < frames; ++i)
            b.setSample (c, i, d (rng));
    return b;
}

// What the rewriting pass makes of a sample: anything that changes every bit pattern.
float made (float x) { return -0.5f * x + 0.125f; }

enum class Where
{
    file,
    memory,
    fileGoneBeforeRewrite, // the rewrite cannot open the file: all it writes is kept in memory
};

struct Case
{
    const char* label;
    int channels, frames, block, readBlock;
    Where where;
};

const Case cases[] = {
    { "mono, file, blocks of 1000", 1, 10007, 1000, 1000, Where::file },
    { "stereo, file, read in other blocks", 2, 10007, 1000, 777, Where::file },
    { "stereo, memory", 2, 10007, 4096, 3000, Where::memory },
    { "mono, memory, one block", 1, 513, 513, 100, Where::memory },
    { "stereo, file gone: kept in memory", 2, 10007, 1000, 1500, Where::fileGoneBeforeRewrite },
    { "5 channels, file gone: kept in memory", 5, 2049, 64, 2049, Where::fileGoneBeforeRewrite },
};

// Reads the whole spill in blocks of `block` frames.
juce::AudioBuffer<float> readAll (FloatSpill& spill, int block)
{
    juce::AudioBuffer<float> all (spill.numChannels(), (int) spill.lengthInFrames());
    juce::AudioBuffer<float> part (spill.numChannels(), block);
    for (int start = 0; start < all.getNumSamples(); start += block)
    {
        const int n = juce::jmin (block, all.getNumSamples() - start);
        EXPECT_TRUE (spill.read (part, start, n));
        for (int c = 0; c < all.getNumChannels(); ++c)
            all.copyFrom (c, start, part, c, 0, n);
    }
    return all;
}

void expectSameBits (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    ASSERT_EQ (a.getNumChannels(), b.getNumChannels());
    ASSERT_EQ (a.getNumSamples(), b.getNumSamples());
    for (int c = 0; c < a.getNumChannels(); ++c)
        ASSERT_EQ (std::memcmp (a.getReadPointer (c), b.getReadPointer (c), sizeof (float) * (size_t) a.getNumSamples()), 0)
            << "channel " << c;
}
} // namespace

TEST (FloatSpill, ARewriteInPlaceIsReadBackAndReadsAheadOfItSeeWhatWasThere)
{
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto file = c.where == Where::memory ? juce::File() : tmp.file ("_chain_spill.f32");
        const auto original = noise (c.channels, c.frames, 7u + (unsigned) c.channels);
        FloatSpill spill (file, c.channels, 48000.0);
        for (int start = 0; start < c.frames; start += c.block)
        {
            const int n = juce::jmin (c.block, c.frames - start);
            juce::AudioBuffer<float> part (c.channels, n);
            for (int ch = 0; ch < c.channels; ++ch)
                part.copyFrom (ch, 0, original, ch, start, n);
            spill.append (part, n);
        }
        ASSERT_TRUE (spill.ok());
        expectSameBits (readAll (spill, c.readBlock), original);
        if (c.where == Where::fileGoneBeforeRewrite)
        {
            ASSERT_TRUE (file.deleteFile()); // the spill's open read stream still has it
        }

        // The rewriting pass: reads a block, makes its frames, rewrites them; the
        // read of each block comes before the rewrite reaches it.
        juce::AudioBuffer<float> expected (c.channels, c.frames);
        spill.beginRewrite();
        juce::AudioBuffer<float> block (c.channels, c.block);
        for (int start = 0; start < c.frames; start += c.block)
        {
            const int n = juce::jmin (c.block, c.frames - start);
            ASSERT_TRUE (spill.read (block, start, n));
            for (int ch = 0; ch < c.channels; ++ch)
                for (int i = 0; i < n; ++i)
                {
                    ASSERT_EQ (block.getSample (ch, i), original.getSample (ch, start + i)) << "frame " << start + i;
                    block.setSample (ch, i, made (block.getSample (ch, i)));
                    expected.setSample (ch, start + i, block.getSample (ch, i));
                }
            spill.rewrite (block, n);
        }
        ASSERT_TRUE (spill.endRewrite());
        ASSERT_TRUE (spill.ok());
        EXPECT_FALSE (file.existsAsFile() && c.where == Where::fileGoneBeforeRewrite) << "the rewrite made the file again";

        // Read back twice, in blocks of another size, as the last pass and a later one would.
        expectSameBits (readAll (spill, c.readBlock), expected);
        expectSameBits (readAll (spill, c.block), expected);
    }
}

// A rewrite left short (the pass over it stopped at a read that failed) keeps
// neither the old frames nor the new: the spill says it cannot be read.
TEST (FloatSpill, ARewriteLeftShortFailsTheSpill)
{
    TempFolder tmp;
    const auto original = noise (2, 5000, 3u);
    FloatSpill spill (tmp.file ("_chain_spill.f32"), 2, 48000.0);
    spill.append (original, 5000);
    spill.beginRewrite();
    spill.rewrite (original, 2500);
    EXPECT_FALSE (spill.endRewrite());
    EXPECT_FALSE (spill.ok());
    juce::AudioBuffer<float> block (2, 100);
    EXPECT_FALSE (spill.read (block, 0, 100));
}
