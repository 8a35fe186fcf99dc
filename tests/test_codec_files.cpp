// Reading and writing the formats producers record and publish, through the
// real libav decoders and encoders, with the FFmpeg executable as the
// independent encoder and decoder and libebur128 as the independent meter.

#include "io/AudioFileIO.h"
#include "io/CodecFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace tessaloom;

using namespace testing_support;

namespace
{
const char* const ffmpeg = "/usr/bin/ffmpeg";

bool runFfmpeg (const std::vector<std::string>& args)
{
    std::vector<std::string> all { "-v", "error", "-y" };
    all.insert (all.end(), args.begin(), args.end());
    const auto r = runProcess (ffmpeg, all);
    if (r.exitCode != 0)
        ADD_FAILURE() << "ffmpeg failed: " << r.err;
    return r.exitCode == 0;
}

// A file decoded by the FFmpeg executable into 32-bit float WAV and read by JUCE.
LoadedAudio decodeWithFfmpeg (const juce::File& encoded, const juce::File& scratch)
{
    runFfmpeg ({ "-i", encoded.getFullPathName().toStdString(), "-c:a", "pcm_f32le", scratch.getFullPathName().toStdString() });
    return readAudio (scratch);
}

// Everything an AudioFileSource gives, read in uneven blocks (to cross the decoder's frames).
juce::AudioBuffer<float> readAllInBlocks (AudioFileSource& source)
{
    juce::AudioBuffer<float> all (source.numChannels(), (int) source.lengthInFrames());
    juce::AudioBuffer<float> block (source.numChannels(), 3001);
    for (juce::int64 start = 0; start < source.lengthInFrames();)
    {
        const int n = (int) std::min<juce::int64> (3001, source.lengthInFrames() - start);
        EXPECT_TRUE (source.read (block, start, n)) << "at frame " << start;
        for (int c = 0; c < source.numChannels(); ++c)
            all.copyFrom (c, (int) start, block, c, 0, n);
        start += n;
    }
    return all;
}

// Noise quantised to 24 bits: every sample exactly representable by a 24-bit file.
juce::AudioBuffer<float> noise24 (int channels, int frames)
{
    std::mt19937 rng (5);
    std::uniform_int_distribution<int> d (-4000000, 4000000);
    juce::AudioBuffer<float> b (channels, frames);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < frames; ++i)
            b.setSample (c, i, (float) d (rng) / 8388608.0f);
    return b;
}
} // namespace

//==============================================================================
// Lossy files made by FFmpeg from a known WAV decode to its length within 1 ms:
// the encoder's delay and padding are removed (LAME header, M4A edit list, Opus pre-skip).
TEST (CodecReading, LossyFilesDecodeToTheSourceLength)
{
    struct Case
    {
        const char* label;
        const char* extension;
        std::vector<std::string> codecArgs;
        int channels;
        double rate;
    };
    const Case cases[] = {
        { "MP3 128 kbps mono 44.1k", "mp3", { "-c:a", "libmp3lame", "-b:a", "128k" }, 1, 44100.0 },
        { "MP3 64 kbps stereo 48k", "mp3", { "-c:a", "libmp3lame", "-b:a", "64k" }, 2, 48000.0 },
        { "AAC 128 kbps mono 44.1k (M4A)", "m4a", { "-c:a", "aac", "-b:a", "128k" }, 1, 44100.0 },
        { "AAC 96 kbps stereo 48k (M4A)", "m4a", { "-c:a", "aac", "-b:a", "96k" }, 2, 48000.0 },
        { "Opus 96 kbps mono from 48k", "opus", { "-c:a", "libopus", "-b:a", "96k" }, 1, 48000.0 },
        { "Opus 48 kbps stereo from 44.1k", "opus", { "-c:a", "libopus", "-b:a", "48k" }, 2, 44100.0 },
        { "Ogg Vorbis mono 44.1k", "ogg", { "-c:a", "libvorbis", "-q:a", "4" }, 1, 44100.0 },
    };
    TempFolder dir;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        const int frames = (int) (c.rate * 2.5) + 123; // not a whole number of codec frames
        const auto wav = dir.file ("source.wav");
        writeWav (wav, speechLike (c.channels, frames, c.rate), c.rate);
        const auto encoded = dir.file (juce::String ("coded.") + c.extension);
        std::vector<std::string> args { "-i", wav.getFullPathName().toStdString() };
        args.insert (args.end(), c.codecArgs.begin(), c.codecArgs.end());
        args.push_back (encoded.getFullPathName().toStdString());
        ASSERT_TRUE (runFfmpeg (args));

        std::unique_ptr<AudioFileSource> source;
        const auto opened = openAudioFile (encoded, source);
        ASSERT_TRUE (opened.ok()) << opened.message;
        EXPECT_EQ (source->numChannels(), c.channels);
        const double seconds = (double) source->lengthInFrames() / source->sampleRate();
        EXPECT_NEAR (seconds, frames / c.rate, 0.001) << source->lengthInFrames() << " frames at " << source->sampleRate();
        // Every counted frame can be read, in any blocks.
        const auto all = readAllInBlocks (*source);
        EXPECT_GT (all.getMagnitude (0, all.getNumSamples()), 0.05f);
    }
}

