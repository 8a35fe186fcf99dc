#include "support/WholeFileIO.h"

#include "io/AudioFileIO.h"

namespace tessaloom
{

AudioReadResult readAudioFile (const juce::File& file)
{
    AudioReadResult result;
    readAudioFile (file, result);
    return result;
}

void readAudioFile (const juce::File& file, AudioReadResult& result)
{
    result.sampleRate = 0.0;
    std::unique_ptr<AudioFileSource> source;
    const auto opened = openAudioFile (file, source);
    result.status = opened.status;
    result.message = opened.message;
    if (! opened.ok())
        return;
    result.status = AudioReadResult::Status::failed;

    const int channels = source->numChannels();
    const auto frames = source->lengthInFrames();

    // A buffer past half the machine's memory could only end with the whole
    // run killed for want of memory; such a file fails alone instead.
    const auto bufferBytes = (juce::int64) channels * frames * (juce::int64) sizeof (float);
    const auto memoryBytes = (juce::int64) juce::SystemStats::getMemorySizeInMegabytes() * 1024 * 1024;
    if (memoryBytes > 0 && bufferBytes > memoryBytes / 2)
    {
        result.status = AudioReadResult::Status::tooLong;
        result.message = "Audio file too large for this machine's memory (" + juce::String (bufferBytes / (1024 * 1024))
                         + " MB of samples, " + juce::String (memoryBytes / (1024 * 1024))
                         + " MB of memory): " + file.getFullPathName();
        return;
    }

    result.sampleRate = source->sampleRate();
    result.buffer.setSize (channels, (int) frames, false, false, true);
    source->read (result.buffer, 0, (int) frames);
    result.status = AudioReadResult::Status::ok;
}

bool BufferSource::read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames)
{
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        into.copyFrom (c, 0, buffer, c, (int) start, numFrames);
    return true;
}

} // namespace tessaloom
