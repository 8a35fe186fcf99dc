// The analysis taken in blocks: whatever the cut, AnalysisAccumulator gives
// whole_buffer_analysis::measure's records bit for bit, and the same log lines. The
// cuts aim at every boundary the measurements keep state across: the 400 ms
// gating block and its 100 ms hop, the 20 ms level block, the K-weighting run,
// the FFT frames and the true peak's 65,536-sample chunk.
#include "analysis/AnalysisAccumulator.h"
#include "analysis/AnalysisLog.h"
#include "analysis/LevelScan.h"
#include "analysis/Loudness.h"
#include "analysis/Sibilance.h"
#include "support/WholeBufferAnalysis.h"
#include "support/AnalysisTestSupport.h"
#include "support/TestSupport.h"

#include <juce_dsp/juce_dsp.h>

#include <cstring>
#include <functional>
#include <limits>
#include <random>

using namespace tessaloom;

using namespace testing_support;

namespace
{
struct Signal
{
    std::string name;
    int channels;
    double rate;
    int frames;
    std::function<juce::AudioBuffer<float> (int channels, int frames, double rate)> make;
};

juce::AudioBuffer<float> speech (int ch, int n, double rate)
{
    auto b = speechLike (ch, n, rate, 5);
    if (ch > 0 && n > 0)
        b.addFrom (0, 0, pinkNoise (1, n, 0.01f, 9), 0, 0, n);
    return b;
}

juce::AudioBuffer<float> hum (int ch, int n, double rate)
{
    return analysis_testing::withChannels (
        analysis_testing::humPlusNoise (n, rate, { { 50.0, 0.05f }, { 150.0, 0.02f }, { 6000.0, 0.03f } }, 0.002f), ch);
}

// Speech with a NaN, an infinity and a full-scale click in it.
juce::AudioBuffer<float> speechWithNonFinite (int ch, int n, double rate)
{
    auto b = speech (ch, n, rate);
    if (ch > 0 && n > 10)
    {
        b.setSample (0, n / 3, std::numeric_limits<float>::quiet_NaN());
        b.setSample (ch - 1, n / 2, std::numeric_limits<float>::infinity());
        b.setSample (ch - 1, n / 5, -1.0f);
    }
    return b;
}

juce::AudioBuffer<float> noiseThenSilence (int ch, int n, double rate)
{
    auto b = whiteNoise (ch, n, 0.1f, 4);
    for (int c = 0; c < ch; ++c)
        b.clear (c, n / 2, n - n / 2);
    juce::ignoreUnused (rate);
    return b;
}

std::vector<Signal> signals()
{
    const auto sineAt = [] (double hz, float amp) {
        return [hz, amp] (int ch, int n, double rate) { return sine (ch, n, rate, hz, amp); };
    };
    const auto white = [] (int ch, int n, double) { return whiteNoise (ch, n, 0.1f, 2); };
    const auto pink = [] (int ch, int n, double) { return pinkNoise (ch, n, 0.05f, 3); };
    const auto quiet = [] (int ch, int n, double) { return silence (ch, n); };
    return {
        { "speech 48k stereo", 2, 48000.0, 48000 * 3 + 77, speech },
        { "speech 44.1k mono", 1, 44100.0, 44100 * 2 + 5, speech },
        { "speech 96k 3ch", 3, 96000.0, 96000 + 65536 + 3, speech },
        { "pink 22.05k stereo", 2, 22050.0, 22050 * 3 + 1, pink },
        { "white 16k 3ch", 3, 16000.0, 16000 * 2 + 321, white },
        { "sine 8k mono", 1, 8000.0, 8000 * 2 + 9, sineAt (440.0, 0.5f) },
        { "hum 48k mono", 1, 48000.0, 48000 + 4000, hum },
        { "hum 44.1k stereo", 2, 44100.0, 70000, hum },
        { "nan and inf 48k stereo", 2, 48000.0, 48000 * 2 + 13, speechWithNonFinite },
        { "nan and inf 22.05k 3ch", 3, 22050.0, 30000, speechWithNonFinite },
        { "noise then silence 48k mono", 1, 48000.0, 48000 + 480, noiseThenSilence },
        { "silence 48k stereo", 2, 48000.0, 20000, quiet },
        { "shorter than a gating block", 2, 48000.0, 19199, white },
        { "shorter than an FFT frame", 1, 44100.0, 4095, white },
        { "shorter than a 20 ms block", 2, 48000.0, 959, white },
        { "one frame", 2, 16000.0, 1, white },
        { "no frames", 2, 48000.0, 0, white },
        { "no channels", 0, 48000.0, 48000, white },
    };
}

// ---- Cuts -------------------------------------------------------------------

// Block lengths that add up to `frames`.
using Cut = std::vector<int>;

Cut whole (int frames) { return frames > 0 ? Cut { frames } : Cut {}; }

Cut everyFrame (int frames) { return Cut ((size_t) frames, 1); }

// Random lengths from 1 up to about two 20 ms blocks, some of them single frames.
Cut randomLengths (int frames, double rate, unsigned seed)
{
    std::mt19937 rng (seed);
    const int longest = std::max (2, (int) (rate * 0.045));
    Cut cut;
    for (int done = 0; done < frames;)
    {
        const int n = std::min (frames - done, rng() % 5 == 0 ? 1 : 1 + (int) (rng() % (unsigned) longest));
        cut.push_back (n);
        done += n;
    }
    return cut;
}

// Cuts one frame before, at and one frame after every multiple of every
// period a measurement keeps state across.
Cut aroundBoundaries (int frames, double rate)
{
    const std::vector<int> periods = { (int) (rate * 0.4), (int) (rate * 0.1), (int) (rate * 0.02), 4096, 8192, 16384, 65536 };
    std::vector<int> points;
    for (const int p : periods)
        for (juce::int64 m = p; p > 0 && m < frames; m += p)
            for (const int d : { -1, 0, 1 })
                if (m + d > 0 && m + d < frames)
                    points.push_back ((int) (m + d));
    std::sort (points.begin(), points.end());
    points.erase (std::unique (points.begin(), points.end()), points.end());

    Cut cut;
    int at = 0;
    for (const int p : points)
    {
        cut.push_back (p - at);
        at = p;
    }
    if (at < frames)
        cut.push_back (frames - at);
    return cut;
}

Analysis accumulate (const juce::AudioBuffer<float>& signal, double rate, const Cut& cut)
{
    AnalysisAccumulator acc (signal.getNumChannels(), rate);
    juce::AudioBuffer<float> block (signal.getNumChannels(), 1);
    int at = 0;
    for (const int n : cut)
    {
        // A block of its own, larger than the frames handed over, as a driver's reused buffer is.
        block.setSize (signal.getNumChannels(), n + 3, false, false, true);
        block.clear();
        for (int c = 0; c < signal.getNumChannels(); ++c)
            block.copyFrom (c, 0, signal, c, at, n);
        acc.add (block, n);
        at += n;
    }
    EXPECT_EQ (at, signal.getNumSamples());
    return acc.finish();
}

// ---- Comparison -------------------------------------------------------------

// Equal bits, or both not a number.
bool same (double a, double b)
{
    return std::memcmp (&a, &b, sizeof a) == 0 || (std::isnan (a) && std::isnan (b));
}

struct Comparison
{
    std::string where;
    int mismatches = 0;

