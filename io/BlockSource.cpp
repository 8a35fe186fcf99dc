#include "io/BlockSource.h"

#include "io/InFlightFiles.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessaloom
{

namespace
{
// The spill keeps its frames interleaved. One channel is a plain copy, and two
// have loops of their own, which the compiler turns into shuffles.
void interleave (const juce::AudioBuffer<float>& block, int numFrames, int channels, float* into)
{
    if (channels == 1)
    {
        std::memcpy (into, block.getReadPointer (0), (size_t) numFrames * sizeof (float));
        return;
    }
    if (channels == 2)
    {
        const float* left = block.getReadPointer (0);
        const float* right = block.getReadPointer (1);
        for (int i = 0; i < numFrames; ++i)
        {
            into[2 * i] = left[i];
            into[2 * i + 1] = right[i];
        }
        return;
    }
    for (int c = 0; c < channels; ++c)
    {
        const float* src = block.getReadPointer (c);
        for (int i = 0; i < numFrames; ++i)
            into[(size_t) i * (size_t) channels + (size_t) c] = src[i];
    }
}

void deinterleave (const float* src, int numFrames, int channels, juce::AudioBuffer<float>& into, int offset)
{
    if (channels == 1)
    {
        std::memcpy (into.getWritePointer (0) + offset, src, (size_t) numFrames * sizeof (float));
        return;
    }
    if (channels == 2)
    {
        float* left = into.getWritePointer (0) + offset;
        float* right = into.getWritePointer (1) + offset;
        for (int i = 0; i < numFrames; ++i)
        {
            left[i] = src[2 * i];
            right[i] = src[2 * i + 1];
        }
        return;
    }
    for (int c = 0; c < channels; ++c)
    {
        float* dest = into.getWritePointer (c) + offset;
        for (int i = 0; i < numFrames; ++i)
            dest[i] = src[(size_t) i * (size_t) channels + (size_t) c];
    }
}
} // namespace

bool FittedLengthSource::read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames)
{
    const int available = (int) juce::jlimit ((juce::int64) 0, (juce::int64) numFrames, source.lengthInFrames() - start);
    const bool ok = available <= 0 || source.read (into, start, available);
    for (int c = 0; c < into.getNumChannels() && available < numFrames; ++c)
        into.clear (c, juce::jmax (0, available), numFrames - juce::jmax (0, available));
    return ok;
}

bool block_source::forEachBlock (AudioBlockSource& source, int blockFrames,
                                 const std::function<void (juce::AudioBuffer<float>& block, int numFrames)>& visit)
{
    const auto length = source.lengthInFrames();
    juce::AudioBuffer<float> block (source.numChannels(), (int) juce::jmin ((juce::int64) blockFrames, juce::jmax ((juce::int64) 1, length)));
    for (juce::int64 start = 0; start < length; start += blockFrames)
    {
        const int n = (int) juce::jmin ((juce::int64) blockFrames, length - start);
        if (! source.read (block, start, n))
            return false;
        visit (block, n);
    }
    return true;
}