// FLAC decodes bit-exact: the MD5 of the decoded PCM is the one the encoder stored in STREAMINFO.
TEST (CodecReading, FlacDecodesToItsStoredMd5)
{
    struct Case
    {
        const char* label;
        int bits, channels;
        double rate;
    };
    const Case cases[] = { { "16-bit stereo 44.1k", 16, 2, 44100.0 }, { "24-bit mono 96k", 24, 1, 96000.0 },
                           { "24-bit stereo 48k", 24, 2, 48000.0 } };
    TempFolder dir;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        const auto wav = dir.file ("source.wav");
        writeWav (wav, noise24 (c.channels, (int) c.rate * 2 + 77), c.rate, c.bits);
        const auto flac = dir.file ("coded.flac");
        ASSERT_TRUE (runFfmpeg ({ "-i", wav.getFullPathName().toStdString(), "-c:a", "flac",
                                  flac.getFullPathName().toStdString() }));

        juce::MemoryBlock bytes;
        ASSERT_TRUE (flac.loadFileAsData (bytes));
        ASSERT_GT (bytes.getSize(), (size_t) 42);
        // "fLaC", the STREAMINFO block's 4-byte header, then 18 bytes before its 16-byte MD5.
        const juce::String stored = juce::String::toHexString (static_cast<const char*> (bytes.getData()) + 26, 16, 0);

        std::unique_ptr<AudioFileSource> source;
        ASSERT_TRUE (openAudioFile (flac, source).ok());
        EXPECT_EQ (source->bitsPerSample(), c.bits);
        const auto all = readAllInBlocks (*source);
        juce::MemoryOutputStream pcm;
        for (int i = 0; i < all.getNumSamples(); ++i)
            for (int ch = 0; ch < c.channels; ++ch)
            {
                const auto v = (int) std::lround (all.getSample (ch, i) * (c.bits == 16 ? 32768.0 : 8388608.0));
                pcm.writeByte ((char) (v & 0xff));
                pcm.writeByte ((char) ((v >> 8) & 0xff));
                if (c.bits == 24)
                    pcm.writeByte ((char) ((v >> 16) & 0xff));
            }
        const auto raw = dir.file ("decoded.pcm");
        ASSERT_TRUE (raw.replaceWithData (pcm.getData(), pcm.getDataSize()));
        const auto sum = runProcess ("/usr/bin/md5sum", { raw.getFullPathName().toStdString() });
        EXPECT_EQ (juce::String (sum.out).upToFirstOccurrenceOf (" ", false, false), stored);
    }
}

