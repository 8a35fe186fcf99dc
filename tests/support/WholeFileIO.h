#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include "common/Outcome.h"
#include "io/BlockSource.h"

namespace tessaloom
{

// Whole recordings in memory, for the tests, the benchmarks and the fuzzer: the
// program itself never holds a whole file, it reads in blocks (io/).

struct AudioReadResult
{
    using Status = Outcome::Status;

    Status status = Status::failed;
    juce::String message;
    juce::AudioBuffer<float> buffer;
    double sampleRate = 0.0;

    bool ok() const { return status == Status::ok; }
};

// Reads every channel of a file as openAudioFile (io/AudioFileIO.h) opens it:
// every check it makes, and the same samples. On top of those, a file whose
// samples would fill more than half the machine's memory fails with
// Status::tooLong.
AudioReadResult readAudioFile (const juce::File& file);

// The same into an existing result: the allocation of its buffer is reused when
// it is large enough, so reading a file again touches no fresh memory.
void readAudioFile (const juce::File& file, AudioReadResult& into);

// A buffer as a source; the buffer must outlive it.
class BufferSource final : public AudioBlockSource
{
public:
    BufferSource (const juce::AudioBuffer<float>& b, double rate) : buffer (b), rate (rate) {}

    int numChannels() const override { return buffer.getNumChannels(); }
    double sampleRate() const override { return rate; }
    juce::int64 lengthInFrames() const override { return buffer.getNumSamples(); }
    bool read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) override;

private:
    const juce::AudioBuffer<float>& buffer;
    double rate;
};

} // namespace tessaloom
