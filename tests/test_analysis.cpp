// The offline analyzer: report, JSON and log text, driver log, each
// measurement's values and edge cases, and the fused driver paths against the
// plain ones.

#include "analysis/AnalysisLog.h"
#include "analysis/LevelScan.h"
#include "analysis/TiltAndHum.h"
#include "support/WholeBufferAnalysis.h"
#include "support/AnalysisTestSupport.h"

#include <gtest/gtest.h>

#include <limits>

using namespace tessaloom;

using namespace testing_support;
using namespace analysis_testing;

namespace
{
std::string text (const juce::String& s) { return s.toStdString(); }

std::vector<std::string> texts (const juce::StringArray& lines)
{
    std::vector<std::string> v;
    for (const auto& line : lines)
        v.push_back (line.toStdString());
    return v;
}

// An absent line reads as "(none)", so a comparison shows it.
std::string text (const std::optional<juce::String>& line) { return line ? line->toStdString() : "(none)"; }

AnalysisResult knownRecord()
{
    AnalysisResult r;
    r.integratedLUFS = -23.456;
    r.truePeakDBTP = -1.234;
    r.snrDB = 41.789;
    r.noiseFloorDBFS = -67.891;
    r.voicedPercent = 62.5;
    r.spectralTiltDB = -2.3456;
    r.sibilanceRMS = 0.0123456789;
    r.sibilanceDBFS = -38.17;
    r.crestFactorDB = 14.321;
    r.sampleRate = 44100.0;
    r.numChannels = 2;
    r.numSamples = 441000;
    r.durationSeconds = 441000.0 / 44100.0;
    r.hasGridHum = true;
    return r;
}

// Every field of two records, bit for bit.
void expectSameRecord (const AnalysisResult& a, const AnalysisResult& b)
{
    EXPECT_EQ (a.integratedLUFS, b.integratedLUFS);
    EXPECT_EQ (a.truePeakDBTP, b.truePeakDBTP);
    EXPECT_EQ (a.snrDB, b.snrDB);
    EXPECT_EQ (a.noiseFloorDBFS, b.noiseFloorDBFS);
    EXPECT_EQ (a.voicedPercent, b.voicedPercent);
    EXPECT_EQ (a.spectralTiltDB, b.spectralTiltDB);
    EXPECT_EQ (a.sibilanceRMS, b.sibilanceRMS);
    EXPECT_EQ (a.sibilanceDBFS, b.sibilanceDBFS);
    EXPECT_EQ (a.crestFactorDB, b.crestFactorDB);
    EXPECT_EQ (a.sampleRate, b.sampleRate);
    EXPECT_EQ (a.numChannels, b.numChannels);
    EXPECT_EQ (a.numSamples, b.numSamples);
    EXPECT_EQ (a.durationSeconds, b.durationSeconds);
    EXPECT_EQ (a.hasGridHum, b.hasGridHum);
}

AnalysisResult quietAnalyze (const juce::AudioBuffer<float>& b, double sampleRate)
{
    CapturingLogger log;
    return whole_buffer_analysis::analyze (b, sampleRate);
}

// Every record through the public single operations, as a caller without the
// driver would measure them: the loudness on a K-weighted copy, 20 ms blocks.
AnalysisMeasurements measureOneByOne (const juce::AudioBuffer<float>& buffer, double rate)
{
    AnalysisMeasurements m;
    juce::AudioBuffer<float> copy (buffer);
    whole_buffer_analysis::applyKWeighting (copy, rate);
    m.loudness = whole_buffer_analysis::measureIntegratedLoudness (copy, rate);
    m.truePeak = whole_buffer_analysis::measureTruePeak (buffer);
    const int blockSize = (int) (rate * 0.02);
    m.voiceActivity = whole_buffer_analysis::detectVoiceActivity (buffer, blockSize);
    m.snr = whole_buffer_analysis::measureSnr (buffer, m.voiceActivity.voicedBlocks, blockSize);
    m.crestFactor = whole_buffer_analysis::measureCrestFactor (buffer);
    m.spectralTilt = whole_buffer_analysis::measureSpectralTilt (buffer, rate);
    m.sibilance = whole_buffer_analysis::measureSibilance (buffer, rate);
    m.gridHum = whole_buffer_analysis::detectGridHum (buffer, rate);
    return m;
}
} // namespace

//==============================================================================
// Report, JSON and the driver's log.

TEST (AnalysisText, ReportOfAKnownRecordByteForByte)
{
    const std::string expected =
        u8"[AudioAnalyzer] ──── Pass 1 Results ────\n"
        u8"  Duration:       10.00s (2ch, 44100Hz)\n"
        u8"  LUFS:           -23.5 LUFS\n"
        u8"  True Peak:      -1.2 dBTP\n"
        u8"  SNR:            41.8 dB\n"
        u8"  Noise Floor:    -67.9 dBFS\n"
        u8"  Voiced:         62.5%\n"
        u8"  Spectral Tilt:  -2.35 dB/oct\n"
        u8"  Sibilance:      -38.2 dBFS (RMS=0.012346)\n"
        u8"  Crest Factor:   14.3 dB\n"
        u8"  Grid Hum:       DETECTED\n"
        u8"[AudioAnalyzer] ──────────────────────────";
    EXPECT_EQ (text (audio_analyzer::formatReport (knownRecord())), expected);
}

TEST (AnalysisText, JsonOfAKnownRecordByteForByte)
{
    EXPECT_EQ (text (audio_analyzer::toJson (knownRecord())),
               "{\"integratedLUFS\":-23.46,\"truePeakDBTP\":-1.23,\"snrDB\":41.79,\"noiseFloorDBFS\":-67.89,"
               "\"voicedPercent\":62.50,\"spectralTiltDB\":-2.346,\"sibilanceRMS\":0.012346,\"sibilanceDBFS\":-38.17,"
               "\"crestFactorDB\":14.32,\"sampleRate\":44100,\"numChannels\":2,\"durationSeconds\":10.000,"
               "\"hasGridHum\":true}");
}