// A file that is no audio, or a stream cut in the middle, fails with a message that says what and why.
TEST (CodecReading, UnreadableFilesSayWhy)
{
    TempFolder dir;
    const auto text = dir.file ("notes.mp3");
    text.replaceWithText ("These are the show notes, not a recording.\n");
    std::unique_ptr<AudioFileSource> source;
    auto opened = openAudioFile (text, source);
    EXPECT_FALSE (opened.ok());
    EXPECT_EQ (source, nullptr);
    EXPECT_TRUE (opened.message.startsWith ("Unsupported audio format")) << opened.message;
    EXPECT_TRUE (opened.message.endsWith (text.getFullPathName())) << opened.message;

    // An M4A whose sample table points past the file's end.
    const auto wav = dir.file ("source.wav");
    writeWav (wav, speechLike (1, 44100 * 3, 44100.0), 44100.0);
    const auto m4a = dir.file ("cut.m4a");
    ASSERT_TRUE (runFfmpeg ({ "-i", wav.getFullPathName().toStdString(), "-c:a", "aac", "-movflags", "+faststart",
                              m4a.getFullPathName().toStdString() }));
    juce::MemoryBlock bytes;
    ASSERT_TRUE (m4a.loadFileAsData (bytes));
    m4a.replaceWithData (bytes.getData(), bytes.getSize() / 2);
    opened = openAudioFile (m4a, source);
    if (opened.ok()) // a decoder that stops early must not pass the short read off as the recording
    {
        juce::AudioBuffer<float> block (1, 4096);
        bool allRead = true;
        for (juce::int64 s = 0; s < source->lengthInFrames() && allRead; s += 4096)
            allRead = source->read (block, s, (int) std::min<juce::int64> (4096, source->lengthInFrames() - s));
        EXPECT_LT ((double) source->lengthInFrames() / 44100.0, 2.0);
    }
    else
        EXPECT_TRUE (opened.message.contains ("could not be decoded") || opened.message.startsWith ("Unsupported"))
            << opened.message;
}

//==============================================================================
// Each output format is written whole, at the recording's length, readable by the FFmpeg executable,
// with the input's tags where the format has a place for them.
TEST (CodecWriting, EveryFormatDecodesWithFfmpegAtTheRecordingsLength)
{
    struct Case
    {
        OutputCodec codec;
        int bitrate, bitDepth, channels;
        double rate;
        int expectedRate;
        bool tagged;
    };
    const Case cases[] = {
        { OutputCodec::flac, 0, 16, 2, 44100.0, 44100, true },  { OutputCodec::flac, 0, 24, 1, 48000.0, 48000, true },
        { OutputCodec::mp3, 192, 0, 1, 44100.0, 44100, true },  { OutputCodec::mp3, 64, 0, 2, 96000.0, 48000, true },
        { OutputCodec::aac, 96, 0, 1, 48000.0, 48000, true },   { OutputCodec::aac, 128, 0, 2, 44100.0, 44100, true },
        { OutputCodec::opus, 48, 0, 1, 44100.0, 48000, true },  { OutputCodec::opus, 96, 0, 2, 48000.0, 48000, true },
        { OutputCodec::wav, 0, 24, 2, 44100.0, 44100, false },  { OutputCodec::wav, 0, 32, 1, 48000.0, 48000, false },
    };
    TempFolder dir;
    AudioTags tags;
    tags.title = juce::String::fromUTF8 ("Episode 12: caf\xc3\xa9 talk");
    tags.artist = "The Hosts";
    tags.album = "Season 2";
    tags.comment = "recorded at home";
    for (const auto& c : cases)
    {
        const juce::String label = codecName (c.codec) + " " + juce::String (c.bitrate) + " kbps " + juce::String (c.bitDepth)
                                   + "-bit " + juce::String (c.channels) + "ch " + juce::String (c.rate);
        SCOPED_TRACE (label.toStdString());
        const int frames = (int) (c.rate * 2.0) + 321;
        const auto signal = speechLike (c.channels, frames, c.rate);
        const auto target = dir.file ("out" + extensionFor (c.codec));
        OutputFormat format { c.codec, c.bitrate, c.bitDepth };
        std::unique_ptr<AudioOutputWriter> writer;
        const auto made = createOutputWriter (target, format, c.rate, c.channels, tags, writer);
        ASSERT_TRUE (made.ok()) << made.message;
        for (int start = 0; start < frames; start += 5000)
        {
            const int n = std::min (5000, frames - start);
            juce::AudioBuffer<float> block (c.channels, n);
            for (int ch = 0; ch < c.channels; ++ch)
                block.copyFrom (ch, 0, signal, ch, start, n);
            ASSERT_TRUE (writer->write (block, n));
        }
        EXPECT_FALSE (target.exists()) << "the target appears only once complete";
        const auto done = writer->finish();
        ASSERT_TRUE (done.ok()) << done.message;
        writer.reset();
        EXPECT_EQ (namesIn (dir.path()), juce::StringArray (target.getFileName())) << "no temporary file left";

        const auto decoded = decodeWithFfmpeg (target, dir.file ("decoded.wav"));
        ASSERT_TRUE (decoded.ok);
        EXPECT_EQ ((int) decoded.sampleRate, c.expectedRate);
        EXPECT_EQ (decoded.buffer.getNumChannels(), c.channels);
        // FFmpeg 5.1 leaves an M4A's last frame padded (up to 1024 frames past the edit list's
        // length), so its decode is held to the length only within that.
        const double slack = c.codec == OutputCodec::aac ? 1024.0 / c.expectedRate : 0.001;
        EXPECT_GE (decoded.buffer.getNumSamples() / decoded.sampleRate, frames / c.rate - 0.001);
        EXPECT_LE (decoded.buffer.getNumSamples() / decoded.sampleRate, frames / c.rate + slack);

        // Our own reader gives the recording's length within 1 ms (the edit list's, for an M4A).
        std::unique_ptr<AudioFileSource> source;
        ASSERT_TRUE (openAudioFile (target, source).ok());
        EXPECT_NEAR ((double) source->lengthInFrames() / source->sampleRate(), frames / c.rate, 0.001);

        if (c.tagged)
        {
            const auto back = readTags (target);
            EXPECT_EQ (back.title, tags.title);
            EXPECT_EQ (back.artist, tags.artist);
            EXPECT_EQ (back.album, tags.album);
            EXPECT_EQ (back.comment, tags.comment);
        }
        target.deleteFile();
        dir.file ("decoded.wav").deleteFile();
    }
}

