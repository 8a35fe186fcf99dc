#include "io/AudioFileIO.h"

#include "io/CodecFiles.h"
#include "io/InFlightFiles.h"
#include "io/NativeNames.h"
#include "io/PathKind.h"
#include "io/PcmRounding.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace tessaloom
{

namespace
{
// Compressed digital silence, the densest audio there is, decodes to at most
// about 1000 samples (over all channels) per byte of file: measured on a minute
// of 48 kHz silence, 6-channel Ogg Vorbis 988, 6-channel FLAC 689, and 1807 with
// FLAC's largest block size (65535). 4096 leaves room for that while keeping a
// forged header harmless: at most 16 KiB of floats per byte of file.
constexpr juce::int64 maxFramesPerCompressedByte = 4096;

// No recording we are given carries more channels, and every stage loops over
// them; a header claiming more (JUCE reads the 16-bit WAV field as signed, so a
// forged one can even turn negative) is corrupt.
constexpr int maxChannels = 1024;

// JUCE's writer hands an integer file its float samples in chunks of this many
// samples over all channels; the faster rounding keeps to the same chunks.
constexpr int kWriteChunkSamples = 4096;

// The filter designs need a positive, finite rate; the highest rate in use for
// audio is 768 kHz, and a header claiming more is corrupt.
constexpr double minSampleRate = 1.0;
constexpr double maxSampleRate = 768000.0;

// Only a regular file has a size to bound the read by and an end. A named pipe
// would block the worker for ever on open, and a link to a device such as
// /dev/zero never ends: both are refused before anything opens them.
bool isRegularFile (const juce::File& file)
{
    return pathKindBehind (file) == PathKind::file;
}

// The path JUCE opens a file by. A name that is not UTF-8 (io/NativeNames.h)
// is no path to JUCE: the file is opened by its bytes and reached through
// /proc/self/fd for as long as the object lives.
class Reachable
{
public:
    explicit Reachable (const juce::File& given) : file (given)
    {
        if (! native_names::hasEscapedBytes (given.getFullPathName()))
            return;
        fd = ::open (native_names::toNativeBytes (given.getFullPathName()).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0)
            file = juce::File ("/proc/self/fd/" + juce::String (fd));
    }
    ~Reachable()
    {
        if (fd >= 0)
            ::close (fd);
    }
    Reachable (const Reachable&) = delete;
    Reachable& operator= (const Reachable&) = delete;

    juce::File file;

private:
    int fd = -1;
};

// What the chunk list of a RIFF/RF64 or AIFF file says, walked before JUCE opens it.
struct ContainerLayout
{
    // JUCE's WAV and AIFF readers allocate a metadata chunk ("cue ", "bext", "smpl",
    // "inst") at the size its header declares before reading it: a 300-byte file
    // could ask for 4 GB, and where that allocation fails JUCE goes on to read into
    // a null block. A file whose metadata chunk runs past its end is refused before
    // JUCE opens it; this describes the offending chunk, or is empty. The audio
    // chunk itself may run past the end (a half-copied file is read as far as it
    // goes), and nothing after it is reached then.
    juce::String oversizedChunk;

    juce::int64 audioStart = -1; ///< first byte of the audio chunk's samples, -1 when none was found

    // A recorder that stops without finishing its file (a crash, a pulled cable, a
    // full card) leaves the RIFF and data sizes it wrote at the start, usually 0,
    // with the recording after them: JUCE then reads no audio at all, or no header.
    // Such a WAV is read as if both sizes said "up to the end of the file", the
    // way streaming writers mark them; the offsets of the two size fields, or -1.
    juce::int64 riffSizeField = -1, dataSizeField = -1;
    bool unfinished() const { return dataSizeField >= 0; }
};

ContainerLayout walkContainer (const juce::File& file)
{
    ContainerLayout layout;
    juce::FileInputStream in (file);
    if (! in.openedOk())
        return layout;

    char magic[4] = {};
    if (in.read (magic, 4) != 4)
        return layout;
    const bool rf64 = std::memcmp (magic, "RF64", 4) == 0;
    const bool riff = std::memcmp (magic, "RIFF", 4) == 0 || rf64;
    const bool form = std::memcmp (magic, "FORM", 4) == 0;
    if (! riff && ! form)
        return layout;

    const auto size = in.getTotalLength();
    const auto declared = (juce::int64) (juce::uint32) (riff ? in.readInt() : in.readIntBigEndian());
    const char* const audioChunk = riff ? "data" : "SSND";

    struct Chunk
    {
        char id[4];
        juce::int64 lengthField, length, start;
        bool audio; ///< the chunk that holds the samples
    };

    // Calls visit with each chunk header up to `end` until it returns false.
    auto forEachChunk = [&] (juce::int64 end, auto&& visit)
    {
        in.setPosition (12);
        while (in.getPosition() + 8 <= end)
        {
            Chunk chunk {};
            in.read (chunk.id, 4);
            chunk.audio = std::memcmp (chunk.id, audioChunk, 4) == 0;
            chunk.lengthField = in.getPosition();
            chunk.length = (juce::int64) (juce::uint32) (riff ? in.readInt() : in.readIntBigEndian());
            chunk.start = in.getPosition();
            if (! visit (chunk))
                return;
            in.setPosition (chunk.start + chunk.length + (chunk.length & 1));
        }
    };

    // Where the samples start, and whether the header was never finished. A data
    // chunk of 0 bytes inside a RIFF that goes on past it is an empty recording
    // followed by other chunks, not an unfinished one.
    forEachChunk (size, [&] (const Chunk& chunk)
    {
        if (! chunk.audio)
            return true;
        // AIFF's sound chunk starts with an offset and a block size.
        layout.audioStart = riff ? chunk.start : chunk.start + 8;
        const bool riffEndsBeforeSamples = declared + 8 <= chunk.start;
        if (riff && ! rf64 && riffEndsBeforeSamples && size > chunk.start)
        {
            layout.riffSizeField = 4;
            layout.dataSizeField = chunk.lengthField;
        }
        return false;
    });

    // The metadata chunks as the reader will meet them: up to the container's
    // declared end (RF64 declares 0xffffffff), or for an unfinished WAV, read to
    // the end of the file, up to its audio, which runs from there to the end.
    const auto end = layout.unfinished() ? size : juce::jmin (size, declared + 8);
    forEachChunk (end, [&] (const Chunk& chunk)
    {
        if (chunk.audio)
            return ! layout.unfinished() && chunk.start + chunk.length <= end;
        if (chunk.start + chunk.length <= end)
            return true;
        juce::String name;
        for (auto c : chunk.id)
            name += (c >= 0x20 && c < 0x7f) ? juce::String::charToString ((juce::juce_wchar) c) : juce::String ("?");
        layout.oversizedChunk = "chunk '" + name + "' claims " + juce::String (chunk.length) + " bytes, the file holds "
                                + juce::String (juce::jmax ((juce::int64) 0, end - chunk.start));
        return false;
    });
    return layout;
}

// The file as JUCE should see it: with the given 4-byte fields read as 0xffffffff.
class SizeFieldsAsUnknown final : public juce::InputStream
{
public:
    SizeFieldsAsUnknown (std::unique_ptr<juce::InputStream> source, std::initializer_list<juce::int64> fieldOffsets)
        : in (std::move (source)), fields (fieldOffsets)
    {
    }

    juce::int64 getTotalLength() override { return in->getTotalLength(); }
    bool isExhausted() override { return in->isExhausted(); }
    juce::int64 getPosition() override { return in->getPosition(); }
    bool setPosition (juce::int64 position) override { return in->setPosition (position); }

    int read (void* destination, int maxBytes) override
    {
        const auto start = in->getPosition();
        const int got = in->read (destination, maxBytes);
        for (const auto field : fields)
            for (juce::int64 i = juce::jmax (field, start); i < juce::jmin (field + 4, start + (juce::int64) got); ++i)
                static_cast<char*> (destination)[i - start] = (char) 0xff;
        return got;
    }

private:
    std::unique_ptr<juce::InputStream> in;
    std::vector<juce::int64> fields;
};

bool isUncompressedPcm (const juce::AudioFormatReader& reader)
{
    const auto name = reader.getFormatName();
    return name.startsWithIgnoreCase ("WAV") || name.startsWithIgnoreCase ("AIFF");
}

bool isDecodablePcmWidth (int bits)
{
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}
} // namespace

// The file's bytes as the decoders read them, watched for a read that comes
// back short before the end the file had when it was opened: the file was cut
// while it was read, or the disk failed. JUCE's WAV and AIFF readers fill such
// a gap with zeros and report success, which would master silence in place of
// the recording.
class CutShortWatch final : public juce::InputStream
{
public:
    explicit CutShortWatch (std::unique_ptr<juce::FileInputStream> source)
        : in (std::move (source)), sizeWhenOpened (in->getTotalLength())
    {
    }

    bool cutShort() const { return failed; }

    juce::int64 getTotalLength() override { return sizeWhenOpened; }
    bool isExhausted() override { return in->isExhausted(); }
    juce::int64 getPosition() override { return in->getPosition(); }
    bool setPosition (juce::int64 position) override { return in->setPosition (position); }

    int read (void* destination, int maxBytes) override
    {
        const auto start = in->getPosition();
        const int got = in->read (destination, maxBytes);
        if (got < maxBytes && start + juce::jmax (0, got) < sizeWhenOpened)
            failed = true;
        return got;
    }

private:
    std::unique_ptr<juce::FileInputStream> in;
    const juce::int64 sizeWhenOpened;
    bool failed = false;
};

juce::String safe_files::leadingUtf8Bytes (const juce::String& given, int maxBytes)
{
    // A name made from a name that is not UTF-8 shows its bytes as U+FFFD, so
    // JUCE and the system agree on what it is called.
    const auto name = native_names::shownText (given);
    int bytes = 0;
    int characters = 0;
    for (auto p = name.getCharPointer(); ! p.isEmpty(); ++p)
    {
        bytes += (int) juce::CharPointer_UTF8::getBytesRequiredFor (*p);
        if (bytes > maxBytes)
            break;
        ++characters;
    }
    return name.substring (0, characters);
}

bool safe_files::renameOver (const juce::File& source, const juce::File& target)
{
    if (const auto kind = pathKindAt (target); kind != PathKind::nothing && kind != PathKind::file)
        return false;
    return std::rename (native_names::toNativeBytes (source.getFullPathName()).c_str(),
                        native_names::toNativeBytes (target.getFullPathName()).c_str()) == 0;
}

juce::File temporarySiblingFor (const juce::File& target)
{
    // Cut long names so the temporary name stays within the 255-byte limit of file systems.
    return target.getParentDirectory().getChildFile ("." + safe_files::leadingUtf8Bytes (target.getFileName(), 120) + ".partial-"
                                                      + juce::Uuid().toString().substring (0, 12));
}

AudioFileSource::AudioFileSource (std::unique_ptr<juce::AudioFormatReader> r, const CutShortWatch* w,
                                  juce::int64 frames)
    : reader (std::move (r)), watch (w), length (frames)
{
}

AudioFileSource::AudioFileSource (std::unique_ptr<CodecDecoder> d)
    : decoder (std::move (d)), length (decoder->lengthInFrames())
{
}

AudioFileSource::~AudioFileSource() = default;

int AudioFileSource::numChannels() const
{
    return decoder != nullptr ? decoder->numChannels() : (int) reader->numChannels;
}

double AudioFileSource::sampleRate() const
{
    return decoder != nullptr ? decoder->sampleRate() : reader->sampleRate;
}

int AudioFileSource::bitsPerSample() const
{
    return decoder != nullptr ? decoder->bitsPerSample() : (int) reader->bitsPerSample;
}

bool AudioFileSource::read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames)
{
    jassert (into.getNumChannels() == numChannels() && numFrames <= into.getNumSamples());
    if (decoder != nullptr)
    {
        // The counted length is the decoder's: frames past it are not the recording's.
        if (numFrames > 0 && (start + numFrames > length || ! decoder->read (into, start, numFrames)))
            readFailed = true;
        return ! hasFailed();
    }
    if (numFrames > 0 && ! reader->read (&into, 0, numFrames, start, true, true))
        readFailed = true;
    return ! hasFailed();
}

