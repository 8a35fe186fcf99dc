// The engine with the bundled denoiser in DeepFilterNet3's place: a noisy
// 44.1 kHz recording goes to 48 kHz and back through FFmpeg, and the pauses of
// the master are measurably quieter than without noise reduction.
#include "support/TestSupport.h"

#include <cmath>

using namespace tessaloom;

using namespace testing_support;

namespace
{
// RMS in dB of one channel between two times.
double rmsDb (const juce::AudioBuffer<float>& b, double rate, double from, double to)
{
    const int start = (int) (from * rate), end = (int) (to * rate);
    double sum = 0.0;
    for (int i = start; i < end; ++i)
        sum += (double) b.getSample (0, i) * b.getSample (0, i);
    return 10.0 * std::log10 (sum / (end - start) + 1e-30);
}
} // namespace

TEST (DenoiseEngine, BundledDenoiserLowersTheNoiseInPauses)
{
    TempFolder tmp;
    const double rate = 44100.0;
    // One second of room noise, then speech in the same noise.
    auto audio = whiteNoise (1, (int) (6 * rate), 0.01f, 3);
    const auto speech = speechLike (1, (int) (5 * rate), rate, 11);
    audio.addFrom (0, (int) rate, speech, 0, 0, speech.getNumSamples());
    const auto input = tmp.file ("noisy take.wav");
    writeWav (input, audio, rate);

    auto denoised = runEngineExe ({ "--input", input.getFullPathName().toStdString(), "--output",
                                    tmp.file ("dn/noisy take.wav").getFullPathName().toStdString(),
                                    "--deepfilter-path", TESSALOOM_DENOISE_EXE, "--ffmpeg-path", TESSALOOM_FFMPEG });
    ASSERT_EQ (denoised.exitCode, 0) << denoised.err;
    EXPECT_TRUE (denoised.errContains ("[AudioPipeline] Denoise complete. Engine: DeepFilterNet3\n"));
    EXPECT_TRUE (denoised.errContains ("[AudioPipeline/ASR Hook] Exported ASR feed to: noisy take_asr_feed.wav\n"));
    auto feed = readAudio (tmp.file ("dn/noisy take_asr_feed.wav"));
    ASSERT_TRUE (feed.ok);
    EXPECT_EQ (feed.sampleRate, rate);
    EXPECT_EQ (feed.buffer.getNumSamples(), audio.getNumSamples());

    auto plain = runEngineExe ({ "--input", input.getFullPathName().toStdString(), "--output",
                                 tmp.file ("plain/noisy take.wav").getFullPathName().toStdString(), "--denoise", "false" });
    ASSERT_EQ (plain.exitCode, 0) << plain.err;

    const auto a = readAudio (tmp.file ("dn/noisy take.wav"));
    const auto b = readAudio (tmp.file ("plain/noisy take.wav"));
    ASSERT_TRUE (a.ok && b.ok);
    const double pauseDenoised = rmsDb (a.buffer, rate, 0.2, 0.9);
    const double pausePlain = rmsDb (b.buffer, rate, 0.2, 0.9);
    RecordProperty ("pause_denoised_db", std::to_string (pauseDenoised));
    RecordProperty ("pause_plain_db", std::to_string (pausePlain));
    EXPECT_LT (pauseDenoised, pausePlain - 6.0) << pauseDenoised << " vs " << pausePlain;
}