    void field (const char* name, double got, double expected)
    {
        if (same (got, expected))
            return;
        ++mismatches;
        ADD_FAILURE() << where << ": " << name << " is " << juce::String (got, 17) << " in blocks, "
                      << juce::String (expected, 17) << " whole";
    }

    void text (const char* name, const std::string& got, const std::string& expected)
    {
        if (got == expected)
            return;
        ++mismatches;
        ADD_FAILURE() << where << ": " << name << " is \"" << got << "\" in blocks, \"" << expected << "\" whole";
    }
};

void compareResults (Comparison& c, const AnalysisResult& a, const AnalysisResult& b)
{
    c.field ("result.integratedLUFS", a.integratedLUFS, b.integratedLUFS);
    c.field ("result.truePeakDBTP", a.truePeakDBTP, b.truePeakDBTP);
    c.field ("result.snrDB", a.snrDB, b.snrDB);
    c.field ("result.noiseFloorDBFS", a.noiseFloorDBFS, b.noiseFloorDBFS);
    c.field ("result.voicedPercent", a.voicedPercent, b.voicedPercent);
    c.field ("result.spectralTiltDB", a.spectralTiltDB, b.spectralTiltDB);
    c.field ("result.sibilanceRMS", a.sibilanceRMS, b.sibilanceRMS);
    c.field ("result.sibilanceDBFS", a.sibilanceDBFS, b.sibilanceDBFS);
    c.field ("result.crestFactorDB", a.crestFactorDB, b.crestFactorDB);
    c.field ("result.sampleRate", a.sampleRate, b.sampleRate);
    c.field ("result.numChannels", a.numChannels, b.numChannels);
    c.field ("result.numSamples", a.numSamples, b.numSamples);
    c.field ("result.durationSeconds", a.durationSeconds, b.durationSeconds);
    c.field ("result.hasGridHum", a.hasGridHum, b.hasGridHum);
}

void compareLevels (Comparison& c, const AnalysisMeasurements& a, const AnalysisMeasurements& b)
{
    c.field ("voiceActivity.numVoiced", a.voiceActivity.numVoiced, b.voiceActivity.numVoiced);
    c.field ("voiceActivity.thresholdRms", a.voiceActivity.thresholdRms, b.voiceActivity.thresholdRms);
    c.field ("voiceActivity.noiseFloorRms", a.voiceActivity.noiseFloorRms, b.voiceActivity.noiseFloorRms);
    c.field ("voiceActivity.voicedBlocks.size", (double) a.voiceActivity.voicedBlocks.size(), (double) b.voiceActivity.voicedBlocks.size());
    if (a.voiceActivity.voicedBlocks != b.voiceActivity.voicedBlocks)
        c.text ("voiceActivity.voicedBlocks", "differ", "");
    c.field ("snr.snrDb", a.snr.snrDb, b.snr.snrDb);
    c.field ("snr.noiseFloorDbfs", a.snr.noiseFloorDbfs, b.snr.noiseFloorDbfs);
    c.field ("snr.voicedPercent", a.snr.voicedPercent, b.snr.voicedPercent);
    c.field ("snr.signalBlocks", a.snr.signalBlocks, b.snr.signalBlocks);
    c.field ("snr.noiseBlocks", a.snr.noiseBlocks, b.snr.noiseBlocks);
    c.field ("crestFactor.samplePeakLinear", a.crestFactor.samplePeakLinear, b.crestFactor.samplePeakLinear);
    c.field ("crestFactor.rmsLinear", a.crestFactor.rmsLinear, b.crestFactor.rmsLinear);
    c.field ("crestFactor.crestDb", a.crestFactor.crestDb, b.crestFactor.crestDb);
    c.text ("crestFactor.dynamicsClass", a.crestFactor.dynamicsClass, b.crestFactor.dynamicsClass);
}

void compareMeasurements (Comparison& c, const AnalysisMeasurements& a, const AnalysisMeasurements& b)
{
    c.field ("loudness.integratedLufs", a.loudness.integratedLufs, b.loudness.integratedLufs);
    c.field ("loudness.numBlocks", a.loudness.numBlocks, b.loudness.numBlocks);
    c.field ("loudness.blocksAfterAbsoluteGate", a.loudness.blocksAfterAbsoluteGate, b.loudness.blocksAfterAbsoluteGate);
    c.field ("loudness.blocksAfterRelativeGate", a.loudness.blocksAfterRelativeGate, b.loudness.blocksAfterRelativeGate);
    c.field ("truePeak.peakLinear", a.truePeak.peakLinear, b.truePeak.peakLinear);
    c.field ("truePeak.truePeakDbtp", a.truePeak.truePeakDbtp, b.truePeak.truePeakDbtp);
    compareLevels (c, a, b);
    c.field ("spectralTilt.slopeDbPerOctave", a.spectralTilt.slopeDbPerOctave, b.spectralTilt.slopeDbPerOctave);
    c.text ("spectralTilt.profile", a.spectralTilt.profile, b.spectralTilt.profile);
    c.field ("spectralTilt.fitted", a.spectralTilt.fitted, b.spectralTilt.fitted);
    c.field ("spectralTilt.firstBin", a.spectralTilt.firstBin, b.spectralTilt.firstBin);
    c.field ("spectralTilt.lastBin", a.spectralTilt.lastBin, b.spectralTilt.lastBin);
    c.field ("sibilance.measurable", a.sibilance.measurable, b.sibilance.measurable);
    c.field ("sibilance.rmsLinear", a.sibilance.rmsLinear, b.sibilance.rmsLinear);
    c.field ("sibilance.levelDbfs", a.sibilance.levelDbfs, b.sibilance.levelDbfs);
    c.field ("gridHum.detected", a.gridHum.detected, b.gridHum.detected);
    c.field ("gridHum.fundamentalOverLocalDb", a.gridHum.fundamentalOverLocalDb, b.gridHum.fundamentalOverLocalDb);
    c.field ("gridHum.secondOverLocalDb", a.gridHum.secondOverLocalDb, b.gridHum.secondOverLocalDb);
    c.field ("gridHum.thirdOverLocalDb", a.gridHum.thirdOverLocalDb, b.gridHum.thirdOverLocalDb);
}

std::vector<std::string> logOf (const Analysis& a)
{
    CapturingLogger log;
    audio_analyzer::writeLog (a);
    return log.stdLines();
}

void compareAll (const std::string& where, const Analysis& got, const Analysis& expected)
{
    Comparison c { where };
    compareResults (c, got.result, expected.result);
    compareMeasurements (c, got.measurements, expected.measurements);
    const auto gotLog = logOf (got), expectedLog = logOf (expected);
    for (size_t i = 0; i < std::max (gotLog.size(), expectedLog.size()); ++i)
        c.text (("log line " + std::to_string (i)).c_str(), i < gotLog.size() ? gotLog[i] : "(none)",
                i < expectedLog.size() ? expectedLog[i] : "(none)");
}

struct NamedCut
{
    std::string name;
    Cut cut;
};

std::vector<NamedCut> cutsFor (const Signal& s)
{
    std::vector<NamedCut> cuts = { { "one block", whole (s.frames) }, { "around boundaries", aroundBoundaries (s.frames, s.rate) } };
    for (const unsigned seed : { 1u, 2u, 3u })
        cuts.push_back ({ "random lengths, seed " + std::to_string (seed), randomLengths (s.frames, s.rate, seed) });
    if (s.frames <= 50000)
        cuts.push_back ({ "frame by frame", everyFrame (s.frames) });
    return cuts;
}
} // namespace

