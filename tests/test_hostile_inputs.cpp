// What lands in an input folder is not always what it claims to be. Each hostile
// file goes through the built program beside a good file; whatever it is, the
// run must not crash, must report it in the summary, must leave every input as
// it was and no half-written output, and must not let a header's claim decide
// how much memory the run takes.
#include "io/AudioFileIO.h"
#include "support/WholeFileIO.h"
#include "support/Hardening.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <functional>
#include <iostream>
#include <sys/stat.h>

using namespace tessaloom;

using namespace testing_support;
using namespace hardening;

namespace
{
constexpr double goodRate = 48000.0;
constexpr int goodFrames = 24000;

std::string path (const juce::File& f) { return f.getFullPathName().toStdString(); }

Bytes pcm16Wav (const juce::AudioBuffer<float>& audio, std::uint32_t rate)
{
    WavSpec s;
    s.channels = audio.getNumChannels();
    s.sampleRate = rate;
    return wavBytes (s, pcmBytes (audio, 1, 16));
}

juce::AudioBuffer<float> squareWave (int channels, int frames, double rate, double hz)
{
    juce::AudioBuffer<float> b (channels, frames);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < frames; ++i)
            b.setSample (c, i, std::fmod (i * hz / rate, 1.0) < 0.5 ? 1.0f : -1.0f);
    return b;
}

// Writes audio with one of JUCE's own writers (AIFF, FLAC, Ogg Vorbis).
void writeWithFormat (juce::AudioFormat& format, const juce::File& f, const juce::AudioBuffer<float>& audio,
                      double rate, int bits, int quality = 0)
{
    f.deleteFile();
    std::unique_ptr<juce::OutputStream> stream (f.createOutputStream());
    ASSERT_NE (stream, nullptr);
    std::unique_ptr<juce::AudioFormatWriter> writer (
        format.createWriterFor (stream.get(), rate, (unsigned) audio.getNumChannels(), bits, {}, quality));
    ASSERT_NE (writer, nullptr) << format.getFormatName();
    stream.release();
    ASSERT_TRUE (writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples()));
}

// Found by the fuzzer: a WAV whose trailing 'cue ' chunk declares 4 GB; JUCE's
// reader allocated that much before reading 12 bytes.
Bytes withForgedCueChunk()
{
    auto b = pcm16Wav (speechLike (1, 4800, 48000.0, 12), 48000);
    putTag (b, "cue ");
    put32 (b, 0xf0f0f0f0u);
    put32 (b, 1);
    put32 (b, 0);
    for (int i = 4; i < 8; ++i)
        b[(size_t) i] = 0xff; // a RIFF size that covers the chunk, as a liar would write it
    return b;
}

struct Case
{
    const char* label;
    const char* fileName;
    std::function<void (const juce::File&)> make;
    bool expectOk;
    // Channels and frames of audio the file really holds (what the output may have).
    int channels;
    int frames;
    double rate;
    bool givenWithInput = false; // single-file mode; otherwise in a batch beside good.wav
    std::vector<std::string> extraArgs = {};
};