TEST (AnalysisText, JsonAndReportOfTheInitialRecord)
{
    AnalysisResult r;
    r.sampleRate = 48000.0;
    EXPECT_EQ (text (audio_analyzer::toJson (r)),
               "{\"integratedLUFS\":-144.00,\"truePeakDBTP\":-144.00,\"snrDB\":0.00,\"noiseFloorDBFS\":-144.00,"
               "\"voicedPercent\":0.00,\"spectralTiltDB\":0.000,\"sibilanceRMS\":0.000000,\"sibilanceDBFS\":-144.00,"
               "\"crestFactorDB\":0.00,\"sampleRate\":48000,\"numChannels\":0,\"durationSeconds\":0.000,"
               "\"hasGridHum\":false}");

    const auto report = text (audio_analyzer::formatReport (r));
    EXPECT_NE (report.find ("\n  LUFS:           -144.0 LUFS\n"), std::string::npos);
    EXPECT_NE (report.find ("\n  Grid Hum:       None\n"), std::string::npos);
    // A negative value that rounds to zero keeps its sign.
    r.spectralTiltDB = -0.001;
    EXPECT_NE (text (audio_analyzer::toJson (r)).find ("\"spectralTiltDB\":-0.001,"), std::string::npos);
    EXPECT_NE (text (audio_analyzer::formatReport (r)).find ("  Spectral Tilt:  -0.00 dB/oct\n"), std::string::npos);
}