// 24-bit WAV and FLAC outputs keep 24 bits: samples read from a 24-bit input and written back
// untouched (a chain that changes nothing) are the input's samples, bit for bit.
TEST (CodecWriting, TwentyFourBitOutputsGiveBackTheInputsSamples)
{
    TempFolder dir;
    const auto input = dir.file ("take.wav");
    const auto original = noise24 (2, 48000 + 17);
    writeWav (input, original, 48000.0, 24);
    for (auto codec : { OutputCodec::wav, OutputCodec::flac })
    {
        SCOPED_TRACE (codecName (codec).toStdString());
        std::unique_ptr<AudioFileSource> source;
        ASSERT_TRUE (openAudioFile (input, source).ok());
        const auto samples = readAllInBlocks (*source);
        const auto target = dir.file ("master" + extensionFor (codec));
        std::unique_ptr<AudioOutputWriter> writer;
        ASSERT_TRUE (createOutputWriter (target, { codec, 0, 24 }, 48000.0, 2, {}, writer).ok());
        ASSERT_TRUE (writer->write (samples, samples.getNumSamples()));
        ASSERT_TRUE (writer->finish().ok());

        std::unique_ptr<AudioFileSource> back;
        ASSERT_TRUE (openAudioFile (target, back).ok());
        EXPECT_EQ (back->bitsPerSample(), 24);
        const auto got = readAllInBlocks (*back);
        ASSERT_EQ (got.getNumSamples(), original.getNumSamples());
        int differing = 0;
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < got.getNumSamples(); ++i)
                differing += got.getSample (ch, i) != original.getSample (ch, i);
        EXPECT_EQ (differing, 0);
    }
}

// A format that cannot take the recording fails cleanly: nothing at the target, no temporary file.
TEST (CodecWriting, ARefusedEncodeLeavesNothing)
{
    TempFolder dir;
    const auto target = dir.file ("six-channels.mp3");
    std::unique_ptr<AudioOutputWriter> writer;
    const auto made = createOutputWriter (target, { OutputCodec::mp3, 128, 0 }, 48000.0, 6, {}, writer);
    EXPECT_FALSE (made.ok());
    EXPECT_EQ (writer, nullptr);
    EXPECT_TRUE (made.message.startsWith ("Failed to create output file: " + target.getFullPathName())) << made.message;
    EXPECT_TRUE (namesIn (dir.path()).isEmpty()) << namesIn (dir.path()).joinIntoString (", ");

    // Abandoned part-way (a failed chain): the writer's temporary goes with it.
    ASSERT_TRUE (createOutputWriter (dir.file ("half.m4a"), { OutputCodec::aac, 128, 0 }, 48000.0, 1, {}, writer).ok());
    const auto block = sine (1, 48000, 48000.0, 440.0, 0.5f);
    ASSERT_TRUE (writer->write (block, 48000));
    writer.reset();
    EXPECT_TRUE (namesIn (dir.path()).isEmpty()) << namesIn (dir.path()).joinIntoString (", ");
}
