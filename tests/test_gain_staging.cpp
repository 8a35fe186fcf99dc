// Sample checks, peak report, makeup gain, pre-gain, normalization, limiter and
// output trim, exercised in-process with the loudness given directly, so the
// arithmetic is pinned down whatever the analyzer measures.

#include "common/Levels.h"
#include "pipeline/PipelineConfig.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/steps/Steps.h"
#include "pipeline/stages/OutputTrim.h"
#include "support/TestSupport.h"
#include "support/WholeBuffer.h"

#include <cmath>
#include <limits>
#include <vector>

using namespace tessaloom;

using namespace testing_support;

namespace
{
std::vector<std::string> stdLines (const juce::StringArray& lines)
{
    std::vector<std::string> out;
    for (const auto& line : lines)
        out.push_back (line.toStdString());
    return out;
}

juce::AudioBuffer<float> constant (int channels, int samples, float value)
{
    juce::AudioBuffer<float> b (channels, samples);
    for (int c = 0; c < channels; ++c)
        juce::FloatVectorOperations::fill (b.getWritePointer (c), value, samples);
    return b;
}

bool identical (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
        return false;
    for (int c = 0; c < a.getNumChannels(); ++c)
        if (std::memcmp (a.getReadPointer (c), b.getReadPointer (c), sizeof (float) * (size_t) a.getNumSamples()) != 0)
            return false;
    return true;
}

// Largest |out / in| deviation from the expected factor over the non-zero samples.
double worstFactorError (const juce::AudioBuffer<float>& in, const juce::AudioBuffer<float>& out, double factor)
{
    double worst = 0.0;
    for (int c = 0; c < in.getNumChannels(); ++c)
        for (int i = 0; i < in.getNumSamples(); ++i)
            if (in.getSample (c, i) != 0.0f)
                worst = std::max (worst, std::abs ((double) out.getSample (c, i) / in.getSample (c, i) - factor) / factor);
    return worst;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
} // namespace

// ---- Non-finite check -------------------------------------------------------

TEST (NonFiniteCheck, BadSamplesFailWithLabelCountAndTime)
{
    struct Case
    {
        int channels, samples;
        std::vector<std::tuple<int, int, float>> bad; // channel, index, value
        const char* label;
        int expectedCount;
    };
    // Positions at the ends and across the vector-width boundaries, so a
    // vectorised count that skips a remainder is caught.
    const Case cases[] = {
        { 1, 1000, { { 0, 10, kNaN }, { 0, 500, kInf } }, "PreGain", 2 },
        { 3, 37, { { 0, 0, -kInf }, { 1, 36, kNaN }, { 2, 7, kInf }, { 2, 8, -kNaN } }, "File Load", 4 },
        { 2, 17, { { 1, 16, kNaN } }, "Limiter", 1 },
        { 1, 9, { { 0, 0, kNaN }, { 0, 1, kNaN }, { 0, 2, kNaN }, { 0, 3, kNaN }, { 0, 4, kNaN }, { 0, 5, kNaN },
                  { 0, 6, kNaN }, { 0, 7, kNaN }, { 0, 8, kNaN } }, "Vocal EQ", 9 },
    };

    for (const auto& k : cases)
    {
        auto buffer = sine (k.channels, k.samples, 48000.0, 440.0, 0.5f);
        for (auto [c, i, v] : k.bad)
            buffer.setSample (c, i, v);

        const int count = sample_checks::countNonFinite (buffer);
        EXPECT_EQ (count, k.expectedCount) << k.label;
        EXPECT_EQ (stage_log::nonFiniteLine (juce::String ("Invalid non-finite audio after ") + k.label, count).toStdString(),
                   "[AudioPipeline] ERROR: Invalid non-finite audio after " + std::string (k.label) + " ("
                       + std::to_string (k.expectedCount) + " samples)");
    }
}

TEST (NonFiniteCheck, FiniteBuffersCountNone)
{
    const float smallestSubnormal = std::numeric_limits<float>::denorm_min();
    const float largest = std::numeric_limits<float>::max();

    std::vector<std::pair<const char*, juce::AudioBuffer<float>>> buffers;
    buffers.emplace_back ("subnormals", constant (2, 1001, smallestSubnormal * 3.0f));
    buffers.emplace_back ("negative subnormals", constant (1, 64, -smallestSubnormal));
    buffers.emplace_back ("zeros", silence (2, 100));
    buffers.emplace_back ("largest finite", constant (1, 33, -largest));
    buffers.emplace_back ("speech", speechLike (2, 48000, 48000.0));
    buffers.emplace_back ("no channels", juce::AudioBuffer<float> (0, 0));
    buffers.emplace_back ("no samples", juce::AudioBuffer<float> (2, 0));

    for (auto& [name, buffer] : buffers)
        EXPECT_EQ (sample_checks::countNonFinite (buffer), 0) << name;
}

TEST (NonFiniteCheck, TallyCountsAndPeaksInOneReadAsTheTwoChecksDo)
{
    // The check after a step reads its block once for both figures; the count
    // and the peak must be those of countNonFinite and peakMagnitude whatever
    // the length (vector body and remainder) and wherever the peak or a bad
    // sample lies, and a block holding a bad sample keeps peakMagnitude's peak.
    struct Case
    {
        const char* what;
        int samples;
        std::vector<std::pair<int, float>> set; // index, value
    };
    const float tiny = std::numeric_limits<float>::denorm_min();
    const Case cases[] = {
        { "empty", 0, {} },
        { "one negative", 1, { { 0, -0.75f } } },
        { "peak in the remainder", 7, { { 6, -0.9f } } },
        { "peak in the body", 9, { { 2, 0.95f } } },
        { "negative zero and subnormals", 5, { { 0, -0.0f }, { 1, tiny }, { 4, -tiny } } },
        { "NaN in the body", 16, { { 3, kNaN }, { 9, 0.99f } } },
        { "NaN in the remainder", 11, { { 10, kNaN } } },
        { "infinities", 13, { { 0, kInf }, { 12, -kInf } } },
        { "NaN first, peak later", 6, { { 0, -kNaN }, { 5, -0.5f } } },
        { "a long body, peak in its third quarter", 37, { { 10, 0.97f } } },
        { "a long body, peak in the fours after it", 37, { { 34, -0.96f } } },
        { "a long body, NaN after the peak", 64, { { 20, 0.98f }, { 47, kNaN } } },
    };
    for (const auto& c : cases)
    {
        std::vector<float> block ((size_t) c.samples);
        for (int i = 0; i < c.samples; ++i)
            block[(size_t) i] = 0.25f * std::sin (0.3f * (float) i);
        for (auto [i, v] : c.set)
            block[(size_t) i] = v;

        sample_checks::Tally tally;
        tally.peak = 0.01f;
        tally.add (block.data(), c.samples);
        const float expectedPeak = juce::jmax (0.01f, sample_checks::peakMagnitude (block.data(), c.samples));
        EXPECT_EQ (tally.nonFinite, sample_checks::countNonFinite (block.data(), c.samples)) << c.what;
        if (std::isnan (expectedPeak))
            EXPECT_TRUE (std::isnan (tally.peak)) << c.what;
        else
            EXPECT_EQ (tally.peak, expectedPeak) << c.what;
    }
}

// ---- Peak report --------------------------------------------------------------

TEST (PeakReport, LevelsAndWarningBoundary)
{
    const float minusOneDb = std::pow (10.0f, -1.0f / 20.0f);
    struct Case
    {
        float peak;       // placed at one sample of a quiet buffer
        int channel;      // of a stereo buffer
        bool negative;
        const char* label;
        const char* expected;
    };
    const Case cases[] = {
        { 1.0f, 0, false, "File Load", "[GainStaging] Peak after File Load: 0.00 dBFS [WARNING: EXCEEDS -1.0 dBFS]" },
        { 1.0f, 1, true, "PreGain", "[GainStaging] Peak after PreGain: 0.00 dBFS [WARNING: EXCEEDS -1.0 dBFS]" },
        { minusOneDb, 0, false, "De-esser", "[GainStaging] Peak after De-esser: -1.00 dBFS" },
        { minusOneDb, 1, true, "Expander", "[GainStaging] Peak after Expander: -1.00 dBFS" },
        { std::nextafter (minusOneDb, 2.0f), 0, false, "Corrective/Enhancement EQ",
          "[GainStaging] Peak after Corrective/Enhancement EQ: -1.00 dBFS [WARNING: EXCEEDS -1.0 dBFS]" },
        { 0.5f, 1, false, "Compressor", "[GainStaging] Peak after Compressor: -6.02 dBFS" },
        { 2.0f, 0, true, "Saturation", "[GainStaging] Peak after Saturation: 6.02 dBFS [WARNING: EXCEEDS -1.0 dBFS]" },
        { 0.530884444f, 0, false, "Limiter & Output Trim", "[GainStaging] Peak after Limiter & Output Trim: -5.50 dBFS" },
        { 2.0e-5f, 1, false, "Final Normalization", "[GainStaging] Peak after Final Normalization: -93.98 dBFS" },
        // Between 1e-10 and 1e-5 the level bottoms out at -100; at or below 1e-10 it is "no level".
        { 1.0e-6f, 0, false, "PreGain", "[GainStaging] Peak after PreGain: -100.00 dBFS" },
        { 1.1e-10f, 0, true, "PreGain", "[GainStaging] Peak after PreGain: -100.00 dBFS" },
        { 1.0e-10f, 0, false, "PreGain", "[GainStaging] Peak after PreGain: -144.00 dBFS" },
        { 0.0f, 0, false, "File Load", "[GainStaging] Peak after File Load: -144.00 dBFS" },
    };

    for (const auto& k : cases)
    {
        auto buffer = silence (2, 4801);
        buffer.setSample (k.channel, 2400, k.negative ? -k.peak : k.peak);
        // A quieter companion signal in the other channel must not win.
        buffer.setSample (1 - k.channel, 100, k.peak * 0.5f);

        EXPECT_EQ (stage_log::peakLine (k.label, sample_checks::peakLevelDbfs (buffer)), k.expected) << "peak " << k.peak;
    }
}

TEST (PeakReport, NoChannelsAndNoSamplesReportNoLevel)
{
    EXPECT_EQ (sample_checks::peakLevelDbfs (juce::AudioBuffer<float> (0, 0)), (float) kNoLevelDb);
    EXPECT_EQ (sample_checks::peakLevelDbfs (juce::AudioBuffer<float> (2, 0)), (float) kNoLevelDb);
    EXPECT_EQ (stage_log::peakLine ("File Load", sample_checks::peakLevelDbfs (juce::AudioBuffer<float> (0, 0))),
               "[GainStaging] Peak after File Load: -144.00 dBFS");
}

// ---- Makeup gain ---------------------------------------------------------------

TEST (MakeupGain, FactorsAndLines)
{
    struct Case
    {
        float gainDb;
        const char* expected;
    };
    const Case cases[] = {
        { 0.0f, "[AudioPipeline/Gain] Applied makeup gain: 0.0dB (x1.000)" },
        { 6.0f, "[AudioPipeline/Gain] Applied makeup gain: +6.0dB (x1.995)" },
        { -6.0f, "[AudioPipeline/Gain] Applied makeup gain: -6.0dB (x0.501)" },
        { 12.0f, "[AudioPipeline/Gain] Applied makeup gain: +12.0dB (x3.981)" },
        { 20.0f, "[AudioPipeline/Gain] Applied makeup gain: +20.0dB (x10.000)" },
        { 0.04f, "[AudioPipeline/Gain] Applied makeup gain: +0.0dB (x1.005)" },
        { -99.9f, "[AudioPipeline/Gain] Applied makeup gain: -99.9dB (x0.000)" },
        { -100.0f, "[AudioPipeline/Gain] Applied makeup gain: -100.0dB (x0.000)" },
        { -130.0f, "[AudioPipeline/Gain] Applied makeup gain: -130.0dB (x0.000)" },
    };

    const auto input = speechLike (2, 24000, 48000.0);
    for (const auto& k : cases)
    {
        auto buffer = input;
        const auto setting = stages::gainSettingFor (k.gainDb);
        stages::applyGain (buffer, setting);
        EXPECT_EQ (stage_log::makeupGainLine (setting), k.expected);

        if (k.gainDb == 0.0f)
            EXPECT_TRUE (identical (buffer, input)) << "0 dB must leave the samples bit for bit";
        else if (k.gainDb <= -100.0f)
            EXPECT_EQ (peakOf (buffer), 0.0f) << k.gainDb;
        else
            EXPECT_LT (worstFactorError (input, buffer, std::pow (10.0, k.gainDb / 20.0)), 1.0e-5) << k.gainDb;
    }
}

// ---- Pre-gain leveling and normalization rules ------------------------------

namespace
{
struct RuleCase
{
    float target, measured;
    int bypass;
    std::vector<std::string> expected; // the lines of the gain stages, in order
    double factor;                     // 1 when nothing is applied
};

// A level stage run on the buffer, returning its log lines.
using LevelStage = juce::StringArray (*) (juce::AudioBuffer<float>&, float target, float measured, int bypass);

juce::StringArray preGain (juce::AudioBuffer<float>& b, float target, float measured, int bypass)
{
    return steps::linesFor (stages::applyPreGain (b, { target, measured, bypass == steps::preGain.row.bypassNumber }));
}

juce::StringArray normalization (juce::AudioBuffer<float>& b, float target, float measured, int bypass)
{
    return steps::linesFor (
        stages::applyNormalizationGain (b, { target, measured, bypass == steps::normalization.bypassNumber }));
}

void runRuleCases (const std::vector<RuleCase>& cases, LevelStage stage)
{
    const auto input = sine (2, 4800, 48000.0, 1000.0, 0.05f);
    for (const auto& k : cases)
    {
        auto buffer = input;
        const auto lines = stdLines (stage (buffer, k.target, k.measured, k.bypass));
        EXPECT_EQ (lines, k.expected) << "T " << k.target << " L " << k.measured << " bypass " << k.bypass;
        if (k.factor == 1.0)
            EXPECT_TRUE (identical (buffer, input));
        else
            EXPECT_LT (worstFactorError (input, buffer, k.factor), 1.0e-5) << "T " << k.target << " L " << k.measured;
    }
}
} // namespace

TEST (PreGainLeveling, CapsBoostAtTwelveAndCutsWithoutLimit)
{
    runRuleCases ({
        { -14.0f, -30.0f, 0,
          { "[AudioPipeline/PreGain] Input LUFS: -30.0 -> Applying 12.0dB",
            "[AudioPipeline/Gain] Applied makeup gain: +12.0dB (x3.981)" }, 3.9810717 },
        { -14.0f, -8.0f, 0,
          { "[AudioPipeline/PreGain] Input LUFS: -8.0 -> Applying -6.0dB",
            "[AudioPipeline/Gain] Applied makeup gain: -6.0dB (x0.501)" }, 0.5011872 },
        { -18.0f, -23.0f, 0,
          { "[AudioPipeline/PreGain] Input LUFS: -23.0 -> Applying 5.0dB",
            "[AudioPipeline/Gain] Applied makeup gain: +5.0dB (x1.778)" }, 1.7782794 },
        { -23.0f, 0.0f, 0,
          { "[AudioPipeline/PreGain] Input LUFS: 0.0 -> Applying -23.0dB",
            "[AudioPipeline/Gain] Applied makeup gain: -23.0dB (x0.071)" }, 0.0707946 },
        // Just measured: still capped at +12, not +121.9.
        { -18.0f, -139.9f, 0,
          { "[AudioPipeline/PreGain] Input LUFS: -139.9 -> Applying 12.0dB",
            "[AudioPipeline/Gain] Applied makeup gain: +12.0dB (x3.981)" }, 3.9810717 },
        { -18.0f, -18.0f, 0,
          { "[AudioPipeline/PreGain] Input LUFS: -18.0 -> Applying 0.0dB",
            "[AudioPipeline/Gain] Applied makeup gain: 0.0dB (x1.000)" }, 1.0 },
        // Normalization's bypass number does not stop pre-gain.
        { -14.0f, -20.0f, 6,
          { "[AudioPipeline/PreGain] Input LUFS: -20.0 -> Applying 6.0dB",
            "[AudioPipeline/Gain] Applied makeup gain: +6.0dB (x1.995)" }, 1.9952623 },
        // Not measured, or bypassed: nothing applied, nothing printed.
        { -18.0f, -140.0f, 0, {}, 1.0 },
        { -18.0f, -144.0f, 0, {}, 1.0 },
        { -18.0f, kNaN, 0, {}, 1.0 },
        { -14.0f, -30.0f, 1, {}, 1.0 },
    }, &preGain);
}

TEST (Normalization, AppliesTheWholeDifferenceUnlessBypassedOrUnmeasured)
{
    runRuleCases ({
        { -18.0f, -38.0f, 0,
          { "[AudioPipeline/Normalization] Current LUFS: -38.0 -> Target: -18.0 (Final tweak: 20.0dB)",
            "[AudioPipeline/Gain] Applied makeup gain: +20.0dB (x10.000)" }, 10.0 },
        { -14.0f, -8.0f, 0,
          { "[AudioPipeline/Normalization] Current LUFS: -8.0 -> Target: -14.0 (Final tweak: -6.0dB)",
            "[AudioPipeline/Gain] Applied makeup gain: -6.0dB (x0.501)" }, 0.5011872 },
        { -23.0f, -23.04f, 0,
          { "[AudioPipeline/Normalization] Current LUFS: -23.0 -> Target: -23.0 (Final tweak: 0.0dB)",
            "[AudioPipeline/Gain] Applied makeup gain: +0.0dB (x1.005)" }, 1.0046158 },
        // Pre-gain's bypass number does not stop normalization.
        { -18.0f, -21.0f, 1,
          { "[AudioPipeline/Normalization] Current LUFS: -21.0 -> Target: -18.0 (Final tweak: 3.0dB)",
            "[AudioPipeline/Gain] Applied makeup gain: +3.0dB (x1.413)" }, 1.4125375 },
        { -18.0f, -38.0f, 6, {}, 1.0 },
        { -18.0f, -140.0f, 0, {}, 1.0 },
        { -18.0f, (float) kNoLevelDb, 0, {}, 1.0 },
    }, &normalization);
}

// ---- Output trim ---------------------------------------------------------------

TEST (OutputTrim, SetsThePeakExactlyInBothDirections)
{
    struct Case
    {
        float peak;
        bool negative;
        const char* expected; // nullptr: no trim, no line
    };
    const Case cases[] = {
        { 1.0f, false, "[AudioPipeline/OutputTrim] Dropped overall gain by -5.50dB to hit exact -5.5dB peak." },
        { 0.25f, true, "[AudioPipeline/OutputTrim] Dropped overall gain by 6.54dB to hit exact -5.5dB peak." },
        { 0.999f, true, "[AudioPipeline/OutputTrim] Dropped overall gain by -5.49dB to hit exact -5.5dB peak." },
        { 4.0f, false, "[AudioPipeline/OutputTrim] Dropped overall gain by -17.54dB to hit exact -5.5dB peak." },
        { 2.0e-6f, false, "[AudioPipeline/OutputTrim] Dropped overall gain by 108.48dB to hit exact -5.5dB peak." },
        { 1.0e-6f, false, nullptr },
        { 0.0f, false, nullptr },
    };

    for (const auto& k : cases)
    {
        auto buffer = sine (2, 4800, 48000.0, 300.0, k.peak * 0.5f);
        buffer.setSample (1, 1234, k.negative ? -k.peak : k.peak);
        const auto before = buffer;

        const auto report = stages::applyOutputTrim (buffer);
        const auto lines = steps::linesFor (report);
        if (k.expected == nullptr)
        {
            EXPECT_TRUE (lines.isEmpty()) << k.peak;
            EXPECT_FALSE (report.applied.has_value()) << k.peak;
            EXPECT_TRUE (identical (buffer, before)) << k.peak;
            continue;
        }
        ASSERT_EQ (lines.size(), 1);
        EXPECT_EQ (lines[0], k.expected);
        const float gain = report.applied->factor;
        EXPECT_NEAR (peakOf (buffer), stages::outputPeakTarget, 1.0e-7f) << k.peak;
        EXPECT_NEAR (gain, stages::outputPeakTarget / k.peak, 1.0e-6 * gain);
        EXPECT_EQ (buffer.getSample (1, 1234) < 0.0f, k.negative) << "polarity kept";
    }

    EXPECT_NEAR (stages::outputPeakTarget, std::pow (10.0, -5.5 / 20.0), 1.0e-8);
}

TEST (OutputTrim, LeavesSilencedAndClearedBuffersAlone)
{
    auto silenced = speechLike (1, 4800, 48000.0);
    auto cleared = speechLike (2, 4800, 48000.0);
    juce::AudioBuffer<float> none (0, 0);

    stages::applyGain (silenced, stages::gainSettingFor (-100.0f));
    cleared.clear();
    for (auto* buffer : { &silenced, &cleared, &none })
    {
        const auto report = stages::applyOutputTrim (*buffer);
        EXPECT_FALSE (report.applied.has_value());
        EXPECT_TRUE (steps::linesFor (report).isEmpty());
    }
    EXPECT_EQ (peakOf (silenced), 0.0f);
}

// ---- Limiter -------------------------------------------------------------------

namespace
{
// A double-precision model of the two compressors, output gain and clip that
// the limiter stage relies on, independent of JUCE's code.
class ReferenceLimiter
{
public:
    ReferenceLimiter (double sampleRate, int channels)
        : first { dbToGain (-10.0), 4.0, cte (2.0, sampleRate), cte (200.0, sampleRate), std::vector<double> ((size_t) channels) },
          second { dbToGain (-1.0), 1000.0, cte (0.001, sampleRate), cte (50.0, sampleRate), std::vector<double> ((size_t) channels) }
    {
    }