std::vector<Case> hostileCases()
{
    auto bytes = [] (Bytes b) { return [b] (const juce::File& f) { writeBytes (f, b); }; };
    auto speech = [] (int ch, int frames, double rate) { return speechLike (ch, frames, rate, 11); };

    std::vector<Case> cases;
    cases.push_back ({ "zero bytes", "empty.wav", bytes ({}), false, 0, 0, 0 });
    {
        std::string text;
        for (int i = 0; i < 200; ++i)
            text += "These are minutes of a meeting, not audio. ";
        cases.push_back ({ "text named .wav", "notes.wav", bytes (Bytes (text.begin(), text.end())), false, 0, 0, 0 });
    }
    {
        // The header announces 48000 frames; the copy stopped halfway.
        WavSpec s;
        s.declaredDataBytes = 48000 * 2;
        cases.push_back ({ "truncated data chunk", "half copied.wav",
                           bytes (wavBytes (s, pcmBytes (speech (1, 24000, 48000.0), 1, 16))), true, 1, 24000, 48000.0 });
    }
    {
        WavSpec s;
        s.channels = 2;
        s.declaredDataBytes = 0xfffffff0u;
        cases.push_back ({ "header declaring 4 GB on a tiny file", "liar.wav",
                           bytes (wavBytes (s, pcmBytes (speech (2, 4800, 48000.0), 1, 16))), true, 2, 4800, 48000.0 });
    }
    {
        WavSpec s;
        s.channels = 0;
        cases.push_back ({ "zero channels", "no channels.wav", bytes (wavBytes (s, Bytes (4000, 0x11))), false, 0, 0, 0 });
    }
    {
        // Found by the fuzzer: JUCE reads this 16-bit field as signed, giving a
        // negative channel count that once asked for a 4 GB buffer.
        WavSpec s;
        s.channels = 0x8001;
        s.formatTag = 3;
        s.bits = 32;
        cases.push_back ({ "channel field 0x8001", "negative channels.wav", bytes (wavBytes (s, Bytes (256, 0))), false, 0, 0, 0 });
    }
    {
        WavSpec s;
        s.sampleRate = 0;
        cases.push_back ({ "sample rate 0", "no rate.wav", bytes (wavBytes (s, pcmBytes (speech (1, 4800, 48000.0), 1, 16))),
                           false, 0, 0, 0 });
    }
    {
        WavSpec s;
        s.bits = 8;
        cases.push_back ({ "8-bit", "eight.wav", bytes (wavBytes (s, pcmBytes (speech (1, 24000, 48000.0), 1, 8))), true, 1, 24000, 48000.0 });
    }
    {
        WavSpec s;
        s.bits = 24;
        s.channels = 2;
        s.sampleRate = 44100;
        cases.push_back ({ "24-bit", "twentyfour.wav", bytes (wavBytes (s, pcmBytes (speech (2, 22050, 44100.0), 1, 24))), true, 2, 22050, 44100.0 });
    }
    {
        WavSpec s;
        s.formatTag = 3;
        s.bits = 32;
        cases.push_back ({ "32-bit float", "float.wav", bytes (wavBytes (s, pcmBytes (speech (1, 24000, 48000.0), 3, 32))), true, 1, 24000, 48000.0 });
    }
    {
        WavSpec s;
        s.extensible = true;
        s.channels = 2;
        s.bits = 24;
        cases.push_back ({ "WAVE_FORMAT_EXTENSIBLE 24-bit", "extensible.wav",
                           bytes (wavBytes (s, pcmBytes (speech (2, 24000, 48000.0), 1, 24))), true, 2, 24000, 48000.0 });
    }
    {
        WavSpec s;
        s.extensible = true;
        s.formatTag = 3;
        s.bits = 32;
        cases.push_back ({ "WAVE_FORMAT_EXTENSIBLE float", "extensible float.wav",
                           bytes (wavBytes (s, pcmBytes (speech (1, 24000, 48000.0), 3, 32))), true, 1, 24000, 48000.0 });
    }
    {
        auto audio = speech (2, 24000, 48000.0);
        audio.setSample (0, 100, std::numeric_limits<float>::quiet_NaN());
        audio.setSample (1, 2000, std::numeric_limits<float>::infinity());
        audio.setSample (0, 9000, -std::numeric_limits<float>::infinity());
        WavSpec s;
        s.formatTag = 3;
        s.bits = 32;
        s.channels = 2;
        cases.push_back ({ "float holding NaN and infinities", "nonfinite.wav", bytes (wavBytes (s, pcmBytes (audio, 3, 32))), false, 0, 0, 0 });
    }
    cases.push_back ({ "1 sample", "one.wav", bytes (pcm16Wav (speech (1, 1, 48000.0), 48000)), true, 1, 1, 48000.0 });
    cases.push_back ({ "100 samples", "hundred.wav", bytes (pcm16Wav (speech (1, 100, 48000.0), 48000)), true, 1, 100, 48000.0 });
    cases.push_back ({ "8 kHz", "eight k.wav", bytes (pcm16Wav (speech (1, 8000, 8000.0), 8000)), true, 1, 8000, 8000.0 });
    cases.push_back ({ "192 kHz", "oneninetytwo.wav", bytes (pcm16Wav (speech (2, 96000, 192000.0), 192000)), true, 2, 96000, 192000.0 });
    cases.push_back ({ "6 channels", "six.wav", bytes (pcm16Wav (speech (6, 12000, 48000.0), 48000)), true, 6, 12000, 48000.0 });
    cases.push_back ({ "digital silence", "silence.wav", bytes (pcm16Wav (silence (1, 24000), 48000)), true, 1, 24000, 48000.0 });
    cases.push_back ({ "full-scale square", "square.wav", bytes (pcm16Wav (squareWave (1, 24000, 48000.0, 441.0), 48000)), true, 1, 24000, 48000.0 });
    {
        auto audio = speech (1, 24000, 48000.0);
        for (int i = 0; i < audio.getNumSamples(); ++i)
            audio.setSample (0, i, audio.getSample (0, i) * 0.5f + 0.4f);
        cases.push_back ({ "DC offset", "dc.wav", bytes (pcm16Wav (audio, 48000)), true, 1, 24000, 48000.0 });
    }
    cases.push_back ({ "AIFF with --input", "voice.aiff",
                       [speech] (const juce::File& f)
                       { juce::AiffAudioFormat fmt; writeWithFormat (fmt, f, speech (2, 22050, 44100.0), 44100.0, 16); },
                       true, 2, 22050, 44100.0, true });
    cases.push_back ({ "FLAC with --input", "voice.flac",
                       [speech] (const juce::File& f)
                       { juce::FlacAudioFormat fmt; writeWithFormat (fmt, f, speech (1, 24000, 48000.0), 48000.0, 24); },
                       true, 1, 24000, 48000.0, true });
    cases.push_back ({ "Ogg Vorbis with --input", "voice.ogg",
                       [speech] (const juce::File& f)
                       { juce::OggVorbisAudioFormat fmt; writeWithFormat (fmt, f, speech (2, 24000, 48000.0), 48000.0, 16, 4); },
                       true, 2, 24000, 48000.0, true });

    // Found by the fuzzer: a sample width field read as signed (-12528 bits);
    // a frame then spans no bytes and JUCE's read loop never advanced.
    cases.push_back ({ "AIFF with a negative sample width", "forged width.aiff",
                       bytes (aiffBytes (2, 1280, 0xcf10, {})), false, 0, 0, 0, true });
    cases.push_back ({ "AIFF with 4-bit mono samples", "nibbles.aiff", bytes (aiffBytes (1, 1280, 4, {})),
                       false, 0, 0, 0, true });

    cases.push_back ({ "'cue ' chunk claiming 4 GB", "cue liar.wav", bytes (withForgedCueChunk()), false, 0, 0, 0 });

    // Not files at all: a named pipe would block the worker on open for ever,
    // and a link to /dev/zero never ends (with the chain off it was copied until
    // the disk filled).
    auto fifo = [] (const juce::File& f) { ASSERT_EQ (mkfifo (f.getFullPathName().toRawUTF8(), 0644), 0); };
    auto zero = [] (const juce::File& f) { ASSERT_TRUE (juce::File ("/dev/zero").createSymbolicLink (f, true)); };
    cases.push_back ({ "named pipe", "pipe.wav", fifo, false, 0, 0, 0 });
    cases.push_back ({ "link to /dev/zero", "zeros.wav", zero, false, 0, 0, 0 });
    cases.push_back ({ "link to /dev/zero, chain off, denoise on", "zeros.wav", zero, false, 0, 0, 0, false,
                       { "--denoise", "true", "--eq", "false", "--compressor", "false" } });
    cases.push_back ({ "named pipe, chain off, denoise on", "pipe.wav", fifo, false, 0, 0, 0, false,
                       { "--denoise", "true", "--eq", "false", "--compressor", "false" } });

    auto named = [&] (const char* name)
    { cases.push_back ({ name, name, bytes (pcm16Wav (speech (1, 12000, 48000.0), 48000)), true, 1, 12000, 48000.0 }); };
    named ("with  two spaces .wav");
    named ("quote ' and \" double.wav");
    named ("accents \xc3\xa9\xc3\xa0\xc3\xbc \xc3\xb1 \xe6\x97\xa5\xe6\x9c\xac.wav");
    named ("-leading dash.wav");
    // 244 bytes, a legal name; its temporary and work-folder names once went past 255 bytes.
    static const std::string longName = []
    {
        std::string n;
        for (int i = 0; i < 80; ++i)
            n += "\xe6\x97\xa5";
        return n + ".wav";
    }();
    named (longName.c_str());
    return cases;
}

