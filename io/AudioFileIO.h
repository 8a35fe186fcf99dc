#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_core/juce_core.h>

#include "common/Outcome.h"
#include "io/BlockSource.h"
#include "io/InFlightFiles.h"

#include <memory>

namespace tessaloom
{

// Audio files read in blocks and written crash-safely for the pipeline. Every
// operation here that can fail answers with an Outcome (common/Outcome.h).

class CutShortWatch;
class CodecDecoder;

class AudioFileSource final : public AudioBlockSource
{
public:
    ~AudioFileSource() override;

    int numChannels() const override;
    double sampleRate() const override;
    // Frames per channel, as far as the file holds them (the header is never trusted).
    juce::int64 lengthInFrames() const override { return length; }
    // false, from this read on, once the decoder failed or the file turned out
    // shorter than when it was opened (cut while it was read). The flag sticks:
    // a source answers block by block through the interface it shares with the
    // spill and the fitted source, and the caller words the failure once, with
    // readErrorMessage, after the pass.
    bool read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames) override;

    bool hasFailed() const;

    // The sample width as stored (16, 24, 32), 0 when the stream has none (lossy codecs).
    int bitsPerSample() const;
    // The file's speaker layout: a WAV's channel mask where it has one, else
    // the usual layout for its number of channels.
    juce::AudioChannelSet channelLayout() const;

private:
    friend Outcome openAudioFile (const juce::File&, std::unique_ptr<AudioFileSource>&);
    AudioFileSource (std::unique_ptr<juce::AudioFormatReader> reader, const CutShortWatch* watch, juce::int64 frames);
    AudioFileSource (std::unique_ptr<CodecDecoder> decoder);

    std::unique_ptr<juce::AudioFormatReader> reader; // WAV and AIFF
    std::unique_ptr<CodecDecoder> decoder;           // every other format (io/CodecFiles.h)
    const CutShortWatch* watch = nullptr; // owned by the reader
    juce::int64 length = 0;
    bool readFailed = false;
};

// The message of a file that could not be read to its end.
juce::String readErrorMessage (const juce::File& file);

// Opens an audio file to be read in blocks of any length; the reader decodes
// straight from the file and nothing is held but its own small buffers.
// `opened` is set only when the outcome is ok. WAV and AIFF (by their
// extension or their RIFF/FORM header) are read by JUCE, as they always were;
// every other file (MP3, AAC/M4A, Ogg Vorbis, Opus, FLAC, ...) by libavcodec
// through CodecDecoder (io/CodecFiles.h), sample-exact, its length counted by
// decoding it once; such a file that cannot be read fails with a message
// saying what it is and why.
//
// The length is never taken from the header alone: an uncompressed file is
// read only as far as its size can hold data, and a compressed one at most 4096
// samples (over all channels) per byte of file, so a tiny file that declares
// gigabytes allocates next to nothing. Files over 2^31 - 1 frames fail with
// Status::tooLong. A header with no channels, more than 1024, or a sample rate
// that is not between 1 Hz and 768 kHz, or a WAV or AIFF header with a sample
// width other than 8, 16, 24 or 32 bits, fails with a message saying so, as
// does anything but a regular file (a named pipe, a link to a device), which is
// never opened, and a WAV or AIFF file with a metadata chunk running past its
// end (JUCE would allocate the chunk's declared size, up to 4 GB). A file no
// format recognises (a WAV or AIFF JUCE cannot read) fails with an empty message, for the caller to word. A WAV
// whose header a recorder never finished (its RIFF size ending before the
// samples, as written at the start of a recording) is read from its data chunk
// to the end of the file.
Outcome openAudioFile (const juce::File& file, std::unique_ptr<AudioFileSource>& opened);

// A 16-bit PCM WAV (no metadata) written block by block under a temporary name
// beside the target; finish() renames it over the target only once every byte
// is on disk. Destroyed unfinished, it removes the temporary file, so a failed
// run never leaves a half-written output.
class Wav16FileWriter
{
public:
    // Sets `created` when the outcome is ok; fails with "Failed to create output
    // file: <path>" when no stream could be opened, "Failed to create WAV
    // writer" when the format refused the layout.
    // bitsPerSample 24 writes a 24-bit file the same way (an intermediate for a
    // 24-bit delivery); the specified outputs are 16-bit.
    static Outcome create (const juce::File& target, double sampleRate, int numChannels,
                           std::unique_ptr<Wav16FileWriter>& created, int bitsPerSample = 16);
    ~Wav16FileWriter();

    // Appends the first numFrames frames of every channel; false once a write
    // failed. The flag sticks, and finish() turns it into the outcome: a file
    // written in many blocks fails once, with one message.
    bool write (const juce::AudioBuffer<float>& block, int numFrames);

    // Completes the file and renames it over the target; fails with "Failed to
    // write output file: <path>" or "Failed to create output file: <path>" (also
    // when the target is not a regular file, see in_flight_files::renameIntoPlace).
    Outcome finish (in_flight_files::Target after = in_flight_files::Target::settled);

private:
    Wav16FileWriter (const juce::File& target, int numChannels);
    bool writeRounded (const juce::AudioBuffer<float>& block, int numFrames);

    juce::File target, temp;
    in_flight_files::Scope inFlight;
    std::unique_ptr<juce::AudioFormatWriter> writer;
    std::vector<int> scratch; // one chunk of rounded samples, over the channels
    juce::int64 numChannels = 0, framesWritten = 0, bytesPerSample = 2;
    bool ok = true, finished = false;
};

// A name beside the target that no *.wav listing picks up.
juce::File temporarySiblingFor (const juce::File& target);

// Files replaced only whole, and names that stay within the file systems' limit.
namespace safe_files
{
// Copies a file onto a target the same way: the target is replaced only by a
// complete copy. A source that is not a regular file is refused unopened.
// Fails with "Failed to copy <source> to <target>" (and ": not a regular file").
Outcome copyFileAtomically (const juce::File& source, const juce::File& target,
                            in_flight_files::Target after = in_flight_files::Target::settled);

// Renames source over target in one step (the same file system); false, and
// nothing touched, when that cannot be done or the target is anything but a
// regular file or nothing (a device, a pipe, a folder or a link would be replaced). Unlike a move that falls back to a
// copy, a source that is gone never leaves an empty target. A yes or no, not an
// Outcome: it is a step of the operations above, and each caller words its own failure.
bool renameOver (const juce::File& source, const juce::File& target);

// The longest start of name whose UTF-8 form takes at most maxBytes, so names
// built from a file's name stay within the 255-byte limit of file systems
// (a character count is no bound: one character may take four bytes). Bytes of
// a name that is not UTF-8 come out as U+FFFD (io/NativeNames.h).
juce::String leadingUtf8Bytes (const juce::String& name, int maxBytes);
} // namespace safe_files

} // namespace tessaloom
