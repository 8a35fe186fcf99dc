// Properties of the spectral suppressor: what it must leave alone, how far it may go, and how it
// treats channels, levels and gaps.
#include "denoise/StftDenoiser.h"
#include "support/DenoiseSignals.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>

using namespace tessaloom;

using namespace testing_support;
using namespace denoise_testing;
using tessaloom::denoise::denoiseBuffer;
using tessaloom::denoise::designDenoiser;

namespace
{
constexpr double fs = 48000.0;

juce::AudioBuffer<float> copyOf (const juce::AudioBuffer<float>& b)
{
    juce::AudioBuffer<float> c;
    c.makeCopyOf (b);
    return c;
}

/** White noise through a one-pole low-pass at 15 Hz: power falling as 1/f^2 above it. */
juce::AudioBuffer<float> rumble (int samples, float rms, juce::int64 seed)
{
    auto b = whiteNoise (1, samples, 1.0f, seed);
    float* d = b.getWritePointer (0);
    const double a = std::exp (-2.0 * 3.14159265358979 * 15.0 / fs);
    double y = 0.0;
    for (int i = 0; i < samples; ++i)
        d[i] = (float) (y = a * y + (1.0 - a) * d[i]);
    b.applyGain (rms / (float) std::sqrt (std::pow (10.0, levelDb (b, 0, 0, samples) / 10.0)));
    return b;
}

juce::AudioBuffer<float> noisySpeech (int channels, int samples, float noiseRms)
{
    auto x = speechLike (channels, samples, fs, 3);
    const auto n = pinkNoise (channels, samples, noiseRms, 5);
    for (int c = 0; c < channels; ++c)
        x.addFrom (c, 0, n, c, 0, samples);
    return x;
}

double correlationAtLag (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b, int lag)
{
    double sum = 0.0;
    const float* x = a.getReadPointer (0);
    const float* y = b.getReadPointer (0);
    for (int i = std::max (0, -lag); i < a.getNumSamples() && i + lag < b.getNumSamples(); ++i)
        sum += (double) x[i] * y[i + lag];
    return sum;
}
} // namespace

TEST (DenoiseDesign, FrameAndLimit)
{
    const auto d48 = designDenoiser (48000.0, 12.0f);
    EXPECT_EQ (d48.fftSize, 2048);
    EXPECT_EQ (d48.hop, 512);
    EXPECT_NEAR (20.0 * std::log10 (d48.gainFloor), -12.0, 1e-9);
    EXPECT_EQ (designDenoiser (44100.0, 12.0f).fftSize, 2048);
    EXPECT_EQ (designDenoiser (16000.0, 12.0f).fftSize, 512);
    EXPECT_EQ (designDenoiser (48000.0, 0.0f).gainFloor, 1.0);
    // No limit still keeps an internal floor.
    EXPECT_NEAR (20.0 * std::log10 (designDenoiser (48000.0, 100.0f).gainFloor), -25.0, 1e-9);
    EXPECT_NEAR (20.0 * std::log10 (designDenoiser (48000.0, 1000.0f).gainFloor), -25.0, 1e-9);
}

TEST (Denoise, LimitZeroReturnsTheInput)
{
    // Long enough for several of the backward tracker's blocks and a wrap of the output ring.
    const auto input = noisySpeech (2, (int) (33 * fs) + 123, 0.02f);
    auto output = copyOf (input);
    denoiseBuffer (output, fs, 0.0f);
    ASSERT_EQ (output.getNumSamples(), input.getNumSamples());
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < input.getNumSamples(); ++i)
            ASSERT_NEAR (output.getSample (c, i), input.getSample (c, i), 2.0e-6f) << "channel " << c << " sample " << i;

    // A limit just above 0 dB changes the level by at most that much.
    auto slight = copyOf (input);
    denoiseBuffer (slight, fs, 0.1f);
    EXPECT_GT (snrDb (input, slight, 0), 38.0);
}