TEST (AnalysisStream, EveryCutGivesTheWholeBuffersRecordsAndLog)
{
    for (const auto& s : signals())
    {
        const auto signal = s.make (s.channels, s.frames, s.rate);
        const auto expected = whole_buffer_analysis::measure (signal, s.rate);
        for (const auto& c : cutsFor (s))
            compareAll (s.name + ", " + c.name, accumulate (signal, s.rate, c.cut), expected);
    }
}

// Blocks of the size a driver uses, over a file long enough for several true
// peak chunks and thousands of level blocks, with the helper thread at work.
TEST (AnalysisStream, DriverSizedBlocksOverAMinute)
{
    const double rate = 48000.0;
    const int frames = 60 * 48000 + 1234;
    const auto signal = speech (2, frames, rate);
    const auto expected = whole_buffer_analysis::measure (signal, rate);
    for (const int size : { 16384, 32768, 65536, 65537, 40000 })
    {
        Cut cut;
        for (int done = 0; done < frames; done += size)
            cut.push_back (std::min (size, frames - done));
        compareAll ("speech 48k stereo, blocks of " + std::to_string (size), accumulate (signal, rate, cut), expected);
    }
}

// Each single operation still gives what the whole analysis reports for it.
TEST (AnalysisStream, WholeBufferOperationsAgreeWithTheAccumulator)
{
    for (const auto& s : signals())
    {
        const auto signal = s.make (s.channels, s.frames, s.rate);
        const auto a = whole_buffer_analysis::measure (signal, s.rate);
        Comparison c { s.name };
        c.field ("truePeak.peakLinear", whole_buffer_analysis::measureTruePeak (signal).peakLinear, a.measurements.truePeak.peakLinear);
        c.field ("sibilance.rmsLinear", whole_buffer_analysis::measureSibilance (signal, s.rate).rmsLinear, a.measurements.sibilance.rmsLinear);
        c.field ("crestFactor.rmsLinear", whole_buffer_analysis::measureCrestFactor (signal).rmsLinear, a.measurements.crestFactor.rmsLinear);
        c.field ("crestFactor.samplePeakLinear", whole_buffer_analysis::measureCrestFactor (signal).samplePeakLinear,
                 a.measurements.crestFactor.samplePeakLinear);
        c.field ("spectralTilt.slopeDbPerOctave", whole_buffer_analysis::measureSpectralTilt (signal, s.rate).slopeDbPerOctave,
                 a.measurements.spectralTilt.slopeDbPerOctave);
        c.field ("gridHum.fundamentalOverLocalDb", whole_buffer_analysis::detectGridHum (signal, s.rate).fundamentalOverLocalDb,
                 a.measurements.gridHum.fundamentalOverLocalDb);

        // The loudness through a K-weighted copy, the plain path.
        juce::AudioBuffer<float> weighted (signal);
        whole_buffer_analysis::applyKWeighting (weighted, s.rate);
        const auto plain = whole_buffer_analysis::measureIntegratedLoudness (weighted, s.rate);
        c.field ("loudness.integratedLufs", plain.integratedLufs, a.measurements.loudness.integratedLufs);
        c.field ("loudness.numBlocks", plain.numBlocks, a.measurements.loudness.numBlocks);
    }
}

