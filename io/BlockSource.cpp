#include "io/BlockSource.h"

void BufferSource::read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames)
{
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        into.copyFrom (c, 0, buffer, c, (int) start, numFrames);
}

void forEachBlock (AudioBlockSource& source, int blockFrames,
                   const std::function<void (juce::AudioBuffer<float>& block, int numFrames)>& visit)
{
    const auto length = source.lengthInFrames();
    juce::AudioBuffer<float> block (source.numChannels(), (int) juce::jmin ((juce::int64) blockFrames, juce::jmax ((juce::int64) 1, length)));
    for (juce::int64 start = 0; start < length; start += blockFrames)
    {
        const int n = (int) juce::jmin ((juce::int64) blockFrames, length - start);
        source.read (block, start, n);
        visit (block, n);
    }
}

FloatSpill::FloatSpill (const juce::File& f, int numChannels, double sampleRate)
    : file (f), channels (numChannels), rate (sampleRate)
{
    if (file != juce::File())
    {
        // Unbuffered: every block is one write, so a failed one is seen at once
        // and the file holds exactly the frames of the writes that succeeded.
        output = std::make_unique<juce::FileOutputStream> (file, 0);
        if (output->failedToOpen() || ! output->setPosition (0) || ! output->truncate().wasOk())
            output.reset();
    }
}

FloatSpill::~FloatSpill()
{
    output.reset();
    input.reset();
    if (file != juce::File())
        file.deleteFile();
}

void FloatSpill::moveToMemory()
{
    output.reset();
    memory.resize ((size_t) frames * (size_t) channels);
    juce::FileInputStream in (file);
    const auto bytes = (juce::int64) memory.size() * (juce::int64) sizeof (float);
    juce::int64 got = 0;
    while (in.openedOk() && got < bytes)
    {
        const int n = in.read (reinterpret_cast<char*> (memory.data()) + got, (int) juce::jmin (bytes - got, (juce::int64) (1 << 30)));
        if (n <= 0)
            break;
        got += n;
    }
    good = good && got == bytes;
    file.deleteFile();
}

void FloatSpill::append (const juce::AudioBuffer<float>& block, int numFrames)
{
    if (numFrames <= 0)
        return;

    const auto count = (size_t) numFrames * (size_t) channels;
    interleaved.resize (count);
    for (int c = 0; c < channels; ++c)
    {
        const float* src = block.getReadPointer (c);
        for (int i = 0; i < numFrames; ++i)
            interleaved[(size_t) i * (size_t) channels + (size_t) c] = src[i];
    }

    if (output != nullptr && ! output->write (interleaved.data(), count * sizeof (float)))
        moveToMemory();
    if (output == nullptr)
        memory.insert (memory.end(), interleaved.begin(), interleaved.end());
    frames += numFrames;
}

void FloatSpill::read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames)
{
    if (numFrames <= 0)
        return;

    const auto count = (size_t) numFrames * (size_t) channels;
    const float* src;
    if (output != nullptr || input != nullptr)
    {
        if (output != nullptr)
        {
            output.reset();
            input = std::make_unique<juce::FileInputStream> (file);
            good = good && input->openedOk();
        }
        interleaved.resize (count);
        const auto bytes = (int) (count * sizeof (float));
        const bool got = good && input->setPosition (start * channels * (juce::int64) sizeof (float))
                         && input->read (interleaved.data(), bytes) == bytes;
        if (! got)
        {
            good = false;
            std::fill (interleaved.begin(), interleaved.end(), 0.0f);
        }
        src = interleaved.data();
    }
    else
    {
        src = memory.data() + (size_t) start * (size_t) channels;
    }

    for (int c = 0; c < channels; ++c)
    {
        float* dest = into.getWritePointer (c);
        for (int i = 0; i < numFrames; ++i)
            dest[i] = src[(size_t) i * (size_t) channels + (size_t) c];
    }
}