juce::int64 FloatSpill::memoryBoundBytes()
{
    // The spill falls back to memory only for a disk that filled up; it must not
    // then take the machine with it. A worker streams in 10 to 40 MB, so 256 MiB
    // (11 minutes of 48 kHz stereo, 23 of mono) is ten times that, and with a
    // sixteenth of the memory the process may use, a full pool of workers (half
    // the processors) all falling back at once stays well inside it.
    constexpr juce::int64 ceiling = (juce::int64) 256 << 20;
    juce::int64 memory = (juce::int64) juce::SystemStats::getMemorySizeInMegabytes() << 20;
    rlimit limit {};
    if (::getrlimit (RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        memory = memory > 0 ? juce::jmin (memory, (juce::int64) limit.rlim_cur) : (juce::int64) limit.rlim_cur;
    return memory > 0 ? juce::jmin (ceiling, memory / 16) : ceiling;
}

FloatSpill::FloatSpill (const juce::File& f, int numChannels, double sampleRate)
    : file (f), channels (numChannels), rate (sampleRate)
{
    if (file != juce::File())
    {
        // Unbuffered: every block is one write, so a failed one is seen at once
        // and the file holds exactly the frames of the writes that succeeded.
        output = in_flight_files::createFile (file, 0);
    }
    inMemory = output == nullptr;
}

FloatSpill::~FloatSpill()
{
    if (rewriteFile >= 0)
        ::close (rewriteFile);
    output.reset();
    input.reset();
    if (file != juce::File())
        file.deleteFile();
}

void FloatSpill::restart()
{
    output.reset();
    input.reset();
    memory.clear();
    frames = 0;
    good = true;
    overBound = false;
    if (rewriteFile >= 0)
        ::close (rewriteFile);
    rewriteFile = -1;
    rewritten = 0;
    tailStart = -1;
    tail.clear();
    rewriteLost = tailRead = false;
    if (file != juce::File())
    {
        file.deleteFile();
        output = in_flight_files::createFile (file, 0);
    }
    inMemory = output == nullptr;
}

Outcome FloatSpill::outcome() const
{
    if (overBound)
        return Outcome::failure ("The work folder takes no more samples and the chain's samples ("
                                 + juce::String (frames * channels * (juce::int64) sizeof (float) / (1 << 20))
                                 + " MB) would not fit in the " + juce::String (memoryBoundBytes() / (1 << 20))
                                 + " MB of memory a file may use instead: " + file.getFullPathName());
    if (! good)
        return Outcome::failure ("Failed to read back the chain's samples: " + file.getFullPathName());
    return Outcome::success();
}

bool FloatSpill::keepInMemory (const float* samples, size_t count)
{
    if (overBound)
        return false;
    if ((juce::int64) ((memory.size() + count) * sizeof (float)) > memoryBoundBytes())
    {
        overBound = true;
        good = false;
        memory.clear();
        memory.shrink_to_fit();
        return false;
    }
    memory.insert (memory.end(), samples, samples + count);
    return true;
}

void FloatSpill::moveToMemory()
{
    output.reset();
    inMemory = true;
    const auto held = (size_t) frames * (size_t) channels;
    if ((juce::int64) (held * sizeof (float)) > memoryBoundBytes())
    {
        overBound = true;
        good = false;
        file.deleteFile();
        return;
    }
    memory.resize (held);
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
    const float* samples = block.getReadPointer (0);
    if (channels > 1)
    {
        interleaved.resize (count);
        interleave (block, numFrames, channels, interleaved.data());
        samples = interleaved.data();
    }

    if (output != nullptr && ! output->write (samples, count * sizeof (float)))
        moveToMemory();
    if (output == nullptr)
        keepInMemory (samples, count);
    frames += numFrames;
}

void FloatSpill::startReading()
{
    if (output == nullptr)
        return;
    output.reset();
    input = std::make_unique<juce::FileInputStream> (file);
    good = good && input->openedOk();
}

void FloatSpill::readKept (juce::AudioBuffer<float>& into, int offset, juce::int64 start, int numFrames)
{
    const auto count = (size_t) numFrames * (size_t) channels;
    if (output != nullptr || input != nullptr)
    {
        startReading();
        // One channel is read straight into its place.
        if (channels > 1)
            interleaved.resize (count);
        float* const readInto = channels == 1 ? into.getWritePointer (0) + offset : interleaved.data();
        const auto bytes = (int) (count * sizeof (float));
        const bool got = good && input->setPosition (start * channels * (juce::int64) sizeof (float))
                         && input->read (readInto, bytes) == bytes;
        if (! got)
        {
            good = false;
            std::fill (readInto, readInto + count, 0.0f);
        }
        if (channels > 1)
            deinterleave (readInto, numFrames, channels, into, offset);
        return;
    }
    deinterleave (memory.data() + (size_t) start * (size_t) channels, numFrames, channels, into, offset);
}

bool FloatSpill::read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames)
{
    if (numFrames <= 0)
        return good;
    if (overBound)
        return false;

    // The frames before the rewrite's tail come from where they were kept, the rest from the tail.
    const int kept = tailRead ? (int) juce::jlimit ((juce::int64) 0, (juce::int64) numFrames, tailStart - start) : numFrames;
    if (kept > 0)
        readKept (into, 0, start, kept);
    if (kept < numFrames)
    {
        deinterleave (tail.data() + (size_t) (start + kept - tailStart) * (size_t) channels, numFrames - kept, channels,
                      into, kept);
    }
    return good;
}

void FloatSpill::beginRewrite()
{
    startReading();
    rewritten = 0;
    tailStart = -1;
    tail.clear();
    rewriteLost = tailRead = false;
    // Opened without creating: a spill a stopping run has taken away stays away.
    if (! inMemory)
        rewriteFile = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CLOEXEC);
}

void FloatSpill::rewriteIntoTail (const float* samples, size_t count)
{
    if (rewriteLost)
        return;
    if (tailStart < 0)
    {
        // Taken now in one piece, or not at all: the rest of the frames, whatever the blocks.
        const auto rest = (size_t) (frames - rewritten) * (size_t) channels;
        if ((juce::int64) (rest * sizeof (float)) > memoryBoundBytes())
        {
            rewriteLost = true;
            return;
        }
        tailStart = rewritten;
        tail.reserve (rest);
    }
    tail.insert (tail.end(), samples, samples + count);
}

void FloatSpill::rewrite (const juce::AudioBuffer<float>& block, int numFrames)
{
    numFrames = (int) juce::jmin ((juce::int64) numFrames, frames - rewritten);
    if (numFrames <= 0)
        return;
    const auto count = (size_t) numFrames * (size_t) channels;
    const float* samples = block.getReadPointer (0); // one channel is written as it is
    if (inMemory)
        interleave (block, numFrames, channels, memory.data() + (size_t) rewritten * (size_t) channels);
    else if (channels > 1)
    {
        rewriteBlock.resize (count);
        interleave (block, numFrames, channels, rewriteBlock.data());
        samples = rewriteBlock.data();
    }

    if (! inMemory)
    {
        bool written = rewriteFile >= 0 && tailStart < 0 && ! rewriteLost;
        const auto bytes = count * sizeof (float);
        auto offset = (off_t) (rewritten * channels * (juce::int64) sizeof (float));
        for (size_t done = 0; written && done < bytes;)
        {
            const auto n = ::pwrite (rewriteFile, reinterpret_cast<const char*> (samples) + done, bytes - done, offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                written = false;
            else
            {
                done += (size_t) n;
                offset += n;
            }
        }
        if (! written)
            rewriteIntoTail (samples, count);
    }
    rewritten += numFrames;
}

bool FloatSpill::endRewrite()
{
    if (rewriteFile >= 0)
        ::close (rewriteFile);
    rewriteFile = -1;
    rewriteBlock = {};
    if (rewriteLost || rewritten != frames)
    {
        // What was there is partly overwritten and the rest of the new frames is not kept.
        overBound = rewriteLost;
        good = false;
        tail = {};
        return false;
    }
    tailRead = tailStart >= 0;
    return good;
}

} // namespace tessaloom
