#pragma once

#include "io/InFlightFiles.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include "common/Outcome.h"

#include <memory>

namespace tessaloom
{

// Compressed and lossless audio files through FFmpeg's libraries
// (libavformat, libavcodec, libswresample), in-process and block by block:
// one well-kept library that decodes and encodes every format producers use,
// AAC included. WAV stays with JUCE (io/AudioFileIO.h), whose reading and
// writing the specified run is pinned to.

//==============================================================================
// The formats an output can be written in.
enum class OutputCodec
{
    wav,  // PCM WAV through JUCE (16-bit: the specified output)
    flac, // FLAC in its own container
    mp3,  // MPEG-1/2 Layer III (LAME), constant bit rate, with the LAME/Xing header
    aac,  // AAC-LC in an MPEG-4 (.m4a) container, FFmpeg's own encoder
    opus  // Opus in Ogg, always at 48 kHz
};

struct OutputFormat
{
    OutputCodec codec = OutputCodec::wav;
    int bitrateKbps = 0; // lossy only; 0: the codec's default (defaultBitrateKbps)
    int bitDepth = 0;    // WAV and FLAC only: 16, 24 or 32 (float, WAV only); 0: the codec's default

    bool isLossy() const { return codec == OutputCodec::mp3 || codec == OutputCodec::aac || codec == OutputCodec::opus; }
    // The specified output: 16-bit WAV, written by Wav16FileWriter.
    bool isSpecifiedWav() const { return codec == OutputCodec::wav && (bitDepth == 0 || bitDepth == 16); }
};

// "wav", "flac", "mp3", "aac", "opus"; and back (false for any other name).
juce::String codecName (OutputCodec codec);
bool codecFromName (const juce::String& name, OutputCodec& codec);
// The file extension an output in the codec takes, with its dot (".m4a" for AAC).
juce::String extensionFor (OutputCodec codec);
// The codec a file name's extension names (.wav .flac .mp3 .m4a .aac .mp4 .opus), false for any other.
bool codecForExtension (const juce::File& file, OutputCodec& codec);
// MP3 and AAC 128, Opus 96 kbps; 0 for the lossless formats.
int defaultBitrateKbps (OutputCodec codec);
// WAV 16 (the specified output), FLAC 24; 0 for the lossy formats.
int defaultBitDepth (OutputCodec codec);
// The rate the codec is written at for a recording at `rate`: the same where
// the codec takes it; Opus always 48 kHz; MP3 the nearest rate LAME takes
// (8 to 48 kHz) at or above it, 48 kHz above that.
int codecSampleRate (OutputCodec codec, double rate);

// Extensions of the audio files the engine reads beside WAV (lower case, no dot).
const juce::StringArray& otherAudioExtensions();

//==============================================================================
// Title, artist, album and comment, carried from an input to an output.
struct AudioTags
{
    juce::String title, artist, album, comment;
    bool isEmpty() const { return title.isEmpty() && artist.isEmpty() && album.isEmpty() && comment.isEmpty(); }
};

// The tags a file carries (container-level, else its audio stream's); empty
// when it has none or cannot be opened. Reads only the header.
AudioTags readTags (const juce::File& file);

//==============================================================================
// A file decoded by libavcodec, read in blocks from the start. The length is
// counted by decoding the whole file once when it is opened (memory stays one
// packet and one frame), so it is the decoded programme's, never the header's
// estimate: encoder delay and padding are removed where the stream carries them
// (the LAME/Xing header of an MP3, an M4A's edit list, Opus pre-skip).
class CodecDecoder
{
public:
    ~CodecDecoder();

    // Opens `file` (a regular file, checked by the caller) and counts its
    // frames. Fails with a message that says what the file is and why it cannot
    // be read: no audio stream, a codec this build cannot decode, a stream that
    // will not decode, channels or rate out of range, or more than maxFrames
    // frames per channel (Status::tooLong).
    static Outcome open (const juce::File& file, juce::int64 maxFramesPerChannel, std::unique_ptr<CodecDecoder>& opened);

    int numChannels() const { return channels; }
    double sampleRate() const { return rate; }
    juce::int64 lengthInFrames() const { return length; }
    int bitsPerSample() const { return bits; } // as stored (e.g. 24 for a 24-bit FLAC), 0 for lossy streams
    // "MP3", "AAC", "FLAC", ...: the stream's codec as people name it.
    juce::String codecDescription() const { return description; }

    // Reads numFrames frames from frame `start` into channels 0.. of `into`. A
    // read that goes back reopens the file; one that skips ahead decodes and
    // drops. false when the stream gives fewer frames than were counted.
    bool read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames);

    struct Stream;

private:
    CodecDecoder() = default;
    bool rewind();
    bool decodeMore();

    juce::File file;
    std::unique_ptr<Stream> stream;
    int channels = 0, bits = 0;
    double rate = 0.0;
    juce::int64 length = 0, position = 0;
    juce::String description;
    std::vector<std::vector<float>> pending; // decoded frames not yet handed out, per channel
    size_t pendingStart = 0;
};

//==============================================================================
// An output file in any OutputFormat, written block by block under a
// temporary name beside the target and renamed over it only once complete;
// destroyed unfinished, it removes the temporary file. Implemented by
// Wav16FileWriter's rule for every format.
class AudioOutputWriter
{
public:
    virtual ~AudioOutputWriter() = default;
    // Appends the first numFrames frames of every channel; false once a write
    // failed (the flag sticks; finish() turns it into the outcome).
    virtual bool write (const juce::AudioBuffer<float>& block, int numFrames) = 0;
    // Completes the file and renames it over the target (see in_flight_files::Target
    // for what it is from then on).
    virtual Outcome finish (in_flight_files::Target after = in_flight_files::Target::settled) = 0;
    // Completes the file but leaves it under its temporary name (for a caller
    // that measures it before it decides); empty on failure.
    virtual juce::File finishUnrenamed() = 0;
};

// Makes the writer for `format` at the recording's rate and channels. The
// specified 16-bit WAV is Wav16FileWriter's, byte for byte; WAV at 24 bits or
// 32-bit float goes through JUCE's WAV writer; the rest through libavcodec,
// with libswresample converting the sample format and, where the codec needs
// another rate (Opus, MP3 above 48 kHz), the rate. Tags are written where the
// format has a place for them (not in WAV). Fails with "Failed to create
// output file: <path>" and why.
Outcome createOutputWriter (const juce::File& target, const OutputFormat& format, double sampleRate,
                            int numChannels, const AudioTags& tags, std::unique_ptr<AudioOutputWriter>& created);

} // namespace tessaloom
