#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include <functional>
#include <memory>
#include <vector>

// Audio that can be read in blocks: a file being decoded, a buffer, or the
// chain's own spill of float samples.
class AudioBlockSource
{
public:
    virtual ~AudioBlockSource() = default;

    virtual int numChannels() const = 0;
    virtual double sampleRate() const = 0;
    virtual juce::int64 lengthInFrames() const = 0;

    // Reads numFrames frames from frame `start` into the first numFrames samples
    // of every channel of `into`, which has numChannels() channels.
    virtual void read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) = 0;
};

// A buffer as a source; the buffer must outlive it.
class BufferSource final : public AudioBlockSource
{
public:
    BufferSource (const juce::AudioBuffer<float>& b, double rate) : buffer (b), rate (rate) {}

    int numChannels() const override { return buffer.getNumChannels(); }
    double sampleRate() const override { return rate; }
    juce::int64 lengthInFrames() const override { return buffer.getNumSamples(); }
    void read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) override;

private:
    const juce::AudioBuffer<float>& buffer;
    double rate;
};

// Calls visit (block, numFrames) for consecutive blocks of at most blockFrames
// frames from the start of the source to its end. The block buffer is made
// once (numChannels x blockFrames floats) and reused.
void forEachBlock (AudioBlockSource& source, int blockFrames,
                   const std::function<void (juce::AudioBuffer<float>& block, int numFrames)>& visit);

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

    // Appends the first numFrames frames of every channel.
    void append (const juce::AudioBuffer<float>& block, int numFrames);

    // false once a read could not give back what was written (the samples read
    // are then zeros and must not be used).
    bool ok() const { return good; }

    int numChannels() const override { return channels; }
    double sampleRate() const override { return rate; }
    juce::int64 lengthInFrames() const override { return frames; }
    void read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) override;

private:
    void moveToMemory();

    juce::File file;
    int channels;
    double rate;
    juce::int64 frames = 0;
    bool good = true;
    std::unique_ptr<juce::FileOutputStream> output;
    std::unique_ptr<juce::FileInputStream> input;
    std::vector<float> memory;     // interleaved, when there is no file
    std::vector<float> interleaved; // one block, for the conversions
};
