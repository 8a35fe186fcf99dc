// The report's output loudness, the loudness finish and so the delivery
// checks weigh the channels as BS.1770 does where the layout is known (5.1:
// surrounds 1.41, the LFE left out), and every channel 1.0 where it is not;
// compared with libebur128 told the same layout.

#include "support/IndependentMeter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <ebur128.h>

using namespace tessaloom;

using namespace testing_support;

namespace
{
std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

// libebur128's integrated loudness of a file with each channel given its role.
double libebur128Lufs (const juce::AudioBuffer<float>& audio, double rate, const std::vector<int>& roles)
{
    const int channels = audio.getNumChannels(), frames = audio.getNumSamples();
    ebur128_state* st = ebur128_init ((unsigned) channels, (unsigned long) rate, EBUR128_MODE_I);
    for (int c = 0; c < channels; ++c)
        ebur128_set_channel (st, (unsigned) c, roles[(size_t) c]);
    std::vector<float> interleaved ((size_t) channels * (size_t) frames);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            interleaved[(size_t) i * (size_t) channels + (size_t) c] = audio.getSample (c, i);
    ebur128_add_frames_float (st, interleaved.data(), (size_t) frames);
    double lufs = -144.0;
    ebur128_loudness_global (st, &lufs);
    ebur128_destroy (&st);
    return lufs;
}

// Speech on every channel at its own level; the LFE channel (index 3 of six)
// a loud 50 Hz tone, so whether it counts shows.
juce::AudioBuffer<float> program (int channels, int frames, double rate, const std::vector<float>& gains)
{
    juce::AudioBuffer<float> audio (channels, frames);
    for (int c = 0; c < channels; ++c)
    {
        const auto voice = (channels == 6 && c == 3) ? sine (1, frames, rate, 50.0, 1.0f) : speechLike (1, frames, rate, 11 + c);
        audio.copyFrom (c, 0, voice, 0, 0, frames);
        audio.applyGain (c, 0, frames, gains[(size_t) c]);
    }
    return audio;
}

double reportedOutputLufs (const juce::File& report)
{
    const auto line = juce::JSON::parse (report.loadFileAsString().upToFirstOccurrenceOf ("\n", false, false));
    return (double) line["output"]["integratedLufs"];
}
} // namespace

TEST (ChannelWeights, TheReportAndTheFinishWeighTheChannelsAsBs1770)
{
    const int L = EBUR128_LEFT, R = EBUR128_RIGHT, C = EBUR128_CENTER, U = EBUR128_UNUSED, Ls = EBUR128_LEFT_SURROUND,
              Rs = EBUR128_RIGHT_SURROUND;
    struct Case
    {
        const char* label;
        int channels;
        std::vector<float> gains;
        std::vector<int> roles; // how libebur128 is told to weigh each channel
        std::vector<std::string> options;
    };
    const Case cases[] = {
        { "5.1, peak trim", 6, { 0.05f, 0.05f, 0.05f, 0.5f, 0.3f, 0.3f }, { L, R, C, U, Ls, Rs }, {} },
        { "5.1, loudness finish onto -20", 6, { 0.05f, 0.05f, 0.05f, 0.5f, 0.3f, 0.3f }, { L, R, C, U, Ls, Rs },
          { "--finish", "loudness", "--target-lufs", "-20" } },
        // Eight channels carry no layout the engine knows: each weighs 1.0.
        { "8 channels, layout not known", 8, { 0.05f, 0.05f, 0.05f, 0.3f, 0.3f, 0.3f, 0.1f, 0.1f }, { L, L, L, L, L, L, L, L }, {} },
        { "stereo", 2, { 0.1f, 0.2f }, { L, R }, {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const double rate = 48000.0;
        writeWav (tmp.file ("in.wav"), program (c.channels, (int) rate * 6, rate, c.gains), rate);
        const auto output = tmp.file ("out/in.wav");
        std::vector<std::string> args { "--input", path (tmp.file ("in.wav")), "--output", path (output), "--denoise", "false",
                                        "--report", path (tmp.file ("r.jsonl")) };
        args.insert (args.end(), c.options.begin(), c.options.end());

        const auto r = runEngineExe (args);

        ASSERT_EQ (r.exitCode, 0) << r.err;
        const auto written = readAudio (output);
        ASSERT_TRUE (written.ok);
        const double independent = libebur128Lufs (written.buffer, rate, c.roles);
        EXPECT_NEAR (reportedOutputLufs (tmp.file ("r.jsonl")), independent, 0.1) << "the report's output loudness";
        if (! c.options.empty())
        {
            EXPECT_NEAR (independent, -20.0, 0.5) << "the loudness finish landed on its target";
        }
    }
}
