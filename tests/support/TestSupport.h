#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_core/juce_core.h>

#include "support/Loggers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include <string>
#include <vector>

namespace tessaloom
{

namespace testing_support
{
// A fresh folder under the system temp folder, removed with the object.
class TempFolder
{
public:
    TempFolder();
    ~TempFolder();
    const juce::File& path() const { return folder; }
    juce::File file (const juce::String& name) const { return folder.getChildFile (name); }

private:
    juce::File folder;
};

// 20 log10 of a linear amplitude, -600 dB for zero (and below 1e-30).
inline double toDb (double linear)
{
    return 20.0 * std::log10 (std::max (linear, 1.0e-30));
}

// ---- Signals (deterministic) --------------------------------------------
juce::AudioBuffer<float> sine (int channels, int samples, double sampleRate, double frequencyHz,
                               float amplitude, double phaseRadians = 0.0);
juce::AudioBuffer<float> whiteNoise (int channels, int samples, float rmsLevel, juce::int64 seed = 1);
juce::AudioBuffer<float> silence (int channels, int samples);
// Pink noise (Paul Kellet's refined filter over uniform white noise, within
// 0.05 dB of 1/f from 10 Hz to 20 kHz at 44.1 kHz), every channel scaled to the
// given RMS. Deterministic for a seed; the channels differ.
juce::AudioBuffer<float> pinkNoise (int channels, int samples, float rms, juce::int64 seed = 3);
// Speech-like test material: syllable bursts of harmonic tones with noise and
// pauses, plus a little background noise. Deterministic for a given seed.
juce::AudioBuffer<float> speechLike (int channels, int samples, double sampleRate, juce::int64 seed = 7);

// ---- Files ----------------------------------------------------------------
// Writes a WAV file with JUCE's writer: bitsPerSample 16, 24 or 32 (32 = float).
void writeWav (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate,
               int bitsPerSample = 16);

struct LoadedAudio
{
    bool ok = false;
    juce::AudioBuffer<float> buffer;
    double sampleRate = 0.0;
    int bitsPerSample = 0;
    bool floatingPoint = false;
    juce::String formatName;
};
LoadedAudio readAudio (const juce::File& file);

// The names of the files and folders directly in a folder, sorted.
juce::StringArray namesIn (const juce::File& folder);

// Peak of all channels (linear).
float peakOf (const juce::AudioBuffer<float>& buffer);

// ---- Running the built program -----------------------------------------
struct ProcessOutput
{
    int exitCode = -1;
    std::string out;
    std::string err;
    std::vector<std::string> errLines() const;
    bool errContains (const std::string& text) const { return err.find (text) != std::string::npos; }
};

// Runs the engine executable with these arguments (no shell between them and
// the program); stdout and stderr are captured apart.
ProcessOutput runEngineExe (const std::vector<std::string>& arguments);

// Runs any executable the same way.
ProcessOutput runProcess (const std::string& executable, const std::vector<std::string>& arguments);

const char* engineExecutable();
// Every line of a JSON Lines report, parsed, in the file's order; a line that is no JSON fails the test.
inline std::vector<juce::var> parsedReportLines (const juce::File& report)
{
    std::vector<juce::var> lines;
    for (const auto& text : juce::StringArray::fromLines (report.loadFileAsString().trimEnd()))
    {
        juce::var v;
        EXPECT_TRUE (juce::JSON::parse (text, v).wasOk()) << text;
        lines.push_back (v);
    }
    return lines;
}

} // namespace testing_support

} // namespace tessaloom