TEST (Denoise, ZeroLagAndSameLength)
{
    for (int length : { 1, 100, 2047, 2049, (int) fs + 17 })
    {
        const auto input = noisySpeech (1, length, 0.01f);
        auto output = copyOf (input);
        denoiseBuffer (output, fs, 12.0f);
        EXPECT_EQ (output.getNumSamples(), length);
    }

    const auto input = noisySpeech (1, (int) (2 * fs), 0.01f);
    auto output = copyOf (input);
    denoiseBuffer (output, fs, 12.0f);
    const double atZero = correlationAtLag (input, output, 0);
    for (int lag : { -2048, -1024, -512, -64, -2, -1, 1, 2, 64, 512, 1024, 2048 })
        EXPECT_LT (correlationAtLag (input, output, lag), 0.9 * atZero) << "lag " << lag;
}

TEST (Denoise, DigitalSilenceStaysSilent)
{
    auto buffer = silence (2, (int) (2 * fs));
    denoiseBuffer (buffer, fs, 12.0f);
    EXPECT_EQ (peakOf (buffer), 0.0f);
}

TEST (Denoise, ScaleInvariant)
{
    const auto input = noisySpeech (1, (int) (4 * fs), 0.02f);
    auto loud = copyOf (input);
    auto quiet = copyOf (input);
    quiet.applyGain (0.1f);
    denoiseBuffer (loud, fs, 12.0f);
    denoiseBuffer (quiet, fs, 12.0f);
    const int n = input.getNumSamples();
    EXPECT_NEAR (levelDb (quiet, 0, 0, n) - levelDb (loud, 0, 0, n), -20.0, 0.01);
    loud.applyGain (0.1f);
    EXPECT_GT (snrDb (loud, quiet, 0), 60.0);
}

TEST (Denoise, ChannelsShareOneGain)
{
    const int n = (int) (3 * fs);
    const auto a = noisySpeech (1, n, 0.02f);
    const auto b = pinkNoise (1, n, 0.05f, 99);

    juce::AudioBuffer<float> same (2, n);
    same.copyFrom (0, 0, a, 0, 0, n);
    same.copyFrom (1, 0, a, 0, 0, n);
    denoiseBuffer (same, fs, 12.0f);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ (same.getSample (0, i), same.getSample (1, i)) << "sample " << i;

    juce::AudioBuffer<float> ab (2, n), ba (2, n);
    ab.copyFrom (0, 0, a, 0, 0, n);
    ab.copyFrom (1, 0, b, 0, 0, n);
    ba.copyFrom (0, 0, b, 0, 0, n);
    ba.copyFrom (1, 0, a, 0, 0, n);
    denoiseBuffer (ab, fs, 12.0f);
    denoiseBuffer (ba, fs, 12.0f);
    for (int i = 0; i < n; ++i)
    {
        ASSERT_EQ (ab.getSample (0, i), ba.getSample (1, i)) << "sample " << i;
        ASSERT_EQ (ab.getSample (1, i), ba.getSample (0, i)) << "sample " << i;
    }
}

TEST (Denoise, PureNoiseComesDownByAboutTheLimit)
{
    enum class Kind { white, pink, rumble };
    struct Case
    {
        const char* label;
        float limitDb;
        Kind kind;
    };
    // Rumble (room, traffic, handling) puts most of its power into the lowest bins, DC included.
    const Case cases[] = { { "white, 6 dB", 6.0f, Kind::white },   { "white, 12 dB", 12.0f, Kind::white },
                           { "white, 15 dB", 15.0f, Kind::white }, { "pink, 6 dB", 6.0f, Kind::pink },
                           { "pink, 12 dB", 12.0f, Kind::pink },   { "pink, 15 dB", 15.0f, Kind::pink },
                           { "rumble, 12 dB", 12.0f, Kind::rumble } };
    const int n = (int) (6 * fs);
    for (const auto& c : cases)
    {
        const auto input = c.kind == Kind::pink     ? pinkNoise (1, n, 0.05f, 21)
                           : c.kind == Kind::rumble ? rumble (n, 0.05f, 21)
                                                    : whiteNoise (1, n, 0.05f, 21);
        auto output = copyOf (input);
        denoiseBuffer (output, fs, c.limitDb);
        // After the first second, where the tracker settles. Falling short of the limit by more
        // than a decibel means the noise estimate sits under the noise somewhere in the band.
        const double drop = levelDb (input, 0, (int) fs, n - (int) fs) - levelDb (output, 0, (int) fs, n - (int) fs);
        EXPECT_GE (drop, c.limitDb - 1.0) << c.label;
        EXPECT_LE (drop, c.limitDb + 0.5) << c.label;
    }
}

