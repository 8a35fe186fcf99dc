#include "support/TestSupport.h"

#include <cmath>
#include <fcntl.h>
#include <spawn.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char** environ;

namespace tessaloom
{

namespace testing_support
{
TempFolder::TempFolder()
{
    folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                 .getChildFile ("tessaloom-test-" + juce::Uuid().toString().substring (0, 12));
    folder.createDirectory();
}

TempFolder::~TempFolder()
{
    if (std::getenv ("TESSALOOM_KEEP_TEST_FILES") == nullptr)
        folder.deleteRecursively();
}

juce::AudioBuffer<float> sine (int channels, int samples, double sampleRate, double frequencyHz, float amplitude,
                               double phaseRadians)
{
    juce::AudioBuffer<float> b (channels, samples);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            b.setSample (c, i, (float) (amplitude * std::sin (2.0 * juce::MathConstants<double>::pi * frequencyHz * i / sampleRate + phaseRadians)));
    return b;
}

juce::AudioBuffer<float> whiteNoise (int channels, int samples, float rmsLevel, juce::int64 seed)
{
    juce::Random rng (seed);
    juce::AudioBuffer<float> b (channels, samples);
    // Uniform in [-1, 1] has RMS 1/sqrt(3).
    const float scale = rmsLevel * std::sqrt (3.0f);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            b.setSample (c, i, scale * (rng.nextFloat() * 2.0f - 1.0f));
    return b;
}

juce::AudioBuffer<float> silence (int channels, int samples)
{
    juce::AudioBuffer<float> b (channels, samples);
    b.clear();
    return b;
}

juce::AudioBuffer<float> pinkNoise (int channels, int samples, float rms, juce::int64 seed)
{
    juce::AudioBuffer<float> b (channels, samples);
    juce::Random rng (seed);
    for (int c = 0; c < channels; ++c)
    {
        double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0, sum = 0;
        float* d = b.getWritePointer (c);
        for (int i = 0; i < samples; ++i)
        {
            const double white = rng.nextDouble() * 2.0 - 1.0;
            b0 = 0.99886 * b0 + white * 0.0555179;
            b1 = 0.99332 * b1 + white * 0.0750759;
            b2 = 0.96900 * b2 + white * 0.1538520;
            b3 = 0.86650 * b3 + white * 0.3104856;
            b4 = 0.55000 * b4 + white * 0.5329522;
            b5 = -0.7616 * b5 - white * 0.0168980;
            const double v = b0 + b1 + b2 + b3 + b4 + b5 + b6 + white * 0.5362;
            b6 = white * 0.115926;
            d[i] = (float) v;
            sum += v * v;
        }
        const double scale = rms / std::sqrt (sum / std::max (samples, 1));
        juce::FloatVectorOperations::multiply (d, (float) scale, samples);
    }
    return b;
}

juce::AudioBuffer<float> speechLike (int channels, int samples, double sampleRate, juce::int64 seed)
{
    juce::Random rng (seed);
    juce::AudioBuffer<float> b (channels, samples);
    b.clear();
    const double twoPi = 2.0 * juce::MathConstants<double>::pi;

    int pos = 0;
    while (pos < samples)
    {
        // A syllable of 120-300 ms, then a gap of 40-400 ms (a longer pause now and then).
        const int syllable = (int) (sampleRate * (0.12 + 0.18 * rng.nextDouble()));
        const int gap = (int) (sampleRate * (rng.nextInt (5) == 0 ? 0.5 + 0.4 * rng.nextDouble() : 0.04 + 0.12 * rng.nextDouble()));
        const double f0 = 110.0 + 90.0 * rng.nextDouble();
        const float level = 0.05f + 0.2f * rng.nextFloat();
        const bool sibilant = rng.nextInt (4) == 0;

        for (int i = 0; i < syllable && pos + i < samples; ++i)
        {
            const double t = (double) i / sampleRate;
            const double env = std::sin (juce::MathConstants<double>::pi * i / syllable);
            double v = 0.0;
            for (int h = 1; h <= 12; ++h)
                v += std::sin (twoPi * f0 * h * t) / h;
            v *= 0.4;
            if (sibilant)
                v += 0.6 * (rng.nextDouble() * 2.0 - 1.0) * std::sin (twoPi * 6000.0 * t);
            for (int c = 0; c < channels; ++c)
                b.addSample (c, pos + i, (float) (level * env * v * (c == 0 ? 1.0 : 0.8)));
        }
        pos += syllable + gap;
    }

    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            b.addSample (c, i, 0.002f * (rng.nextFloat() * 2.0f - 1.0f));
    return b;
}

void writeWav (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate, int bitsPerSample)
{
    file.deleteFile();
    std::unique_ptr<juce::OutputStream> stream (file.createOutputStream());
    ASSERT_NE (stream, nullptr) << file.getFullPathName();
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatWriter> writer (
        wav.createWriterFor (stream.get(), sampleRate, (unsigned) buffer.getNumChannels(), bitsPerSample, {}, 0));
    ASSERT_NE (writer, nullptr);
    stream.release();
    ASSERT_TRUE (writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples()));
}

LoadedAudio readAudio (const juce::File& file)
{
    LoadedAudio out;
    juce::AudioFormatManager fm;
    fm.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (fm.createReaderFor (file));
    if (reader == nullptr)
        return out;
    out.ok = true;
    out.sampleRate = reader->sampleRate;
    out.bitsPerSample = (int) reader->bitsPerSample;
    out.floatingPoint = reader->usesFloatingPointData;
    out.formatName = reader->getFormatName();
    out.buffer.setSize ((int) reader->numChannels, (int) reader->lengthInSamples);
    reader->read (&out.buffer, 0, (int) reader->lengthInSamples, 0, true, true);
    return out;
}

juce::StringArray namesIn (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
        names.add (f.getFileName());
    names.sort (false);
    return names;
}

float peakOf (const juce::AudioBuffer<float>& buffer)
{
    float p = 0.0f;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        p = std::max (p, buffer.getMagnitude (c, 0, buffer.getNumSamples()));
    return p;
}

std::vector<std::string> ProcessOutput::errLines() const
{
    std::vector<std::string> lines;
    std::istringstream in (err);
    for (std::string line; std::getline (in, line);)
        lines.push_back (line);
    return lines;
}

const char* engineExecutable()
{
    return TESSALOOM_ENGINE_EXE;
}

ProcessOutput runProcess (const std::string& executable, const std::vector<std::string>& arguments)
{
    ProcessOutput result;
    TempFolder capture;
    const auto outPath = capture.file ("stdout").getFullPathName().toStdString();
    const auto errPath = capture.file ("stderr").getFullPathName().toStdString();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen (&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen (&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<char*> argv;
    argv.push_back (const_cast<char*> (executable.c_str()));
    for (auto& a : arguments)
        argv.push_back (const_cast<char*> (a.c_str()));
    argv.push_back (nullptr);

    // Default dispositions for the interrupts, however the suite was started
    // (a background job ignores SIGINT and SIGHUP, and exec keeps that).
    posix_spawnattr_t attributes;
    posix_spawnattr_init (&attributes);
    sigset_t defaults;
    sigemptyset (&defaults);
    for (const int signalNumber : { SIGINT, SIGHUP, SIGTERM })
        sigaddset (&defaults, signalNumber);
    posix_spawnattr_setsigdefault (&attributes, &defaults);
    posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int rc = posix_spawn (&pid, executable.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy (&actions);
    posix_spawnattr_destroy (&attributes);
    if (rc != 0)
        return result;

    int status = 0;
    waitpid (pid, &status, 0);
    result.exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);

    auto slurp = [] (const std::string& path)
    {
        std::ifstream f (path, std::ios::binary);
        std::ostringstream ss;
        ss << f.rdbuf();
        return ss.str();
    };
    result.out = slurp (outPath);
    result.err = slurp (errPath);
    return result;
}

ProcessOutput runEngineExe (const std::vector<std::string>& arguments)
{
    return runProcess (engineExecutable(), arguments);
}
} // namespace testing_support

} // namespace tessaloom