juce::String readErrorMessage (const juce::File& file)
{
    return "Failed to read audio file to its end (read error, or the file was cut short while it was read): "
           + file.getFullPathName();
}

juce::AudioChannelSet AudioFileSource::channelLayout() const
{
    // A decoded stream is taken in the usual layout for its number of channels
    // (libavcodec's order for six is JUCE's 5.1 order).
    if (decoder != nullptr)
        return juce::AudioChannelSet::canonicalChannelSet (decoder->numChannels());
    return reader->getChannelLayout();
}

bool AudioFileSource::hasFailed() const
{
    return readFailed || (watch != nullptr && watch->cutShort());
}

Outcome openAudioFile (const juce::File& file, std::unique_ptr<AudioFileSource>& opened)
{
    opened.reset();

    if (! isRegularFile (file))
        return Outcome::failure ("Not a regular file: " + file.getFullPathName());

    // Opened by what the system knows it as; named in messages as given.
    const Reachable reachable (file);
    const auto& at = reachable.file;
    const auto layout = walkContainer (at);

    // Anything but WAV and AIFF goes to libavcodec; those two stay with JUCE's
    // readers, which the specified run's samples are pinned to. The decoder
    // reopens the file by name, in the bytes the file system holds.
    const auto extension = file.getFileExtension().toLowerCase();
    const bool pcmContainer = layout.audioStart >= 0 || layout.unfinished() || extension == ".wav"
                              || extension == ".bwf" || extension == ".aif" || extension == ".aiff";
    if (! pcmContainer)
    {
        // The same bound as for JUCE's compressed formats below: a forged header cannot make us count for ever.
        const auto maxFrames = std::min ((juce::int64) std::numeric_limits<int>::max(),
                                         juce::jmax ((juce::int64) 1, at.getSize()) * maxFramesPerCompressedByte);
        std::unique_ptr<CodecDecoder> decoder;
        if (const auto decoded = CodecDecoder::open (file, maxFrames, decoder); ! decoded.ok())
            return decoded;
        opened.reset (new AudioFileSource (std::move (decoder)));
        return Outcome::success();
    }

    if (layout.oversizedChunk.isNotEmpty())
        return Outcome::failure ("Corrupt audio header (" + layout.oversizedChunk + "): " + file.getFullPathName());

    juce::AudioFormatManager formatManager;
    formatManager.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader;
    const CutShortWatch* watch = nullptr;
    auto watchedStream = [&]() -> std::unique_ptr<CutShortWatch>
    {
        auto stream = std::make_unique<juce::FileInputStream> (at);
        if (! stream->openedOk())
            return nullptr;
        auto watched = std::make_unique<CutShortWatch> (std::move (stream));
        watch = watched.get();
        return watched;
    };
    if (layout.unfinished())
    {
        if (auto stream = watchedStream())
            reader.reset (formatManager.createReaderFor (std::make_unique<SizeFieldsAsUnknown> (
                std::move (stream), std::initializer_list<juce::int64> { layout.riffSizeField, layout.dataSizeField })));
    }
    else
    {
        // As the manager picks a format for a file (by its extension), with the
        // bytes read through the watch.
        for (int i = 0; i < formatManager.getNumKnownFormats() && reader == nullptr; ++i)
            if (auto* format = formatManager.getKnownFormat (i); format->canHandleFile (file))
                if (auto stream = watchedStream())
                {
                    // The format owns the stream from here, and deletes it when it cannot read it.
                    reader.reset (format->createReaderFor (stream.release(), true));
                    if (reader == nullptr)
                        watch = nullptr;
                }
    }

    if (reader == nullptr)
        return Outcome::failure ({});

    if (reader->numChannels < 1 || reader->numChannels > (unsigned int) maxChannels
        || ! std::isfinite (reader->sampleRate) || reader->sampleRate < minSampleRate
        || reader->sampleRate > maxSampleRate)
        return Outcome::failure ("Unusable audio header (" + juce::String ((juce::int64) reader->numChannels)
                                 + " channels, " + juce::String (reader->sampleRate) + " Hz): " + file.getFullPathName());

    // JUCE's WAV and AIFF readers decode 8, 16, 24 and 32 bits; with any other
    // count (a forged field, read as signed, can even be negative) a frame can
    // span zero bytes and their read loops never advance.
    if (isUncompressedPcm (*reader) && ! isDecodablePcmWidth ((int) reader->bitsPerSample))
        return Outcome::failure ("Unsupported sample format (" + juce::String ((juce::int64) reader->bitsPerSample)
                                 + " bits): " + file.getFullPathName());

    const auto channels = (int) reader->numChannels;
    juce::int64 frames = juce::jmax ((juce::int64) 0, reader->lengthInSamples);
    const auto fileSize = at.getSize();

    if (isUncompressedPcm (*reader))
    {
        const auto bytesPerFrame = (juce::int64) juce::jmax (1, channels) * juce::jmax (1, (int) reader->bitsPerSample / 8);
        const auto audioBytes = fileSize - juce::jmax ((juce::int64) 0, layout.audioStart);
        frames = juce::jmin (frames, juce::jmax ((juce::int64) 0, audioBytes) / bytesPerFrame);
    }
    else
    {
        // Counted over all channels: a forged header may claim 255 channels too.
        frames = juce::jmin (frames, fileSize * maxFramesPerCompressedByte / channels);
    }

    // The measurements count samples per channel in an int.
    if (frames > (juce::int64) std::numeric_limits<int>::max())
        return Outcome::failure ("Audio file too long to process (" + juce::String (frames)
                                     + " samples per channel, at most 2147483647): " + file.getFullPathName(),
                                 Outcome::Status::tooLong);

    opened.reset (new AudioFileSource (std::move (reader), watch, frames));
    return Outcome::success();
}