// The side data grows by a few doubles per second, not with the audio.
TEST (AnalysisStream, SideDataStaysSmall)
{
    const double rate = 48000.0;
    const int seconds = 120, block = 32768;
    const auto chunk = whiteNoise (2, block, 0.1f, 6);
    AnalysisAccumulator acc (2, rate);
    for (juce::int64 done = 0; done < (juce::int64) seconds * 48000; done += block)
        acc.add (chunk, block);
    // Per second: 10 gating blocks and 50 level blocks of one double each, with
    // room for the lists' doubling; plus one 20 ms block and 16,384 frames.
    const double perSecond = (double) (acc.sideDataBytes() - 2 * 960 * 4 - 2 * 16384 * 4) / seconds;
    EXPECT_LT (perSecond, 2.0 * 60 * 8) << "bytes per second of audio: " << perSecond;
    EXPECT_GT (perSecond, 60 * 8 * 0.9) << "bytes per second of audio: " << perSecond;
}

TEST (AnalysisStream, SibilanceIsTheBandFiltersSumOfSquaresInSampleOrder)
{
    // The stream runs two channels' band filters side by side in vector lanes,
    // the low-pass a sample behind the high-pass; its figure must be that of
    // juce::dsp::IIR::Filter run sample by sample on each channel, the squares
    // added in double in sample order and the channels' sums in channel order,
    // for a lone channel, a pair and a pair plus one, in blocks shorter and
    // longer than the lanes' lag.
    struct Case { int channels; double rate; int blockLength; };
    const Case cases[] = { { 1, 48000.0, 1 }, { 1, 44100.0, 4096 }, { 2, 48000.0, 1 }, { 2, 48000.0, 2 },
                           { 2, 96000.0, 777 }, { 3, 48000.0, 3 }, { 3, 22050.0, 131072 }, { 5, 48000.0, 500 } };
    for (const auto& c : cases)
    {
        const int frames = 20000;
        auto signal = speech (c.channels, frames, c.rate);
        signal.setSample (c.channels - 1, 7, 0.9f); // a click inside the first short blocks

        const float edge = (float) (c.rate * 0.5) - 100.0f;
        using Coefficients = juce::dsp::IIR::Coefficients<float>;
        double sum = 0.0;
        for (int ch = 0; ch < c.channels; ++ch)
        {
            juce::dsp::IIR::Filter<float> highPass (Coefficients::makeHighPass (c.rate, std::min (edge, 5000.0f), 0.707f));
            juce::dsp::IIR::Filter<float> lowPass (Coefficients::makeLowPass (c.rate, std::min (edge, 8000.0f), 0.707f));
            double channelSum = 0.0;
            for (int i = 0; i < frames; ++i)
            {
                const double y = lowPass.processSample (highPass.processSample (signal.getSample (ch, i)));
                channelSum += y * y;
            }
            sum += channelSum;
        }
        const double expected = std::sqrt (sum / ((double) c.channels * frames));

        analysis_detail::SibilanceStream stream (c.channels, c.rate);
        for (int from = 0; from < frames; from += c.blockLength)
        {
            const float* channels[8];
            for (int ch = 0; ch < c.channels; ++ch)
                channels[ch] = signal.getReadPointer (ch) + from;
            stream.add (channels, std::min (c.blockLength, frames - from));
        }
        EXPECT_EQ (stream.finish().rmsLinear, expected)
            << c.channels << " channels at " << c.rate << " Hz in blocks of " << c.blockLength;
    }
}