long baselinePeakKb()
{
    static const long peak = []
    {
        TempFolder tmp;
        tmp.file ("in").createDirectory();
        writeWav (tmp.file ("in/good.wav"), speechLike (1, goodFrames, goodRate, 3), goodRate);
        const auto r = runChild (engineExecutable(), { "--input-dir", path (tmp.file ("in")), "--output-dir",
                                                       path (tmp.file ("out")), "--denoise", "false" });
        EXPECT_EQ (r.exitCode, 0) << r.err;
        return r.peakRssKb;
    }();
    return peak;
}

void expectOutputMatches (const juce::File& output, const Case& c)
{
    const auto out = readAudio (output);
    ASSERT_TRUE (out.ok) << c.label << ": " << path (output);
    EXPECT_EQ (out.bitsPerSample, 16) << c.label;
    EXPECT_EQ (out.sampleRate, c.rate) << c.label;
    EXPECT_EQ (out.buffer.getNumChannels(), c.channels) << c.label;
    // A header that claims more than the file holds yields at most the frames
    // the file's bytes can hold (the header's own bytes read as a few more).
    EXPECT_GE (out.buffer.getNumSamples(), c.frames) << c.label;
    EXPECT_LE (out.buffer.getNumSamples(), c.frames + 64) << c.label;
}
} // namespace