Wav16FileWriter::Wav16FileWriter (const juce::File& targetFile, int channels)
    : target (targetFile), temp (temporarySiblingFor (targetFile)), inFlight (temp), numChannels (channels)
{
}

Wav16FileWriter::~Wav16FileWriter()
{
    writer.reset();
    if (! finished)
        temp.deleteFile();
}

Outcome Wav16FileWriter::create (const juce::File& target, double sampleRate, int numChannels,
                                 std::unique_ptr<Wav16FileWriter>& created, int bitsPerSample)
{
    created.reset();
    std::unique_ptr<Wav16FileWriter> w (new Wav16FileWriter (target, numChannels));
    w->bytesPerSample = bitsPerSample / 8;

    auto stream = in_flight_files::createFile (w->temp, 32768);
    if (stream == nullptr)
        return Outcome::failure ("Failed to create output file: " + target.getFullPathName());

    juce::WavAudioFormat wav;
    juce::StringPairArray metadata (false);
    w->writer.reset (wav.createWriterFor (stream.get(), sampleRate, (unsigned int) numChannels, bitsPerSample, metadata, 0));
    if (w->writer == nullptr)
        return Outcome::failure ("Failed to create WAV writer");

    stream.release(); // the writer owns it now
    w->scratch.assign (kWriteChunkSamples, 0);
    created = std::move (w);
    return Outcome::success();
}

