#pragma once

// The recordings the delivery finish is held to (tests/test_delivery_finish.cpp)
// and compared on with FFmpeg's loudnorm (bench/bench_delivery.cpp): mono and
// stereo, 44.1 and 48 kHz, quiet, loud, clipped, very dynamic, noisy, with
// hum, with clicks, a spoken voice from espeak-ng and a stepped sine. All made
// in code but the voice, which espeak-ng speaks at 22.05 kHz and this file
// resamples; without espeak-ng the voice rows are left out.

#include "support/TestSupport.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <functional>
#include <string>
#include <vector>

namespace tessaloom
{

namespace testing_support
{
struct CorpusFile
{
    std::string name;
    double sampleRate = 48000.0;
    juce::AudioBuffer<float> audio;
};

namespace corpus_detail
{
inline void scaleToPeak (juce::AudioBuffer<float>& b, float peak)
{
    const float p = peakOf (b);
    if (p > 0.0f)
        b.applyGain (peak / p);
}

// espeak-ng's voice, resampled from its 22.05 kHz to the rate asked; empty without espeak-ng.
inline juce::AudioBuffer<float> spoken (const std::string& text, const std::string& voice, double rate, int channels)
{
    TempFolder tmp;
    const auto wav = tmp.file ("voice.wav");
    const auto run = runProcess ("/usr/bin/espeak-ng", { "-v", voice, "-s", "150", "-w", wav.getFullPathName().toStdString(), text });
    if (run.exitCode != 0 || ! wav.existsAsFile())
        return {};
    const auto loaded = readAudio (wav);
    if (! loaded.ok)
        return {};
    const double ratio = loaded.sampleRate / rate;
    const int pause = (int) (rate * 0.6);
    const int spokenFrames = (int) (loaded.buffer.getNumSamples() / ratio);
    // The text twice, with pauses, so the gating sees speech and silence as in a real take.
    juce::AudioBuffer<float> out (channels, 2 * (spokenFrames + pause) + pause);
    out.clear();
    for (int take = 0; take < 2; ++take)
    {
        juce::LagrangeInterpolator interpolator;
        std::vector<float> resampled ((size_t) spokenFrames);
        interpolator.process (ratio, loaded.buffer.getReadPointer (0), resampled.data(), spokenFrames);
        const int at = pause + take * (spokenFrames + pause);
        for (int c = 0; c < channels; ++c)
        {
            // A second channel a little later and quieter, as from a second microphone.
            const int delay = c == 0 ? 0 : (int) (rate * 0.0004);
            const float gain = c == 0 ? 1.0f : 0.85f;
            for (int i = 0; i < spokenFrames && at + delay + i < out.getNumSamples(); ++i)
                out.setSample (c, at + delay + i, gain * resampled[(size_t) i]);
        }
    }
    return out;
}
} // namespace corpus_detail

// Every recording of the corpus, about 12 s each.
inline std::vector<CorpusFile> deliveryCorpus()
{
    using namespace corpus_detail;
    std::vector<CorpusFile> files;
    const auto add = [&] (const std::string& name, double rate, juce::AudioBuffer<float> audio)
    {
        if (audio.getNumSamples() > 0)
            files.push_back ({ name, rate, std::move (audio) });
    };
    const int s48 = 48000 * 12, s44 = 44100 * 12;

    auto speech = speechLike (1, s48, 48000.0, 7);
    scaleToPeak (speech, 0.5f);
    add ("speech, 48k mono", 48000.0, speech);

    auto stereo = speechLike (2, s44, 44100.0, 8);
    scaleToPeak (stereo, 0.5f);
    add ("speech, 44.1k stereo", 44100.0, stereo);


    auto loud = speechLike (2, s48, 48000.0, 10);
    scaleToPeak (loud, 0.99f);
    add ("loud, 48k stereo", 48000.0, loud);

    // Driven 16 dB into a hard clip, as an overloaded recorder leaves it: flat tops in the input.
    auto clipped = speechLike (1, s44, 44100.0, 11);
    scaleToPeak (clipped, 6.0f);
    for (int i = 0; i < s44; ++i)
        clipped.setSample (0, i, juce::jlimit (-0.95f, 0.95f, clipped.getSample (0, i)));
    add ("clipped, 44.1k mono", 44100.0, clipped);

    // A near and a far speaker in turns, 30 dB apart.
    auto dynamic = speechLike (1, s48, 48000.0, 12);
    scaleToPeak (dynamic, 0.9f);
    for (int i = 0; i < s48; ++i)
        if ((i / (48000 * 3)) % 2 == 1)
            dynamic.setSample (0, i, dynamic.getSample (0, i) * 0.0316f);
    add ("very dynamic, 48k mono", 48000.0, dynamic);

    auto noisy = speechLike (1, s48, 48000.0, 13);
    scaleToPeak (noisy, 0.4f);
    noisy.addFrom (0, 0, pinkNoise (1, s48, 0.02f, 5), 0, 0, s48);
    add ("noisy, 48k mono", 48000.0, noisy);

    auto hum = speechLike (1, s44, 44100.0, 14);
    scaleToPeak (hum, 0.4f);
    hum.addFrom (0, 0, sine (1, s44, 44100.0, 50.0, 0.03f), 0, 0, s44);
    add ("hum, 44.1k mono", 44100.0, hum);

    auto oneQuiet = speechLike (2, s48, 48000.0, 15);
    scaleToPeak (oneQuiet, 0.6f);
    oneQuiet.applyGain (1, 0, s48, 0.1f);
    add ("one quiet channel, 48k stereo", 48000.0, oneQuiet);

    // Clicks at full scale over speech: a dropped microphone, a plosive.
    auto clicks = speechLike (1, s48, 48000.0, 16);
    scaleToPeak (clicks, 0.3f);
    for (int at = 24000; at < s48; at += 48000 * 2)
        for (int k = 0; k < 24; ++k)
            clicks.setSample (0, at + k, (k % 2 == 0 ? 0.98f : -0.9f) * (1.0f - k / 24.0f));
    add ("clicks, 48k mono", 48000.0, clicks);

    // 1 kHz in 6 dB steps from -42 to -6 dBFS, 1.5 s each.
    juce::AudioBuffer<float> stepped (1, 48000 * 12);
    for (int i = 0; i < stepped.getNumSamples(); ++i)
    {
        const int step = std::min (7, i / 72000);
        const double amplitude = std::pow (10.0, (-42.0 + 6.0 * step) / 20.0);
        stepped.setSample (0, i, (float) (amplitude * std::sin (2.0 * juce::MathConstants<double>::pi * 1000.0 * i / 48000.0)));
    }
    add ("stepped sine, 48k mono", 48000.0, stepped);

    auto voice = spoken ("Steady loudness and clear speech: the quick brown fox jumps over the lazy dog, with pauses.",
                         "en", 44100.0, 1);
    scaleToPeak (voice, 0.5f);
    add ("espeak voice, 44.1k mono", 44100.0, voice);

    // A quiet take: peaks at -30 dBFS, the voice at about -50 LUFS.
    auto quiet = spoken ("Recorded far from the microphone, this take is quiet, and the finish has to raise it a long way.",
                         "en", 48000.0, 1);
    scaleToPeak (quiet, 0.0316f);
    add ("quiet voice, 48k mono", 48000.0, quiet);

    auto voice2 = spoken ("Chapter one. It was a bright cold day in April, and the clocks were striking thirteen.",
                          "en+f3", 48000.0, 2);
    scaleToPeak (voice2, 0.2f);
    add ("espeak voice, 48k stereo", 48000.0, voice2);
    return files;
}

// Runs of three or more equal samples at the buffer's peak magnitude, over every channel: what a clip leaves.
inline int plateausAtPeak (const juce::AudioBuffer<float>& b)
{
    const float peak = peakOf (b);
    int runs = 0;
    if (peak <= 0.0f)
        return 0;
    for (int c = 0; c < b.getNumChannels(); ++c)
    {
        int length = 0;
        for (int i = 0; i < b.getNumSamples(); ++i)
        {
            if (std::abs (b.getSample (c, i)) == peak && (length == 0 || b.getSample (c, i) == b.getSample (c, i - 1)))
                ++length;
            else
                length = std::abs (b.getSample (c, i)) == peak ? 1 : 0;
            if (length == 3)
                ++runs;
        }
    }
    return runs;
}
} // namespace testing_support

} // namespace tessaloom