TEST (HostileInputs, EachBesideAGoodFileNeverCrashesLosesOrHalfWrites)
{
    const long baseline = baselinePeakKb();
    ASSERT_GT (baseline, 0);

    for (const auto& c : hostileCases())
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto in = tmp.file ("in");
        const auto out = tmp.file ("out");
        in.createDirectory();
        const auto hostile = in.getChildFile (juce::CharPointer_UTF8 (c.fileName));
        c.make (hostile);
        if (! c.givenWithInput)
            writeWav (in.getChildFile ("good.wav"), speechLike (1, goodFrames, goodRate, 3), goodRate);
        const auto before = snapshot (in);

        const auto output = out.getChildFile (hostile.getFileNameWithoutExtension() + ".wav");
        std::vector<std::string> args = c.givenWithInput
                                            ? std::vector<std::string> { "--input", path (hostile), "--output", path (output) }
                                            : std::vector<std::string> { "--input-dir", path (in), "--output-dir", path (out) };
        args.push_back ("--denoise");
        args.push_back ("false");
        args.insert (args.end(), c.extraArgs.begin(), c.extraArgs.end()); // later values win
        ChildOptions options;
        options.timeoutSeconds = 60;
        const auto r = runChild (engineExecutable(), args, options);

        const int files = c.givenWithInput ? 1 : 2;
        const int failed = c.expectOk ? 0 : 1;
        EXPECT_EQ (r.exitCode, c.expectOk ? 0 : 2) << r.err;
        EXPECT_EQ (r.out, summaryLine (files - failed, failed)) << r.err;
        EXPECT_TRUE (snapshot (in) == before) << "an input changed";
        EXPECT_TRUE (partialFiles (tmp.path()).empty()) << partialFiles (tmp.path()).front();
        // A failed call may leave its work folder for inspection; these fail
        // before anything is written there.
        for (auto& w : workFolders (tmp.path()))
        {
            EXPECT_FALSE (c.expectOk) << w;
            EXPECT_TRUE (juce::File (w).findChildFiles (juce::File::findFiles, true, "*").isEmpty()) << w;
        }

        if (c.expectOk)
        {
            expectOutputMatches (output, c);
            EXPECT_TRUE (out.getChildFile ("_stage0_prefiltered.wav").existsAsFile());
        }
        else
        {
            EXPECT_FALSE (output.exists());
            EXPECT_TRUE (r.errContains ("[Error] Failed processing " + hostile.getFileName().toStdString() + ": ")) << r.err;
        }
        if (! c.givenWithInput)
        {
            EXPECT_TRUE (out.getChildFile ("good.wav").existsAsFile());
        }

        // Every stage together may hold a few copies of the real audio, never
        // what a header claims.
        const long realKb = (long) c.channels * c.frames * (long) sizeof (float) / 1024;
        const long allowedKb = baseline + 32 * 1024 + 16 * realKb + sanitizerSlackKb;
        EXPECT_LE (r.peakRssKb, allowedKb) << "peak " << r.peakRssKb << " KiB, baseline " << baseline << " KiB";
        std::cout << "[ peak RSS ] " << c.label << ": " << r.peakRssKb << " KiB (baseline " << baseline << " KiB)\n";
    }
}