bool Wav16FileWriter::write (const juce::AudioBuffer<float>& block, int numFrames)
{
    if (numFrames <= 0)
        return ok;
    ok = ok && writeRounded (block, numFrames);
    framesWritten += numFrames;
    return ok;
}

// What JUCE's writeFromAudioSampleBuffer does, with its rounding four samples
// at a time: the same chunks of samples go to the same write calls, so the
// bytes, and where a failing disk stops them, are the ones JUCE writes.
bool Wav16FileWriter::writeRounded (const juce::AudioBuffer<float>& block, int numFrames)
{
    const int channels = block.getNumChannels();
    if (writer->isFloatingPoint() || channels <= 0 || channels > kWriteChunkSamples / 16)
        return writer->writeFromAudioSampleBuffer (block, 0, numFrames);
    const int chunkFrames = kWriteChunkSamples / channels;
    std::vector<const int*> chunk ((size_t) channels + 1, nullptr);
    for (int c = 0; c < channels; ++c)
        chunk[(size_t) c] = scratch.data() + (size_t) c * (size_t) chunkFrames;
    for (int start = 0; start < numFrames; start += chunkFrames)
    {
        const int n = juce::jmin (chunkFrames, numFrames - start);
        for (int c = 0; c < channels; ++c)
            pcm_rounding::toPcm32 (block.getReadPointer (c) + start, scratch.data() + (size_t) c * (size_t) chunkFrames, n);
        if (! writer->write (chunk.data(), n))
            return false;
    }
    return true;
}