TEST (AnalysisStream, KWeightingWithTheBandBesideGivesWhatEachGivesAlone)
{
    // The accumulator K-weights a block and runs the sibilance band filters
    // over it in one loop. The gating-block powers and the band's figure must
    // be those of the two streams run one after the other, bit for bit: for a
    // lone channel, a pair and a pair plus one, at the fixed 48 kHz weighting
    // and designed ones, in blocks of one frame, of a few, and across the
    // weighting's 4,096-sample runs; below 17 kHz the band measures nothing
    // and the weighting runs alone.
    struct Case { int channels; double rate; int blockLength; };
    const Case cases[] = { { 1, 48000.0, 1 },    { 1, 48000.0, 4097 }, { 1, 44100.0, 333 },  { 1, 48000.0, 2 },
                           { 2, 48000.0, 2 },    { 2, 48000.0, 5000 }, { 2, 44100.0, 4096 }, { 3, 48000.0, 777 },
                           { 3, 96000.0, 1 },    { 4, 48000.0, 9000 }, { 1, 16000.0, 100 },  { 2, 22050.0, 3 } };
    const auto sameBits = [] (double a, double b) { return std::memcmp (&a, &b, sizeof a) == 0; };
    for (const auto& c : cases)
    {
        const int frames = 60000;
        auto signal = speech (c.channels, frames, c.rate);
        signal.addFrom (c.channels - 1, 0, whiteNoise (1, frames, 0.05f, 3), 0, 0, frames);
        signal.setSample (0, 1, 0.95f); // a click inside the first short blocks

        analysis_detail::LoudnessStream weightingAlone (c.channels, c.rate), weightingBeside (c.channels, c.rate);
        analysis_detail::SibilanceStream bandAlone (c.channels, c.rate), bandBeside (c.channels, c.rate);
        for (int from = 0; from < frames; from += c.blockLength)
        {
            const int n = std::min (c.blockLength, frames - from);
            const float* channels[8];
            for (int ch = 0; ch < c.channels; ++ch)
                channels[ch] = signal.getReadPointer (ch) + from;
            weightingAlone.add (channels, n);
            bandAlone.add (channels, n);
            weightingBeside.add (channels, n, bandBeside);
            bandBeside.countFrames (n);
        }
        const auto label = std::to_string (c.channels) + " channels at " + std::to_string ((int) c.rate) + " Hz in blocks of "
                         + std::to_string (c.blockLength);
        const auto& expected = weightingAlone.blockPowers();
        const auto& actual = weightingBeside.blockPowers();
        ASSERT_EQ (actual.size(), expected.size()) << label;
        ASSERT_FALSE (expected.empty()) << label;
        for (size_t k = 0; k < expected.size(); ++k)
            ASSERT_TRUE (sameBits (actual[k], expected[k])) << label << ", gating block " << k << ": " << actual[k] << " vs " << expected[k];
        const auto band = bandBeside.finish(), bandExpected = bandAlone.finish();
        EXPECT_EQ (band.measurable, bandExpected.measurable) << label;
        EXPECT_TRUE (sameBits (band.rmsLinear, bandExpected.rmsLinear)) << label << ": " << band.rmsLinear << " vs " << bandExpected.rmsLinear;
        EXPECT_TRUE (sameBits (band.levelDbfs, bandExpected.levelDbfs)) << label;
    }
}