    // 10^(10 * (1 - 1/4) / 40) * 10^(1/20), about 1.728 (+4.75 dB).
    static double outputGain() { return std::pow (10.0, 0.1875) * dbToGain (1.0); }

    void process (juce::AudioBuffer<float>& buffer)
    {
        for (int c = 0; c < buffer.getNumChannels(); ++c)
            for (int i = 0; i < buffer.getNumSamples(); ++i)
            {
                const double y = second.process (c, first.process (c, buffer.getSample (c, i))) * outputGain();
                buffer.setSample (c, i, (float) juce::jlimit (-1.0, 1.0, y));
            }
    }

private:
    static double dbToGain (double db) { return std::pow (10.0, db / 20.0); }
    static double cte (double ms, double rate) { return ms < 0.001 ? 0.0 : std::exp (-2.0 * juce::MathConstants<double>::pi * 1000.0 / (rate * ms)); }

    struct Stage
    {
        double threshold, ratio, attack, release;
        std::vector<double> env;

        double process (int c, double x)
        {
            const double in = std::abs (x);
            const double k = in > env[(size_t) c] ? attack : release;
            const double e = in + k * (env[(size_t) c] - in);
            env[(size_t) c] = e;
            return e < threshold ? x : x * std::pow (e / threshold, 1.0 / ratio - 1.0);
        }
    } first, second;
};
} // namespace

TEST (Limiter, MatchesTheReferenceModelAndStaysWithinFullScale)
{
    // A burst far over the ceiling, then a steady tone just under it: the
    // recovery after the burst is where the release times show.
    auto burstThenTone = [] (double rate)
    {
        auto b = sine (2, (int) rate, rate, 220.0, 0.8f);
        b.applyGain (0, (int) (rate * 0.2), 5.0f);
        return b;
    };
    auto speechAt = [] (double rate, int channels, float boostDb)
    {
        auto b = speechLike (channels, (int) rate * 3, rate, 11);
        b.applyGain (stages::gainFactor (boostDb));
        return b;
    };

    struct Case
    {
        const char* name;
        double sampleRate;
        juce::AudioBuffer<float> signal;
    };
    std::vector<Case> cases;
    cases.push_back ({ "speech +20 dB", 48000.0, speechAt (48000.0, 2, 20.0f) });
    cases.push_back ({ "speech +6 dB", 44100.0, speechAt (44100.0, 1, 6.0f) });
    cases.push_back ({ "speech +30 dB", 16000.0, speechAt (16000.0, 2, 30.0f) });
    cases.push_back ({ "speech", 96000.0, speechAt (96000.0, 1, 0.0f) });
    cases.push_back ({ "burst then tone", 48000.0, burstThenTone (48000.0) });

    for (auto& k : cases)
    {
        auto actual = k.signal;
        auto expected = k.signal;
        const auto lines = steps::linesFor (stages::applyLimiter (actual, k.sampleRate, {}));
        ReferenceLimiter (k.sampleRate, k.signal.getNumChannels()).process (expected);

        EXPECT_EQ (lines, juce::StringArray ("[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling=-1.0 dBTP)"));
        EXPECT_LE (peakOf (actual), 1.0f) << k.name;

        int worstChannel = 0, worstIndex = 0;
        double worst = 0.0;
        for (int c = 0; c < actual.getNumChannels(); ++c)
            for (int i = 0; i < actual.getNumSamples(); ++i)
                if (const double d = std::abs ((double) actual.getSample (c, i) - expected.getSample (c, i)); d > worst)
                    worst = d, worstChannel = c, worstIndex = i;
        // Float against double differs by a few 1e-6 at most.
        EXPECT_LT (worst, 2.0e-5) << k.name << " at " << k.sampleRate << " Hz, worst at channel " << worstChannel
                                  << " sample " << worstIndex << ": " << actual.getSample (worstChannel, worstIndex)
                                  << " vs " << expected.getSample (worstChannel, worstIndex);
    }
}

TEST (Limiter, ChannelsAreIndependent)
{
    auto stereo = speechLike (2, 48000, 48000.0, 3);
    stereo.applyGain (0, 0, stereo.getNumSamples(), 10.0f); // left driven hard, right untouched
    juce::AudioBuffer<float> rightAlone (1, stereo.getNumSamples());
    rightAlone.copyFrom (0, 0, stereo, 1, 0, stereo.getNumSamples());

    stages::applyLimiter (stereo, 48000.0, {});
    stages::applyLimiter (rightAlone, 48000.0, {});
    EXPECT_EQ (std::memcmp (stereo.getReadPointer (1), rightAlone.getReadPointer (0),
                            sizeof (float) * (size_t) rightAlone.getNumSamples()), 0);
}

TEST (LimitAndTrim, QuietAndLoudMaterialEndsAtTheTrimPeak)
{
    // A tone below both compressor thresholds only sees the limiter's fixed
    // output gain, so 0.25 / 1.728 in gives 0.25 out and a +6.54 dB trim.
    const double quietAmplitude = 0.25 / ReferenceLimiter::outputGain();
    struct Case
    {
        const char* name;
        juce::AudioBuffer<float> signal;
        const char* trimLine;
    };
    std::vector<Case> cases;
    cases.push_back ({ "quiet tone", sine (1, 48000, 48000.0, 440.0, (float) quietAmplitude, 0.5 * juce::MathConstants<double>::pi),
                       "[AudioPipeline/OutputTrim] Dropped overall gain by 6.54dB to hit exact -5.5dB peak." });
    auto loud = speechLike (2, 96000, 48000.0);
    loud.applyGain (10.0f);
    cases.push_back ({ "clipping speech", loud,
                       "[AudioPipeline/OutputTrim] Dropped overall gain by -5.50dB to hit exact -5.5dB peak." });

    for (auto& k : cases)
    {
        auto lines = steps::linesFor (stages::applyLimiter (k.signal, 48000.0, {}));
        lines.addArray (steps::linesFor (stages::applyOutputTrim (k.signal)));
        EXPECT_EQ (lines, juce::StringArray ({ "[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling=-1.0 dBTP)",
                                               k.trimLine }))
            << k.name;
        EXPECT_NEAR (peakOf (k.signal), stages::outputPeakTarget, 1.0e-7f) << k.name;
    }
}

TEST (LimitAndTrim, SilenceGetsNoTrim)
{
    for (auto buffer : { silence (2, 4800), juce::AudioBuffer<float> (1, 0) })
    {
        auto lines = steps::linesFor (stages::applyLimiter (buffer, 48000.0, {}));
        lines.addArray (steps::linesFor (stages::applyOutputTrim (buffer)));
        EXPECT_EQ (lines, juce::StringArray ("[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling=-1.0 dBTP)"));
        EXPECT_EQ (peakOf (buffer), 0.0f);
    }
}