Outcome Wav16FileWriter::finish (in_flight_files::Target after)
{
    ok = writer->flush() && ok;
    writer.reset();

    // The header and every frame must be on disk before the target is replaced.
    const auto expectedDataBytes = framesWritten * numChannels * bytesPerSample;
    if (! ok || temp.getSize() < expectedDataBytes + 44)
        return Outcome::failure ("Failed to write output file: " + target.getFullPathName());

    if (! in_flight_files::renameIntoPlace (temp, target, after))
        return Outcome::failure ("Failed to create output file: " + target.getFullPathName());

    finished = true;
    return Outcome::success();
}

Outcome safe_files::copyFileAtomically (const juce::File& source, const juce::File& target, in_flight_files::Target after)
{
    if (! isRegularFile (source))
        return Outcome::failure ("Failed to copy " + source.getFullPathName() + " to " + target.getFullPathName()
                                 + ": not a regular file");

    const auto temp = temporarySiblingFor (target);
    const in_flight_files::Scope inFlight (temp);

    const Reachable from (source);
    bool copied = false;
    {
        juce::FileInputStream in (from.file);
        auto out = in_flight_files::createFile (temp, 1 << 16);
        if (in.openedOk() && out != nullptr)
        {
            const auto size = in.getTotalLength();
            copied = out->writeFromInputStream (in, -1) == size;
            out->flush();
            copied = copied && out->getStatus().wasOk() && in.getPosition() == size;
        }
    }
    if (! copied || temp.getSize() != from.file.getSize())
    {
        temp.deleteFile();
        return Outcome::failure ("Failed to copy " + source.getFullPathName() + " to " + target.getFullPathName());
    }

    if (! in_flight_files::renameIntoPlace (temp, target, after))
    {
        temp.deleteFile();
        return Outcome::failure ("Failed to copy " + source.getFullPathName() + " to " + target.getFullPathName());
    }

    return Outcome::success();
}

} // namespace tessaloom
