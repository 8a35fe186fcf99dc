#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include "common/Outcome.h"

#include <functional>
#include <memory>
#include <vector>

namespace tessaloom
{

// Audio that can be read in blocks: a file being decoded, or the chain's own
// spill of float samples.
class AudioBlockSource
{
public:
    virtual ~AudioBlockSource() = default;

    virtual int numChannels() const = 0;
    virtual double sampleRate() const = 0;
    virtual juce::int64 lengthInFrames() const = 0;

    // Reads numFrames frames from frame `start` into the first numFrames samples
    // of every channel of `into`, which has numChannels() channels. false when
    // the source could not give them all (a read error, a file cut short while
    // it was read): the block's samples are then not the recording's and must
    // not be used.
    virtual bool read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) = 0;
};

// A source presented at another length: frames past its end read as silence,
// frames past `length` are left out. The source must outlive it.
class FittedLengthSource final : public AudioBlockSource
{
public:
    FittedLengthSource (AudioBlockSource& s, juce::int64 lengthInFrames) : source (s), length (lengthInFrames) {}

    int numChannels() const override { return source.numChannels(); }
    double sampleRate() const override { return source.sampleRate(); }
    juce::int64 lengthInFrames() const override { return length; }
    bool read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) override;

private:
    AudioBlockSource& source;
    juce::int64 length;
};

// Calls visit (block, numFrames) for consecutive blocks of at most blockFrames
// frames from the start of the source to its end. The block buffer is made
// once (numChannels x blockFrames floats) and reused. Returns false, and stops
// before visiting it, at the first block the source could not read whole.
namespace block_source
{
[[nodiscard]] bool forEachBlock (AudioBlockSource& source, int blockFrames,
                                 const std::function<void (juce::AudioBuffer<float>& block, int numFrames)>& visit);
} // namespace block_source

// Float samples the chain keeps between two of its passes, exactly as they
// were: in a file when one can be made (its size is 4 bytes per sample, nothing
// of it held in memory), else in memory. When the file stops taking samples (a
// full disk) what it holds moves to memory and the spill goes on there, so a
// file is never lost to it. Written once from the start, then read.
class FloatSpill final : public AudioBlockSource
{
public:
    // Spills into `file` when it can be created, else into memory.
    FloatSpill (const juce::File& file, int numChannels, double sampleRate);
    ~FloatSpill() override;

    // Forgets every frame written, to be written again from the start.
    void restart();

    // Appends the first numFrames frames of every channel.
    void append (const juce::AudioBuffer<float>& block, int numFrames);

    // false once a read could not give back what was written (the samples read
    // are then zeros and must not be used), or once the samples held in memory
    // would have passed the bound (nothing more is kept then). The flag sticks
    // rather than each call answering: the spill is written and read block by
    // block through many calls, and the chain asks once per pass.
    bool ok() const { return good; }

    // The same as an Outcome, failed with why: the samples could not be read
    // back, or the disk stopped taking them and memory may not hold them all.
    Outcome outcome() const;

    // True once the file stopped taking samples and they moved to memory.
    bool movedToMemory() const { return inMemory; }

    // The most bytes of samples the spill holds in memory, whatever the length
    // of the file: a worker's footprint stays bounded when the disk is full.
    static juce::int64 memoryBoundBytes();

    // Writing the frames over again, in place, while they are read: a pass
    // keeps what it made of them, so the next pass reads that instead of making
    // it again. beginRewrite, then rewrite with consecutive blocks from the
    // first frame on, as many frames as were written, then endRewrite. A frame
    // read before it is rewritten gives what was there. The rewrite has a
    // stream and buffer of its own, so it may run on another thread than the
    // reads, while they read frames it has not reached. It takes no more room
    // on the disk; when the file stops taking the frames (an error, a disk full
    // for a file system that copies on write) the rest of them is kept in
    // memory, within the same bound as the spill's.
    void beginRewrite();
    void rewrite (const juce::AudioBuffer<float>& block, int numFrames);
    // false when the rewritten frames could not all be kept (ok() is then
    // false too, and outcome() says why): the spill holds neither the frames
    // as first written nor the new ones.
    [[nodiscard]] bool endRewrite();

    int numChannels() const override { return channels; }
    double sampleRate() const override { return rate; }
    juce::int64 lengthInFrames() const override { return frames; }
    bool read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) override;

private:
    void moveToMemory();
    bool keepInMemory (const float* samples, size_t count);
    void startReading();
    void readKept (juce::AudioBuffer<float>& into, int offset, juce::int64 start, int numFrames);
    void rewriteIntoTail (const float* samples, size_t count);

    juce::File file;
    int channels;
    double rate;
    juce::int64 frames = 0;
    bool good = true, inMemory = false, overBound = false;
    std::unique_ptr<juce::FileOutputStream> output;
    std::unique_ptr<juce::FileInputStream> input;
    std::vector<float> memory;     // interleaved, when there is no file
    std::vector<float> interleaved; // one block, for the conversions

    // The rewrite: where it has reached, the file it writes through, and the
    // frames from tailStart on, once the file stopped taking them (interleaved).
    juce::int64 rewritten = 0;
    int rewriteFile = -1;
    std::vector<float> rewriteBlock; // one block, for the conversions
    juce::int64 tailStart = -1;      // -1: no tail
    std::vector<float> tail;
    bool rewriteLost = false;        // the tail would have passed the bound
    bool tailRead = false;           // reads take the frames from tailStart on from the tail
};

} // namespace tessaloom
