#include "pipeline/AudioFileIO.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <limits>

namespace
{
// Decoders of compressed formats reach about 1000 frames per byte on digital
// silence; 4096 leaves room for that while keeping a forged header harmless.
constexpr juce::int64 maxFramesPerCompressedByte = 4096;

bool isUncompressedPcm (const juce::AudioFormatReader& reader)
{
    const auto name = reader.getFormatName();
    return name.startsWithIgnoreCase ("WAV") || name.startsWithIgnoreCase ("AIFF");
}
} // namespace

juce::File temporarySiblingFor (const juce::File& target)
{
    // Cut long names so the temporary name stays within the 255-byte limit of file systems.
    return target.getParentDirectory().getChildFile ("." + target.getFileName().substring (0, 120) + ".partial-"
                                                      + juce::Uuid().toString().substring (0, 12));
}

AudioReadResult readAudioFile (const juce::File& file)
{
    AudioReadResult result;
    readAudioFile (file, result);
    return result;
}

void readAudioFile (const juce::File& file, AudioReadResult& result)
{
    result.status = AudioReadResult::Status::noReader;
    result.message.clear();
    result.sampleRate = 0.0;

    juce::AudioFormatManager formatManager;
    formatManager.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (formatManager.createReaderFor (file));

    if (reader == nullptr)
        return;

    const auto channels = (int) reader->numChannels;
    juce::int64 frames = juce::jmax ((juce::int64) 0, reader->lengthInSamples);
    const auto fileSize = file.getSize();

    if (isUncompressedPcm (*reader))
    {
        const auto bytesPerFrame = (juce::int64) juce::jmax (1, channels) * juce::jmax (1, (int) reader->bitsPerSample / 8);
        frames = juce::jmin (frames, fileSize / bytesPerFrame);
    }
    else
    {
        frames = juce::jmin (frames, fileSize * maxFramesPerCompressedByte);
    }

    if (frames > (juce::int64) std::numeric_limits<int>::max())
    {
        result.status = AudioReadResult::Status::tooLong;
        result.message = "Audio file too long to process (" + juce::String (frames)
                         + " samples per channel, at most 2147483647): " + file.getFullPathName();
        return;
    }

    result.sampleRate = reader->sampleRate;
    result.buffer.setSize (channels, (int) frames, false, false, true);
    if (channels > 0 && frames > 0)
        reader->read (&result.buffer, 0, (int) frames, 0, true, true);

    result.status = AudioReadResult::Status::ok;
}

juce::String writeWav16Atomically (const juce::File& target, const juce::AudioBuffer<float>& buffer,
                                   double sampleRate)
{
    const auto temp = temporarySiblingFor (target);

    std::unique_ptr<juce::FileOutputStream> stream (temp.createOutputStream (32768));
    if (stream == nullptr || stream->failedToOpen())
    {
        temp.deleteFile();
        return "Failed to create output file: " + target.getFullPathName();
    }

    juce::WavAudioFormat wav;
    juce::StringPairArray metadata (false);
    std::unique_ptr<juce::AudioFormatWriter> writer (
        wav.createWriterFor (stream.get(), sampleRate, (unsigned int) buffer.getNumChannels(), 16, metadata, 0));

    if (writer == nullptr)
    {
        stream.reset();
        temp.deleteFile();
        return "Failed to create WAV writer";
    }

    stream.release(); // the writer owns it now

    bool written = buffer.getNumSamples() == 0
                   || writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
    written = writer->flush() && written;
    writer.reset();

    // The header and every frame must be on disk before the target is replaced.
    const auto expectedDataBytes = (juce::int64) buffer.getNumSamples() * buffer.getNumChannels() * 2;
    if (! written || temp.getSize() < expectedDataBytes + 44)
    {
        temp.deleteFile();
        return "Failed to write output file: " + target.getFullPathName();
    }

    if (! temp.replaceFileIn (target))
    {
        temp.deleteFile();
        return "Failed to create output file: " + target.getFullPathName();
    }

    return {};
}

juce::String copyFileAtomically (const juce::File& source, const juce::File& target)
{
    const auto temp = temporarySiblingFor (target);

    if (! source.copyFileTo (temp) || temp.getSize() != source.getSize())
    {
        temp.deleteFile();
        return "Failed to copy " + source.getFullPathName() + " to " + target.getFullPathName();
    }

    if (! temp.replaceFileIn (target))
    {
        temp.deleteFile();
        return "Failed to copy " + source.getFullPathName() + " to " + target.getFullPathName();
    }

    return {};
}