// The option parser takes values by position, so a relative name with a
// leading dash is a file name, not an option.
TEST (HostileInputs, RelativeNameWithLeadingDashGivenWithInput)
{
    TempFolder tmp;
    writeWav (tmp.file ("-dash.wav"), speechLike (1, goodFrames, goodRate, 4), goodRate);
    const auto before = snapshot (tmp.path());
    ChildOptions options;
    options.workingDir = path (tmp.path());
    const auto r = runChild (engineExecutable(), { "--input", "-dash.wav", "--output", "-out.wav", "--denoise", "false" },
                             options);
    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_EQ (r.out, summaryLine (1, 0));
    EXPECT_EQ (snapshot (tmp.path()).at ("-dash.wav"), before.at ("-dash.wav"));
    EXPECT_TRUE (readAudio (tmp.file ("-out.wav")).ok);
}

// Inputs the fuzzer found, kept as bytes built here: each is a corrupt header
// that must fail to read, without a large allocation, a hang or a crash.
TEST (HostileInputs, FuzzerFindingsFailCleanly)
{
    struct Finding
    {
        const char* label;
        Bytes bytes;
    };
    std::vector<Finding> findings;
    {
        WavSpec s;
        s.formatTag = 3;
        s.bits = 32;
        s.channels = 0x8001; // read by JUCE as -32767
        findings.push_back ({ "negative channel count", wavBytes (s, Bytes (256, 0)) });
    }
    findings.push_back ({ "negative sample width, AIFF", aiffBytes (2, 1280, 0xcf10, {}) });
    findings.push_back ({ "metadata chunk declaring 4 GB", withForgedCueChunk() });

    TempFolder tmp;
    for (auto& f : findings)
    {
        const auto file = tmp.file (f.bytes[0] == 'F' ? "finding.aiff" : "finding.wav");
        writeBytes (file, f.bytes);
        const auto r = readAudioFile (file);
        if (r.ok())
            EXPECT_LE ((juce::int64) r.buffer.getNumChannels() * r.buffer.getNumSamples(), (juce::int64) f.bytes.size())
                << f.label;
        else
            EXPECT_EQ (r.buffer.getNumChannels(), 0) << f.label;
        EXPECT_FALSE (r.ok()) << f.label << ": a corrupt header must fail, not be half read";
    }
}

// A file that really is as big as it says (sparse here, so it costs no disk)
// but whose samples would take most of the memory: refused before any
// allocation, so it fails alone instead of the whole run being killed.
// Reading a whole file into memory refuses one whose samples would fill more
// than half of it, before allocating. (The engine itself streams and needs no
// such bound; this is the whole-file read that tests and tools use.)
TEST (HostileInputs, AudioBeyondHalfTheMemoryIsRefusedByTheWholeFileReadBeforeAllocating)
{
    TempFolder tmp;
    const auto big = tmp.file ("four gigabytes.wav");
    WavSpec s;
    s.bits = 8;
    s.channels = 2;
    s.declaredDataBytes = 0xfffffff0u; // 2147483640 frames: 17 GB of float samples
    writeBytes (big, wavBytes (s, {}));
    const auto header = readBytes (big);
    std::filesystem::resize_file (path (big), header.size() + 0xfffffff0u);

    const auto memoryBytes = (juce::int64) juce::SystemStats::getMemorySizeInMegabytes() * 1024 * 1024;
    if (memoryBytes / 2 >= (juce::int64) 2147483640 * 2 * 4)
        GTEST_SKIP() << "this machine could hold the samples";

    const auto read = readAudioFile (big);
    EXPECT_EQ (read.status, AudioReadResult::Status::tooLong);
    EXPECT_EQ (read.buffer.getNumChannels(), 0);
    EXPECT_TRUE (read.message.startsWith ("Audio file too large for this machine's memory (16383 MB of samples, "))
        << read.message;
    EXPECT_EQ (big.getSize(), (juce::int64) header.size() + 0xfffffff0u);
}