TEST (AnalysisStream, LevelScanGivesThePlainSumsAndPeak)
{
    // The level scan's sums run in vector lanes. Each 20 ms block's sum of
    // squares (channel 0's samples, then channel 1's, in sample order), each
    // channel's sum running on across blocks, and the sample peak must be
    // those of the plain loop over the samples one by one, bit for bit: in
    // blocks of one frame, of a few, of lengths that are no multiple of four,
    // and with a last block shorter than the rest.
    struct Case { int channels; int blockSize; int feed; int frames; };
    const Case cases[] = { { 1, 960, 1, 9601 },   { 1, 960, 4096, 60000 }, { 2, 960, 333, 60001 }, { 2, 7, 5, 1003 },
                           { 3, 441, 1000, 44102 }, { 1, 3, 2, 17 },         { 2, 960, 65536, 96000 } };
    const auto sameBits = [] (double a, double b) { return std::memcmp (&a, &b, sizeof a) == 0; };
    for (const auto& c : cases)
    {
        auto signal = whiteNoise (c.channels, c.frames, 0.2f, 7);
        signal.addFrom (0, 0, speech (1, c.frames, 48000.0), 0, 0, c.frames);
        signal.setSample (c.channels - 1, c.frames / 2, -0.97f); // the peak, negative, away from the edges

        // The plain loop.
        std::vector<double> blockSums;
        std::vector<double> channelSums ((size_t) c.channels, 0.0);
        float peak = 0.0f;
        for (int from = 0; from < c.frames; from += c.blockSize)
        {
            const int n = std::min (c.blockSize, c.frames - from);
            double block = 0.0;
            for (int ch = 0; ch < c.channels; ++ch)
                for (int i = from; i < from + n; ++i)
                {
                    const double v = signal.getSample (ch, i);
                    block += v * v;
                    channelSums[(size_t) ch] += v * v;
                    peak = std::max (peak, std::abs (signal.getSample (ch, i)));
                }
            blockSums.push_back (block);
        }
        double sumOfSquares = 0.0;
        for (const double s : channelSums)
            sumOfSquares += s;

        analysis_detail::LevelStream stream (c.channels, c.blockSize, true);
        for (int from = 0; from < c.frames; from += c.feed)
        {
            const int n = std::min (c.feed, c.frames - from);
            const float* channels[8];
            for (int ch = 0; ch < c.channels; ++ch)
                channels[ch] = signal.getReadPointer (ch) + from;
            stream.add (channels, n, from + n == c.frames);
        }
        const auto scan = stream.finish();
        const auto label = std::to_string (c.channels) + " channels, blocks of " + std::to_string (c.blockSize) + " fed "
                         + std::to_string (c.feed) + " at a time";
        ASSERT_EQ (scan.blockSums.size(), blockSums.size()) << label;
        for (size_t k = 0; k < blockSums.size(); ++k)
            ASSERT_TRUE (sameBits (scan.blockSums[k], blockSums[k])) << label << ", block " << k;
        EXPECT_TRUE (sameBits (scan.sumOfSquares, sumOfSquares)) << label << ": " << scan.sumOfSquares << " vs " << sumOfSquares;
        EXPECT_EQ (scan.samplePeak, peak) << label;
        EXPECT_EQ (scan.samplePeak, 0.97f) << label;
    }
}