TEST (Denoise, SuppressionHoldsAfterADigitalSilenceGap)
{
    // 4 s noise, 2 s exact zeros, 4 s noise.
    const int second = (int) fs;
    auto buffer = pinkNoise (1, 10 * second, 0.03f, 31);
    buffer.clear (0, 4 * second, 2 * second);
    const auto input = copyOf (buffer);
    denoiseBuffer (buffer, fs, 12.0f);

    // The gap's frames pass through, apart from the edges' overlap.
    EXPECT_EQ (levelDb (buffer, 0, 4 * second + 2048, 2 * second - 4096), -300.0);
    const double drop = levelDb (input, 0, 6 * second, 2 * second) - levelDb (buffer, 0, 6 * second, 2 * second);
    EXPECT_GE (drop, 8.0);
}

TEST (Denoise, FollowsNoiseThatStartsLater)
{
    // Quiet for 3 s (-70 dBFS), then noise 40 dB louder: no "noise profile from the start".
    const int second = (int) fs;
    auto buffer = pinkNoise (1, 10 * second, 0.03f, 41);
    buffer.applyGain (0, 0, 3 * second, 0.01f);
    const auto input = copyOf (buffer);
    denoiseBuffer (buffer, fs, 12.0f);
    // Measured from 3 s after the onset; the tracker needs about 2 s to climb 40 dB.
    const double drop = levelDb (input, 0, 6 * second, 4 * second) - levelDb (buffer, 0, 6 * second, 4 * second);
    EXPECT_GE (drop, 9.0);
}

TEST (Denoise, NoiseThatRisesIsSuppressedFromTheStart)
{
    // Noise that ramps up 30 dB in half a second (a fan switched on), early and 20 s in: the ramp
    // and the second after it come down nearly as far as steady noise does, in the first block of
    // the backward tracker and in a later one alike. A tracker that only looks back lets the
    // first second or two through.
    const int second = (int) fs;
    for (const int rampStart : { 4 * second, 20 * second })
    {
        const int n = rampStart + 6 * second;
        auto noise = pinkNoise (1, n, 0.03f, 47);
        float* d = noise.getWritePointer (0);
        for (int i = 0; i < n; ++i)
            d[i] *= (float) std::pow (10.0, -1.5 * std::clamp (1.0 - (i - rampStart) / (0.5 * second), 0.0, 1.0));
        auto buffer = copyOf (noise);
        denoiseBuffer (buffer, fs, 12.0f);
        const double drop = levelDb (noise, 0, rampStart, 3 * second / 2) - levelDb (buffer, 0, rampStart, 3 * second / 2);
        EXPECT_GE (drop, 9.0) << "ramp at " << rampStart / second << " s";
    }
}

TEST (Denoise, CleanHarmonicSpeechKeepsItsShape)
{
    // speechLike carries a faint noise bed (-57 dBFS); the syllables sit 30 dB or more above it.
    const auto input = speechLike (1, (int) (5 * fs), fs, 9);
    auto output = copyOf (input);
    denoiseBuffer (output, fs, 12.0f);
    EXPECT_GT (snrDb (input, output, 0), 20.0);
}

TEST (Denoise, CatchesABroadbandRiseWithinASecond)
{
    // Noise that steps up 40 dB mid-file is suppressed well before the 2 s lower bound would catch
    // it, in mono and in a linked stereo pair, at several levels.
    const int second = (int) fs;
    for (const float rms : { 0.003f, 0.03f, 0.2f })
    {
        for (const int channels : { 1, 2 })
        {
            auto buffer = pinkNoise (channels, 6 * second, rms, 43);
            for (int c = 0; c < channels; ++c)
                buffer.applyGain (c, 0, 3 * second, 0.01f);
            const auto input = copyOf (buffer);
            denoiseBuffer (buffer, fs, 12.0f);
            const double drop = levelDb (input, 0, 4 * second, 2 * second) - levelDb (buffer, 0, 4 * second, 2 * second);
            EXPECT_GE (drop, 7.5) << "rms " << rms << ", " << channels << " channel(s)";
        }
    }
}