TEST (AnalysisText, MeasurementLinesOfKnownRecordsByteForByte)
{
    using namespace analysis_log;
    const LoudnessMeasurement gated { -23.456, 97, 97, 50 }, ungated { kNoLevelDb, 12, 0, 0 };
    const TruePeakMeasurement peak { 0.891251, -1.0 };
    const VoiceActivityMeasurement activity { { true, false, true, true, false }, 3, 0.375, 0.125 };
    const SnrMeasurement snr { 41.789, -67.891, 62.5, 5, 3 };
    const CrestFactorMeasurement crest { 0.5, 0.125, 12.0412, "Moderate Dynamic Range" };
    const SpectralTiltMeasurement fitted { -2.3456, "Slightly Dark", true, 17, 2048 };
    const SibilanceMeasurement sibilant { true, 0.0123456789, -38.17 }, lowRate;

    struct Case { const char* label; std::optional<juce::String> line; std::string expected; };
    const Case cases[] = {
        { "gated loudness", loudnessLine (gated),
          "[AudioAnalyzer/LUFS] Blocks: 97 | After abs gate: 97 | After rel gate: 50 | Integrated: -23.5 LUFS" },
        { "nothing through the gates", loudnessLine (ungated), "(none)" },
        { "true peak", truePeakLine (peak), "[AudioAnalyzer/TruePeak] Peak: 0.891251 | -1.0 dBTP" },
        { "true peak of silence", truePeakLine ({}), "[AudioAnalyzer/TruePeak] Peak: 0.000000 | -144.0 dBTP" },
        { "voice activity", voiceActivityLine (activity),
          "[AudioAnalyzer/VAD] Blocks: 5 | Voiced: 3 | Threshold: 0.375000 | NoiseFloor(P10): 0.125000" },
        { "SNR", snrLine (snr), "[AudioAnalyzer/SNR] Signal blocks: 5 | Noise blocks: 3 | SNR: 41.8 dB | NoiseFloor: -67.9 dBFS" },
        { "fitted tilt", spectralTiltLine (fitted),
          "[AudioAnalyzer/SpectralTilt] Slope: -2.35 dB/octave | Profile: Slightly Dark | Bins analyzed: 17-2048" },
        { "tilt without a fit", spectralTiltLine ({}), "(none)" },
        { "sibilance", sibilanceLine (sibilant), "[AudioAnalyzer/Sibilance] 5-8kHz RMS: 0.012346 | -38.2 dBFS" },
        { "sibilance at a low rate", sibilanceLine (lowRate), "[AudioAnalyzer/Sibilance] Sample rate too low for 5-8kHz analysis" },
        { "crest factor", crestFactorLine (crest),
          "[AudioAnalyzer/CrestFactor] Peak: 0.500000 | RMS: 0.125000 | Crest: 12.0 dB | Moderate Dynamic Range" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (text (c.line), c.expected) << c.label;

    // In the driver's order; an absent line leaves no gap, and the hum has none.
    AnalysisMeasurements all { gated, peak, activity, snr, crest, fitted, sibilant, { true, 30.0, 0.0, 0.0 } };
    EXPECT_EQ (texts (measurementLines (all)),
               (std::vector<std::string> { cases[0].expected, cases[2].expected, cases[4].expected, cases[5].expected,
                                           cases[6].expected, cases[8].expected, cases[10].expected }));
    all.loudness = ungated;
    all.spectralTilt = {};
    EXPECT_EQ (texts (measurementLines (all)),
               (std::vector<std::string> { cases[2].expected, cases[4].expected, cases[5].expected, cases[8].expected,
                                           cases[10].expected }));
}

TEST (AnalysisText, WholeLogOfASilentFileByteForByte)
{
    const auto buffer = silence (2, 48000);
    CapturingLogger log;
    const auto r = whole_buffer_analysis::analyze (buffer, 48000.0);

    const std::string sep = u8"════════════════════════════════════════";
    const std::vector<std::string> expected = {
        sep,
        u8"[AudioAnalyzer] Pass 1 — Offline Analysis",
        "[AudioAnalyzer] 2ch, 48000Hz, 1.00s (48000 samples)",
        "[AudioAnalyzer/TruePeak] Peak: 0.000000 | -144.0 dBTP",
        "[AudioAnalyzer/VAD] Blocks: 50 | Voiced: 0 | Threshold: 0.000000 | NoiseFloor(P10): 0.000000",
        "[AudioAnalyzer/SNR] Signal blocks: 0 | Noise blocks: 50 | SNR: 0.0 dB | NoiseFloor: -144.0 dBFS",
        "[AudioAnalyzer/SpectralTilt] Slope: " + text (juce::String (r.spectralTiltDB, 2))
            + " dB/octave | Profile: Balanced | Bins analyzed: 17-2048",
        "[AudioAnalyzer/Sibilance] 5-8kHz RMS: 0.000000 | -144.0 dBFS",
        "[AudioAnalyzer/CrestFactor] Peak: 0.000000 | RMS: 0.000000 | Crest: 0.0 dB | Heavily Compressed",
        text (audio_analyzer::formatReport (r)),
        sep,
    };
    EXPECT_EQ (log.stdLines(), expected);

    AnalysisResult initial;
    initial.sampleRate = 48000.0;
    initial.numChannels = 2;
    initial.numSamples = 48000;
    initial.durationSeconds = 1.0;
    initial.spectralTiltDB = r.spectralTiltDB;
    expectSameRecord (r, initial);
    EXPECT_NEAR (r.spectralTiltDB, 0.0, 1e-9);
    // The separator is forty U+2550, three bytes each.
    EXPECT_EQ (sep.size(), 120u);
    EXPECT_EQ ((unsigned char) sep[0], 0xE2u);
}

TEST (AnalysisText, LogLinesComeInTheDriverOrder)
{
    const auto buffer = speechLike (1, 48000 * 3, 48000.0);
    CapturingLogger log;
    whole_buffer_analysis::analyze (buffer, 48000.0);

    const std::vector<std::string> prefixes = { "[AudioAnalyzer] Pass 1", "[AudioAnalyzer] 1ch, 48000Hz, 3.00s (144000 samples)",
                                                "[AudioAnalyzer/LUFS] Blocks: 27 | ", "[AudioAnalyzer/TruePeak] Peak: ",
                                                "[AudioAnalyzer/VAD] Blocks: 150 | ", "[AudioAnalyzer/SNR] Signal blocks: ",
                                                "[AudioAnalyzer/SpectralTilt] Slope: ", "[AudioAnalyzer/Sibilance] 5-8kHz RMS: ",
                                                "[AudioAnalyzer/CrestFactor] Peak: ", "[AudioAnalyzer] " };
    ASSERT_EQ (log.stdLines().size(), prefixes.size() + 2) << log.joined();
    for (size_t i = 0; i < prefixes.size(); ++i)
        EXPECT_EQ (log.stdLines()[i + 1].rfind (prefixes[i], 0), 0u) << i << ": " << log.stdLines()[i + 1];
    EXPECT_EQ (log.stdLines().back(), log.stdLines().front());
}

TEST (AnalysisText, RepeatedCallsGiveTheSameRecordAndLogAndLeaveTheInputAlone)
{
    const auto buffer = speechLike (2, 44100 * 2, 44100.0);
    juce::AudioBuffer<float> before (buffer);

    CapturingLogger first;
    const auto a = whole_buffer_analysis::analyze (buffer, 44100.0);
    const auto firstLog = first.stdLines();
    first.clear();
    const auto b = whole_buffer_analysis::analyze (buffer, 44100.0);

    expectSameRecord (a, b);
    EXPECT_EQ (firstLog, first.stdLines());
    for (int c = 0; c < 2; ++c)
        EXPECT_EQ (0, std::memcmp (before.getReadPointer (c), buffer.getReadPointer (c), sizeof (float) * 88200));
}

//==============================================================================
// Edge cases of the whole driver.

TEST (AnalysisEdges, EmptyAndTinyBuffersGiveTheInitialValues)
{
    struct Case { int channels; int samples; double rate; };
    for (const auto& c : { Case { 1, 0, 48000.0 }, Case { 2, 0, 44100.0 }, Case { 1, 1, 48000.0 }, Case { 2, 255, 48000.0 } })
    {
        SCOPED_TRACE (testing::Message() << c.channels << "ch " << c.samples << " samples");
        CapturingLogger log;
        const auto r = whole_buffer_analysis::analyze (silence (c.channels, c.samples), c.rate);
        AnalysisResult initial;
        initial.sampleRate = c.rate;
        initial.numChannels = c.channels;
        initial.numSamples = c.samples;
        initial.durationSeconds = c.samples / c.rate;
        expectSameRecord (r, initial);
        EXPECT_FALSE (log.mentions ("[AudioAnalyzer/LUFS]"));
        EXPECT_FALSE (log.mentions ("[AudioAnalyzer/SpectralTilt]"));
        EXPECT_TRUE (log.mentions ("[AudioAnalyzer/CrestFactor] Peak: 0.000000 | RMS: 0.000000 | Crest: 0.0 dB | Heavily Compressed"));
        if (c.samples == 0)
        {
            EXPECT_TRUE (log.mentions ("[AudioAnalyzer/VAD] Blocks: 0 | Voiced: 0 | Threshold: 0.000000 | NoiseFloor(P10): 0.000000"));
            EXPECT_TRUE (log.mentions ("[AudioAnalyzer/SNR] Signal blocks: 0 | Noise blocks: 0 | SNR: 0.0 dB | NoiseFloor: -144.0 dBFS"));
        }
    }
}

TEST (AnalysisEdges, NonFiniteSamplesDoNotFail)
{
    // A float WAV file can carry NaN and infinite samples; the analysis must
    // return (what it reports for them is not defined).
    auto buffer = speechLike (2, 48000 * 3, 48000.0);
    for (int i = 0; i < buffer.getNumSamples(); i += 997)
        buffer.setSample (i % 2, i, i % 3 == 0 ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity());
    const auto r = quietAnalyze (buffer, 48000.0);
    EXPECT_EQ (r.numSamples, 48000 * 3);
}

TEST (AnalysisEdges, NoChannelsDoesNotFail)
{
    const auto r = quietAnalyze (juce::AudioBuffer<float> (0, 1000), 48000.0);
    EXPECT_EQ (r.integratedLUFS, -144.0);
    EXPECT_EQ (r.truePeakDBTP, -144.0);
    EXPECT_EQ (r.crestFactorDB, 0.0);
    EXPECT_FALSE (r.hasGridHum);
}

//==============================================================================
// Integrated loudness.

TEST (Loudness, SinesAndChannelWeights)
{
    struct Case { double hz; float amplitude; int channels; double expected; double tolerance; const char* label; };
    // 997 Hz reads -3.01 LUFS at 0 dBFS in one channel (BS.1770 calibration);
    // the others are read off an independent BS.1770 meter at 48 kHz.
    const Case cases[] = {
        { 997.0, 1.0f, 1, -3.01, 0.02, "997 Hz 0 dBFS mono" },
        { 997.0, 0.1f, 1, -23.01, 0.02, "997 Hz -20 dBFS mono" },
        { 997.0, 0.1f, 2, -20.00, 0.02, "997 Hz -20 dBFS, two identical channels" },
        { 100.0, 0.1f, 1, -24.84, 0.05, "100 Hz -20 dBFS" },
        { 50.0, 0.1f, 1, -27.64, 0.05, "50 Hz -20 dBFS" },
        { 10000.0, 0.1f, 1, -19.66, 0.05, "10 kHz -20 dBFS" },
    };
    for (const auto& c : cases)
    {
        const auto r = quietAnalyze (sine (c.channels, 48000 * 5, 48000.0, c.hz, c.amplitude), 48000.0);
        EXPECT_NEAR (r.integratedLUFS, c.expected, c.tolerance) << c.label;
    }
}

namespace
{
LoudnessMeasurement loudnessOfCopy (const juce::AudioBuffer<float>& buffer, double rate)
{
    juce::AudioBuffer<float> weighted (buffer);
    whole_buffer_analysis::applyKWeighting (weighted, rate);
    return whole_buffer_analysis::measureIntegratedLoudness (weighted, rate);
}
} // namespace

TEST (Loudness, BlockCountsAndShortBuffers)
{
    struct Case { int samples; double rate; int blocks; };
    for (const auto& c : { Case { 19199, 48000.0, 0 }, Case { 19200, 48000.0, 1 }, Case { 48000, 48000.0, 7 },
                           Case { 17639, 44100.0, 0 }, Case { 17640, 44100.0, 1 }, Case { 44100, 44100.0, 7 } })
    {
        const auto signal = sine (1, c.samples, c.rate, 997.0, 0.5f);
        CapturingLogger log;
        const auto r = whole_buffer_analysis::analyze (signal, c.rate);
        const auto m = loudnessOfCopy (signal, c.rate);
        EXPECT_EQ (m.numBlocks, c.blocks) << c.samples;
        EXPECT_EQ (m.blocksAfterRelativeGate, c.blocks) << c.samples;
        EXPECT_EQ (m.integratedLufs, r.integratedLUFS) << c.samples;
        if (c.blocks == 0)
        {
            EXPECT_EQ (r.integratedLUFS, -144.0) << c.samples;
            EXPECT_FALSE (log.mentions ("[AudioAnalyzer/LUFS]")) << c.samples;
        }
        else
        {
            const auto line = log.firstLineStartingWith ("[AudioAnalyzer/LUFS] ");
            EXPECT_EQ (line.rfind ("[AudioAnalyzer/LUFS] Blocks: " + std::to_string (c.blocks) + " | After abs gate: "
                                       + std::to_string (c.blocks) + " | After rel gate: " + std::to_string (c.blocks)
                                       + " | Integrated: ", 0), 0u) << line;
            EXPECT_NEAR (r.integratedLUFS, -9.03, 0.1) << c.samples;
        }
    }
}

TEST (Loudness, GatesDropQuietBlocks)
{
    // -80 dBFS reads about -83 LUFS: every block fails the absolute gate.
    {
        const auto signal = sine (1, 48000 * 3, 48000.0, 997.0, 1e-4f);
        CapturingLogger log;
        const auto r = whole_buffer_analysis::analyze (signal, 48000.0);
        EXPECT_EQ (r.integratedLUFS, -144.0);
        EXPECT_FALSE (log.mentions ("[AudioAnalyzer/LUFS]"));
        const auto m = loudnessOfCopy (signal, 48000.0);
        EXPECT_EQ (m.numBlocks, 27);
        EXPECT_EQ (m.blocksAfterAbsoluteGate, 0);
        EXPECT_EQ (m.integratedLufs, -144.0);
    }
    // 5 s at -20 dBFS then 5 s at -40 dBFS: the quiet part falls below the
    // relative gate, so the result is that of the loud part alone.
    {
        const auto loud = sine (1, 48000 * 5, 48000.0, 997.0, 0.1f);
        const auto quiet = sine (1, 48000 * 5, 48000.0, 997.0, 0.01f);
        const auto signal = concatenate (loud, quiet);
        CapturingLogger log;
        const auto r = whole_buffer_analysis::analyze (signal, 48000.0);
        // 47 loud blocks and 3 that straddle the step (75, 50 and 25 % loud) pass.
        EXPECT_NEAR (r.integratedLUFS, -23.14, 0.03);
        EXPECT_EQ (log.firstLineStartingWith ("[AudioAnalyzer/LUFS]"),
                   "[AudioAnalyzer/LUFS] Blocks: 97 | After abs gate: 97 | After rel gate: 50 | Integrated: "
                       + text (juce::String (r.integratedLUFS, 1)) + " LUFS");
        const auto m = loudnessOfCopy (signal, 48000.0);
        EXPECT_EQ (m.numBlocks, 97);
        EXPECT_EQ (m.blocksAfterAbsoluteGate, 97);
        EXPECT_EQ (m.blocksAfterRelativeGate, 50);
        EXPECT_EQ (text (analysis_log::loudnessLine (m)), log.firstLineStartingWith ("[AudioAnalyzer/LUFS]"));
    }
}

TEST (Loudness, FixedAndDesignedFiltersByRate)
{
    // 48,000.5 Hz still takes the fixed 48 kHz coefficients; 47,999 Hz is designed.
    const auto signal = pinkNoise (1, 48000 * 4, 0.05f);
    juce::AudioBuffer<float> fixedA (signal), fixedB (signal), designed (signal);
    whole_buffer_analysis::applyKWeighting (fixedA, 48000.0);
    whole_buffer_analysis::applyKWeighting (fixedB, 48000.5);
    whole_buffer_analysis::applyKWeighting (designed, 47999.0);
    EXPECT_EQ (0, std::memcmp (fixedA.getReadPointer (0), fixedB.getReadPointer (0), sizeof (float) * (size_t) signal.getNumSamples()));
    EXPECT_NE (0, std::memcmp (fixedA.getReadPointer (0), designed.getReadPointer (0), sizeof (float) * (size_t) signal.getNumSamples()));
}

// The driver's streaming loudness, the public copy-and-filter path and a plain
// reference written the long way agree bit for bit.
TEST (Loudness, StreamingPathEqualsCopyPathAndReference)
{
    struct Case { int channels; double rate; int samples; };
    for (const auto& c : { Case { 1, 48000.0, 48000 * 3 + 17 }, Case { 2, 48000.0, 48000 * 2 }, Case { 3, 44100.0, 44100 * 2 + 5 },
                           Case { 1, 11025.0, 11025 * 3 + 1 }, Case { 2, 22050.0, 22050 * 2 } })
    {
        SCOPED_TRACE (testing::Message() << c.channels << "ch " << c.rate);
        auto buffer = speechLike (c.channels, c.samples, c.rate, 5);
        buffer.addFrom (0, 0, pinkNoise (1, c.samples, 0.01f), 0, 0, c.samples);

        const double streamed = quietAnalyze (buffer, c.rate).integratedLUFS;

        juce::AudioBuffer<float> copy (buffer);
        whole_buffer_analysis::applyKWeighting (copy, c.rate);
        const double copied = whole_buffer_analysis::measureIntegratedLoudness (copy, c.rate).integratedLufs;

        juce::AudioBuffer<float> plain (buffer);
        referenceKWeighting (plain, c.rate);
        for (int ch = 0; ch < c.channels; ++ch)
            ASSERT_EQ (0, std::memcmp (plain.getReadPointer (ch), copy.getReadPointer (ch), sizeof (float) * (size_t) c.samples));

        EXPECT_GT (streamed, -60.0);
        EXPECT_EQ (streamed, copied);
        EXPECT_EQ (streamed, referenceGatedLoudness (plain, c.rate));
    }
}

//==============================================================================
// True peak and crest factor.

TEST (TruePeak, BetweenSamplesAndSilence)
{
    // A quarter-rate sine at 45 degrees: every sample sits at 0.707 of the crest.
    const auto quarter = sine (1, 48000, 48000.0, 12000.0, 0.5f, juce::MathConstants<double>::pi / 4.0);
    const auto tp = whole_buffer_analysis::measureTruePeak (quarter);
    EXPECT_NEAR (peakOf (quarter), 0.5f * std::sqrt (0.5f), 1e-4);
    EXPECT_NEAR (tp.truePeakDbtp, toDb (0.5), 0.3);
    EXPECT_GT (tp.truePeakDbtp, toDb (peakOf (quarter)) + 2.0);
    EXPECT_EQ (tp.truePeakDbtp, toDb (tp.peakLinear));

    for (const auto& quiet : { silence (2, 1000), silence (1, 0) })
    {
        const auto m = whole_buffer_analysis::measureTruePeak (quiet);
        EXPECT_EQ (m.truePeakDbtp, -144.0);
        EXPECT_EQ (m.peakLinear, 0.0);
        EXPECT_EQ (text (analysis_log::truePeakLine (m)), "[AudioAnalyzer/TruePeak] Peak: 0.000000 | -144.0 dBTP");
    }
}

TEST (TruePeak, EqualsTheJuceOversamplerFedInChunksWithoutReset)
{
    struct Case { const char* label; juce::AudioBuffer<float> buffer; };
    const Case cases[] = {
        { "65,537 samples: two chunks", sine (1, 65537, 48000.0, 997.0, 0.9f) },
        { "stereo speech over three chunks", speechLike (2, 65536 * 3 + 100, 48000.0, 9) },
        { "noise burst ending in silence", concatenate (whiteNoise (1, 70000, 0.3f), silence (1, 200000)) },
        { "single sample", dc (1, 1, 0.25f) },
    };
    for (const auto& c : cases)
        EXPECT_EQ (whole_buffer_analysis::measureTruePeak (c.buffer).truePeakDbtp, referenceTruePeakDb (c.buffer)) << c.label;
}

TEST (TruePeak, LongSteadySineReadsAsOneChunk)
{
    // Restarting the oversampler for every chunk over-reads a steady sine by
    // about 1 to 2 dB; the state runs on, so a 20 s sine reads as one chunk of it.
    struct Case { double rate; double hz; };
    for (const auto& c : { Case { 48000.0, 997.0 }, Case { 44100.0, 997.0 }, Case { 48000.0, 1000.0 }, Case { 44100.0, 440.0 } })
    {
        const auto longSine = sine (1, (int) c.rate * 20, c.rate, c.hz, 0.5f);
        juce::AudioBuffer<float> piece (1, 60000);
        piece.copyFrom (0, 0, longSine, 0, 0, 60000);

        const double whole = whole_buffer_analysis::measureTruePeak (longSine).truePeakDbtp;
        const double onePiece = whole_buffer_analysis::measureTruePeak (piece).truePeakDbtp;
        EXPECT_NEAR (whole, onePiece, 0.02) << c.rate << " Hz rate, " << c.hz << " Hz";
        if (std::abs (whole - onePiece) > 0.02)
            keepFailingSignal ("long sine " + std::to_string ((int) c.hz), longSine, c.rate);
        EXPECT_NEAR (whole, toDb (0.5), 0.2);
        // The restarting oversampler shows the fault this guards against.
        EXPECT_GT (referenceTruePeakDb (longSine, 65536, true), whole + 0.5) << c.rate;
    }
}

TEST (TruePeak, ChannelsAreIndependent)
{
    auto stereo = speechLike (2, 100000, 48000.0, 4);
    stereo.applyGain (1, 0, 100000, 0.5f);
    juce::AudioBuffer<float> left (1, 100000), right (1, 100000);
    left.copyFrom (0, 0, stereo, 0, 0, 100000);
    right.copyFrom (0, 0, stereo, 1, 0, 100000);
    EXPECT_EQ (whole_buffer_analysis::measureTruePeak (stereo).truePeakDbtp,
               std::max (whole_buffer_analysis::measureTruePeak (left).truePeakDbtp, whole_buffer_analysis::measureTruePeak (right).truePeakDbtp));
}

TEST (CrestFactor, ValuesAndClasses)
{
    const auto flat = whole_buffer_analysis::measureCrestFactor (dc (2, 1000, 0.5f));
    EXPECT_EQ (flat.crestDb, 0.0);
    EXPECT_EQ (text (analysis_log::crestFactorLine (flat)),
               "[AudioAnalyzer/CrestFactor] Peak: 0.500000 | RMS: 0.500000 | Crest: 0.0 dB | Heavily Compressed");

    const auto tone = whole_buffer_analysis::measureCrestFactor (sine (1, 48000, 48000.0, 1000.0, 1.0f));
    EXPECT_NEAR (tone.crestDb, 3.01, 0.01);
    EXPECT_NEAR (tone.rmsLinear, std::sqrt (0.5), 1e-4);
    EXPECT_STREQ (tone.dynamicsClass, "Heavily Compressed");

    // A peak over silence (one sample of 1 in 10,000): 40 dB, the widest class.
    auto click = silence (1, 10000);
    click.setSample (0, 5000, 1.0f);
    const auto spiky = whole_buffer_analysis::measureCrestFactor (click);
    EXPECT_NEAR (spiky.crestDb, 40.0, 1e-9);
    EXPECT_STREQ (spiky.dynamicsClass, "Wide Dynamic Range");

    for (const auto& quiet : { silence (1, 100), silence (1, 0) })
    {
        const auto m = whole_buffer_analysis::measureCrestFactor (quiet);
        EXPECT_EQ (m.crestDb, 0.0);
        EXPECT_EQ (m.rmsLinear, 0.0);
        EXPECT_EQ (text (analysis_log::crestFactorLine (m)),
                   "[AudioAnalyzer/CrestFactor] Peak: 0.000000 | RMS: 0.000000 | Crest: 0.0 dB | Heavily Compressed");
    }

    struct Case { double crest; const char* label; };
    for (const auto& c : { Case { 5.999, "Heavily Compressed" }, Case { 6.0, "Well-Compressed" }, Case { 11.999, "Well-Compressed" },
                           Case { 12.0, "Moderate Dynamic Range" }, Case { 17.999, "Moderate Dynamic Range" },
                           Case { 18.0, "Wide Dynamic Range" } })
        EXPECT_STREQ (analysis_detail::crestClass (c.crest), c.label) << c.crest;
}

//==============================================================================
// Voice activity, noise floor and SNR.

TEST (VoiceActivity, BlockCounts)
{
    EXPECT_EQ (whole_buffer_analysis::detectVoiceActivity (silence (1, 48000), 960).voicedBlocks.size(), 50u);
    EXPECT_EQ (whole_buffer_analysis::detectVoiceActivity (silence (1, 48001), 960).voicedBlocks.size(), 51u);
    EXPECT_EQ (whole_buffer_analysis::detectVoiceActivity (silence (2, 44100), 882).voicedBlocks.size(), 50u);
    const auto empty = whole_buffer_analysis::detectVoiceActivity (silence (1, 0), 960);
    EXPECT_TRUE (empty.voicedBlocks.empty());
    EXPECT_EQ (text (analysis_log::voiceActivityLine (empty)),
               "[AudioAnalyzer/VAD] Blocks: 0 | Voiced: 0 | Threshold: 0.000000 | NoiseFloor(P10): 0.000000");
}

TEST (VoiceActivity, ThresholdIsStrictAndChannelsPool)
{
    // Ten quiet blocks at 0.125 and one block exactly three times louder
    // (0.375, all exact in binary): that block is not voiced; 0.376 is.
    for (const float loud : { 0.375f, 0.376f })
    {
        auto b = concatenate (dc (1, 960 * 10, 0.125f), dc (1, 960, loud));
        const auto activity = whole_buffer_analysis::detectVoiceActivity (b, 960);
        ASSERT_EQ (activity.voicedBlocks.size(), 11u);
        EXPECT_EQ ((bool) activity.voicedBlocks[10], loud > 0.375f);
        EXPECT_EQ (activity.numVoiced, loud > 0.375f ? 1 : 0);
        EXPECT_EQ (activity.thresholdRms, 0.375);
        EXPECT_EQ (activity.noiseFloorRms, 0.125);
        EXPECT_NE (text (analysis_log::voiceActivityLine (activity)).find ("| Threshold: 0.375000 | NoiseFloor(P10): 0.125000"),
                   std::string::npos);
    }

    // One flag per block over both channels: the right channel alone carries the burst.
    auto stereo = silence (2, 960 * 20);
    stereo.copyFrom (1, 960 * 5, whiteNoise (1, 960 * 2, 0.2f), 0, 0, 960 * 2);
    const auto flags = whole_buffer_analysis::detectVoiceActivity (stereo, 960).voicedBlocks;
    ASSERT_EQ (flags.size(), 20u);
    for (int k = 0; k < 20; ++k)
        EXPECT_EQ ((bool) flags[(size_t) k], k == 5 || k == 6) << k;
}

TEST (VoiceActivity, SnrCases)
{
    struct Case { const char* label; juce::AudioBuffer<float> buffer; double snrLow, snrHigh, floorLow, floorHigh, voicedLow, voicedHigh; };
    // Speech with digitally silent pauses: the noise power is 0, the SNR about
    // 10·log10(signal power / 1e-30).
    auto bursts = silence (1, 960 * 100);
    for (int k = 0; k < 100; k += 4)
        bursts.copyFrom (0, 960 * k, sine (1, 960 * 2, 48000.0, 440.0, 0.1414f), 0, 0, 960 * 2);
    const Case cases[] = {
        { "bursts with silent pauses", bursts, 10.0 * std::log10 (0.01 / 1e-30) - 0.1, 10.0 * std::log10 (0.01 / 1e-30) + 0.1,
          -144.0, -144.0, 50.0, 50.0 },
        { "steady tone", sine (1, 48000, 48000.0, 440.0, 0.1f), -10000.0, -250.0, -23.1, -22.9, 0.0, 0.0 },
        { "speech-like", speechLike (1, 48000 * 5, 48000.0), 20.0, 60.0, -62.0, -40.0, 20.0, 90.0 },
    };
    for (const auto& c : cases)
    {
        const auto activity = whole_buffer_analysis::detectVoiceActivity (c.buffer, 960);
        const auto snr = whole_buffer_analysis::measureSnr (c.buffer, activity.voicedBlocks, 960);
        EXPECT_GE (snr.snrDb, c.snrLow) << c.label;
        EXPECT_LE (snr.snrDb, c.snrHigh) << c.label;
        EXPECT_GE (snr.noiseFloorDbfs, c.floorLow) << c.label;
        EXPECT_LE (snr.noiseFloorDbfs, c.floorHigh) << c.label;
        EXPECT_GE (snr.voicedPercent, c.voicedLow) << c.label;
        EXPECT_LE (snr.voicedPercent, c.voicedHigh) << c.label;
        // Every block is counted once, on the side its flag gives.
        EXPECT_EQ (snr.signalBlocks, activity.numVoiced) << c.label;
        EXPECT_EQ (snr.signalBlocks + snr.noiseBlocks, (int) activity.voicedBlocks.size()) << c.label;
    }

    const auto empty = whole_buffer_analysis::measureSnr (silence (1, 0), {}, 960);
    EXPECT_EQ (empty.snrDb, 0.0);
    EXPECT_EQ (empty.noiseFloorDbfs, -144.0);
    EXPECT_EQ (empty.voicedPercent, 0.0);
    EXPECT_EQ (text (analysis_log::snrLine (empty)),
               "[AudioAnalyzer/SNR] Signal blocks: 0 | Noise blocks: 0 | SNR: 0.0 dB | NoiseFloor: -144.0 dBFS");
}

// The driver reads each channel once for the loudness, sibilance, voice
// activity, SNR and crest; every value must equal the public operation's.
TEST (AnalysisDriver, SinglePassEqualsPublicOperations)
{
    struct Case { int channels; double rate; int samples; };
    for (const auto& c : { Case { 1, 48000.0, 48000 * 3 + 123 }, Case { 2, 44100.0, 44100 * 3 }, Case { 3, 22050.0, 22050 * 2 + 7 },
                           Case { 2, 16000.0, 16000 * 2 }, Case { 1, 11025.0, 11025 * 2 }, Case { 2, 48000.0, 10000 },
                           Case { 1, 48000.0, 19200 } })
    {
        SCOPED_TRACE (testing::Message() << c.channels << "ch " << c.rate << " Hz " << c.samples);
        auto buffer = speechLike (c.channels, c.samples, c.rate, 2);
        buffer.addFrom (0, 0, pinkNoise (1, c.samples, 0.02f), 0, 0, c.samples);
        CapturingLogger log;
        const auto r = whole_buffer_analysis::analyze (buffer, c.rate);
        const auto driverLog = log.stdLines();

        const auto m = measureOneByOne (buffer, c.rate);
        EXPECT_EQ (r.integratedLUFS, m.loudness.integratedLufs);
        EXPECT_EQ (r.truePeakDBTP, m.truePeak.truePeakDbtp);
        EXPECT_EQ (r.snrDB, m.snr.snrDb);
        EXPECT_EQ (r.noiseFloorDBFS, m.snr.noiseFloorDbfs);
        EXPECT_EQ (r.voicedPercent, m.snr.voicedPercent);
        EXPECT_EQ (r.sibilanceRMS, m.sibilance.rmsLinear);
        EXPECT_EQ (r.sibilanceDBFS, m.sibilance.levelDbfs);
        EXPECT_EQ (r.crestFactorDB, m.crestFactor.crestDb);
        EXPECT_EQ (r.spectralTiltDB, m.spectralTilt.slopeDbPerOctave);
        EXPECT_EQ (r.hasGridHum, m.gridHum.detected);

        // The driver logs exactly the lines of the single operations' records,
        // framed by its opening and closing lines; the single operations log nothing.
        EXPECT_EQ (log.stdLines().size(), driverLog.size());
        auto expected = texts (analysis_log::openingLines (r));
        for (const auto& line : texts (analysis_log::measurementLines (m)))
            expected.push_back (line);
        for (const auto& line : texts (analysis_log::closingLines (r)))
            expected.push_back (line);
        EXPECT_EQ (driverLog, expected);
    }
}

//==============================================================================
// Spectral tilt and sibilance.

TEST (SpectralTilt, FrameSizesAndSlopes)
{
    {
        const auto tooShort = whole_buffer_analysis::measureSpectralTilt (whiteNoise (1, 255, 0.1f), 48000.0);
        EXPECT_EQ (tooShort.slopeDbPerOctave, 0.0);
        EXPECT_FALSE (tooShort.fitted);
        EXPECT_FALSE (analysis_log::spectralTiltLine (tooShort).has_value());

        struct Frame { int samples; double rate; int firstBin, lastBin; const char* bins; };
        for (const auto& f : { Frame { 256, 48000.0, 1, 64, "| Bins analyzed: 1-64" }, Frame { 10000, 44100.0, 18, 2048, "| Bins analyzed: 18-2048" } })
        {
            const auto m = whole_buffer_analysis::measureSpectralTilt (whiteNoise (1, f.samples, 0.1f), f.rate);
            EXPECT_TRUE (m.fitted) << f.samples;
            EXPECT_EQ (m.firstBin, f.firstBin) << f.samples;
            EXPECT_EQ (m.lastBin, f.lastBin) << f.samples;
            const auto line = text (analysis_log::spectralTiltLine (m));
            EXPECT_EQ (line.rfind ("[AudioAnalyzer/SpectralTilt] Slope: ", 0), 0u) << line;
            EXPECT_NE (line.find (f.bins), std::string::npos) << line;
        }
    }

    struct Case { const char* label; juce::AudioBuffer<float> buffer; double low, high; const char* profile; };
    const Case cases[] = {
        { "white noise", whiteNoise (1, 48000, 0.1f), -0.7, 0.7, "Balanced" },
        { "pink noise", pinkNoise (1, 48000, 0.1f), -3.7, -2.3, nullptr },
        { "silence", silence (2, 48000), -1e-9, 1e-9, "Balanced" },
        { "silent start, loud rest", concatenate (silence (1, 8192), whiteNoise (1, 40000, 0.3f)), -1e-9, 1e-9, "Balanced" },
    };
    for (const auto& c : cases)
    {
        const auto m = whole_buffer_analysis::measureSpectralTilt (c.buffer, 48000.0);
        EXPECT_GE (m.slopeDbPerOctave, c.low) << c.label;
        EXPECT_LE (m.slopeDbPerOctave, c.high) << c.label;
        EXPECT_STREQ (m.profile, analysis_detail::tiltProfile (m.slopeDbPerOctave)) << c.label;
        const auto line = text (analysis_log::spectralTiltLine (m));
        if (c.profile != nullptr)
        {
            EXPECT_NE (line.find (std::string ("| Profile: ") + c.profile + " |"), std::string::npos) << c.label << ": " << line;
        }
    }

    struct Boundary { double slope; const char* profile; };
    for (const auto& b : { Boundary { -3.001, "Very Dark/Muddy" }, Boundary { -3.0, "Slightly Dark" }, Boundary { -1.001, "Slightly Dark" },
                           Boundary { -1.0, "Balanced" }, Boundary { 0.999, "Balanced" }, Boundary { 1.0, "Bright/Thin" } })
        EXPECT_STREQ (analysis_detail::tiltProfile (b.slope), b.profile) << b.slope;
}

TEST (Sibilance, BandAndRates)
{
    {
        const auto m = whole_buffer_analysis::measureSibilance (sine (1, 16000, 16000.0, 6000.0, 0.5f), 16000.0);
        EXPECT_FALSE (m.measurable);
        EXPECT_EQ (m.rmsLinear, 0.0);
        EXPECT_EQ (m.levelDbfs, -144.0);
        EXPECT_EQ (text (analysis_log::sibilanceLine (m)), "[AudioAnalyzer/Sibilance] Sample rate too low for 5-8kHz analysis");
    }

    struct Case { double rate; double hz; double low, high; };
    // A tone in the band passes about 3 dB under its level (RMS 0.5/sqrt 2 = -9.0 dBFS);
    // 1 kHz lies more than two octaves under the 12 dB/octave high-pass.
    for (const auto& c : { Case { 48000.0, 6300.0, -13.0, -10.0 }, Case { 22050.0, 6300.0, -13.0, -9.0 }, Case { 44100.0, 1000.0, -60.0, -35.0 },
                           Case { 17000.0, 6300.0, -30.0, 0.0 } })
    {
        const auto m = whole_buffer_analysis::measureSibilance (sine (2, (int) c.rate, c.rate, c.hz, 0.5f), c.rate);
        EXPECT_TRUE (m.measurable);
        EXPECT_GE (m.levelDbfs, c.low) << c.rate << " " << c.hz;
        EXPECT_LE (m.levelDbfs, c.high) << c.rate << " " << c.hz;
        EXPECT_NEAR (m.levelDbfs, toDb (m.rmsLinear), 1e-9);
        EXPECT_EQ (text (analysis_log::sibilanceLine (m)).rfind ("[AudioAnalyzer/Sibilance] 5-8kHz RMS: ", 0), 0u);
    }

    // The band written the long way: a channel copy through two JUCE filters.
    // Each channel's squares are summed on their own and the channels' sums
    // added in channel order, which a measurement taking the file in blocks
    // can reproduce.
    for (const double rate : { 48000.0, 44100.0 })
    {
        const auto buffer = speechLike (2, (int) rate * 2, rate, 3);
        auto hp = juce::dsp::IIR::Coefficients<float>::makeHighPass (rate, 5000.0f, 0.707f);
        auto lp = juce::dsp::IIR::Coefficients<float>::makeLowPass (rate, 8000.0f, 0.707f);
        double sum = 0.0;
        for (int ch = 0; ch < 2; ++ch)
        {
            double channelSum = 0.0;
            juce::AudioBuffer<float> scratch (1, buffer.getNumSamples());
            scratch.copyFrom (0, 0, buffer, ch, 0, buffer.getNumSamples());
            juce::dsp::AudioBlock<float> block (scratch);
            juce::dsp::IIR::Filter<float> f1 (hp), f2 (lp);
            f1.process (juce::dsp::ProcessContextReplacing<float> (block));
            f2.process (juce::dsp::ProcessContextReplacing<float> (block));
            for (int i = 0; i < scratch.getNumSamples(); ++i)
                channelSum += (double) scratch.getSample (0, i) * (double) scratch.getSample (0, i);
            sum += channelSum;
        }
        EXPECT_EQ (whole_buffer_analysis::measureSibilance (buffer, rate).rmsLinear, std::sqrt (sum / (2.0 * buffer.getNumSamples()))) << rate;
    }

    const auto quiet = whole_buffer_analysis::measureSibilance (silence (1, 1000), 48000.0);
    EXPECT_TRUE (quiet.measurable);
    EXPECT_EQ (quiet.rmsLinear, 0.0);
    EXPECT_EQ (quiet.levelDbfs, -144.0);
    EXPECT_EQ (text (analysis_log::sibilanceLine (quiet)), "[AudioAnalyzer/Sibilance] 5-8kHz RMS: 0.000000 | -144.0 dBFS");
}

//==============================================================================
// Grid hum.

TEST (GridHum, Decisions)
{
    const double rate = 48000.0;
    // At 51.2 kHz a 4,096-point frame puts 50 Hz on the centre of bin 4.
    const double binCentred = 51200.0;
    struct Case { const char* label; juce::AudioBuffer<float> buffer; double rate; bool expected; };
    const float minus30 = 0.0316f;
    const Case cases[] = {
        { "50 Hz at -30 dBFS over -80 dBFS noise", humPlusNoise (48000, rate, { { 50.0, minus30 } }, 1e-4f), rate, true },
        { "weak 50 Hz, strong 100 and 150 Hz", humPlusNoise (48000, rate, { { 50.0, 3e-5f }, { 100.0, minus30 }, { 150.0, minus30 } }, 1e-3f), rate, true },
        { "weak 50 Hz, strong 100 Hz alone", humPlusNoise (48000, rate, { { 50.0, 3e-5f }, { 100.0, minus30 } }, 1e-3f), rate, false },
        { "60 Hz family", humPlusNoise (48000, rate, { { 60.0, minus30 }, { 120.0, minus30 }, { 180.0, minus30 } }, 1e-4f), rate, false },
        { "white noise", whiteNoise (1, 48000, 0.1f), rate, false },
        { "silence", silence (2, 48000), rate, false },
        { "silent first 16,384 samples", concatenate (silence (1, 16384), humPlusNoise (48000, rate, { { 50.0, minus30 } }, 1e-4f)), rate, false },
        { "4,096 samples of hum", humPlusNoise (4096, binCentred, { { 50.0, minus30 } }, 1e-4f), binCentred, true },
        { "4,095 samples of hum", humPlusNoise (4095, binCentred, { { 50.0, minus30 } }, 1e-4f), binCentred, false },
    };
    for (const auto& c : cases)
    {
        CapturingLogger log;
        const auto m = whole_buffer_analysis::detectGridHum (c.buffer, c.rate);
        EXPECT_EQ (m.detected, c.expected) << c.label;
        EXPECT_TRUE (log.stdLines().empty());
    }

    // A strong line stands far over its neighbourhood; in silence every level
    // is the empty bin's, and a frame too short is not measured at all.
    EXPECT_GT (whole_buffer_analysis::detectGridHum (cases[0].buffer, rate).fundamentalOverLocalDb, 30.0);
    const auto weakFundamental = whole_buffer_analysis::detectGridHum (cases[1].buffer, rate);
    EXPECT_LT (weakFundamental.fundamentalOverLocalDb, 15.0);
    EXPECT_GT (weakFundamental.secondOverLocalDb, 12.0);
    EXPECT_GT (weakFundamental.thirdOverLocalDb, 10.0);
    for (const auto* c : { &cases[5], &cases[8] })
    {
        const auto m = whole_buffer_analysis::detectGridHum (c->buffer, c->rate);
        EXPECT_EQ (m.fundamentalOverLocalDb, 0.0) << c->label;
        EXPECT_EQ (m.secondOverLocalDb, 0.0) << c->label;
        EXPECT_EQ (m.thirdOverLocalDb, 0.0) << c->label;
    }
}