// A recorder that stops without finishing its file (a crash, a pulled cable, a
// full card) leaves the header it wrote at the start, with sizes of 0, and the
// recording after it. Such a take is mastered whole, as if it had been finished,
// and nothing else is read as audio.
TEST (HostileInputs, UnfinishedRecordingsAreReadToTheirEnd)
{
    Bytes samples;
    {
        const auto tone = sine (1, goodFrames, goodRate, 440.0, 0.3f);
        for (int i = 0; i < goodFrames; ++i)
            put16 (samples, (std::uint32_t) (std::uint16_t) (std::int16_t) std::lround (tone.getSample (0, i) * 32767.0f));
    }
    const Bytes intact = wavBytes (WavSpec {}, samples);
    constexpr std::size_t riffSizeAt = 4, dataSizeAt = 40; // plain 16-byte format chunk
    auto withSizes = [&] (std::uint32_t riffSize, std::uint32_t dataSize, Bytes tail = {})
    {
        Bytes b = intact;
        std::memcpy (b.data() + riffSizeAt, &riffSize, 4);
        std::memcpy (b.data() + dataSizeAt, &dataSize, 4);
        b.insert (b.end(), tail.begin(), tail.end());
        return b;
    };

    TempFolder tmp;
    writeBytes (tmp.file ("intact.wav"), intact);
    const auto reference = readAudioFile (tmp.file ("intact.wav"));
    ASSERT_TRUE (reference.ok());
    ASSERT_EQ (reference.buffer.getNumSamples(), goodFrames);

    struct Case
    {
        const char* label;
        Bytes bytes;
    };
    const Case cases[] = {
        { "sizes never written", withSizes (0, 0) },
        { "sizes of an empty file", withSizes (36, 0) },
        { "sizes of a streaming writer", withSizes (0xffffffffu, 0xffffffffu) },
        { "cut in the middle of a frame", withSizes (36, 0, Bytes { 0x12 }) },
    };
    for (const auto& c : cases)
    {
        const auto file = tmp.file ("take.wav");
        writeBytes (file, c.bytes);
        const auto r = readAudioFile (file);
        ASSERT_TRUE (r.ok()) << c.label << ": " << r.message;
        ASSERT_EQ (r.buffer.getNumChannels(), 1) << c.label;
        ASSERT_EQ (r.buffer.getNumSamples(), goodFrames) << c.label;
        for (int i = 0; i < goodFrames; ++i)
            ASSERT_EQ (r.buffer.getSample (0, i), reference.buffer.getSample (0, i)) << c.label << ", sample " << i;
    }

    // An empty data chunk followed by another chunk inside a finished RIFF is an
    // empty recording: its neighbour is never taken for audio.
    {
        WavSpec empty;
        Bytes b = wavBytes (empty, {});
        putTag (b, "LIST");
        put32 (b, 8);
        putTag (b, "INFO");
        putTag (b, "ISFT");
        const std::uint32_t riffSize = (std::uint32_t) b.size() - 8;
        std::memcpy (b.data() + riffSizeAt, &riffSize, 4);
        const auto file = tmp.file ("empty.wav");
        writeBytes (file, b);
        const auto r = readAudioFile (file);
        ASSERT_TRUE (r.ok()) << r.message;
        EXPECT_EQ (r.buffer.getNumSamples(), 0);
    }

    // Through the program: the unfinished take is mastered exactly as the finished one.
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeBytes (in.getChildFile ("finished.wav"), intact);
    writeBytes (in.getChildFile ("unfinished.wav"), withSizes (0, 0));
    const auto run = runChild (engineExecutable(), { "--input-dir", path (in), "--output-dir", path (tmp.file ("out")),
                                                     "--denoise", "false" });
    EXPECT_EQ (run.exitCode, 0) << run.err;
    EXPECT_EQ (run.out, summaryLine (2, 0));
    const auto finished = readBytes (tmp.file ("out/finished.wav"));
    EXPECT_GT (finished.size(), (std::size_t) goodFrames * 2);
    EXPECT_TRUE (finished == readBytes (tmp.file ("out/unfinished.wav")));
    EXPECT_TRUE (readBytes (in.getChildFile ("unfinished.wav")) == withSizes (0, 0)) << "the input is left as it was";
}
