// The processing stages through the built program: every stage's header and
// log line in the order of the stage table, the switches that drop them, and
// the pre-filtered intermediate file. Values that depend on the analysis are
// matched by pattern and checked against each other, not against fixed numbers.

#include "support/StageMeasure.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using namespace tessaloom;

using namespace testing_support;

namespace
{
const std::string autoMapPattern =
    R"(\[AutoMap\] DF3 Atten=(15\.0|12\.0|10\.0) Comp Ratio=(2\.0|4\.0):1 MudCut=(0\.0|-3\.0)dB EQ Air=(4\.0|2\.0|-2\.0)dB Sibilance=-?\d+\.\ddBFS)";
const std::string deEsserPattern = R"(\[AudioPipeline/DeEsser\] Applied LR-5kHz Crossover De-esser \(Threshold=(-?\d+\.\d)dB\))";
const std::string expanderPattern = R"(\[AudioPipeline/Expander\] Applied Downward Expander \(Threshold=-?\d+\.\ddB, Ratio=2:1\))";
const std::string eqPattern =
    R"(\[AudioPipeline/EQ\] Applied (.*) vocal EQ: Thickness=3\.5dB, MudCut=(0\.0|-3\.0)dB, Presence=(3\.0|1\.0)dB, AirShelf=(4\.0|2\.0|-2\.0)dB)";
const std::string levelerLine = "[AudioPipeline/Compressor] Applied Serial Opto-Style Leveler (LA-2A Topology)";
const std::string saturationPattern =
    R"(\[AudioPipeline/Saturation\] Applied Tape Saturation \+ 14kHz LPF Roll-off \(Drive=\+(0\.2|0\.5)dB\))";

std::string escape (const std::string& literal)
{
    return std::regex_replace (literal, std::regex (R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// One expected line: a full-line regular expression.
struct Expect
{
    std::string regex;
    static Expect exact (const std::string& line) { return { escape (line) }; }
    static Expect startsWith (const std::string& prefix) { return { escape (prefix) + ".*" }; }
    static Expect pattern (const std::string& r) { return { r }; }
};

// Finds the expected lines in order (other lines may come between) and
// returns the index of each; fails with the first one missing.
std::vector<size_t> findInOrder (const std::vector<std::string>& lines, const std::vector<Expect>& expected)
{
    std::vector<size_t> found;
    size_t next = 0;
    for (const auto& e : expected)
    {
        const std::regex r (e.regex);
        size_t i = next;
        while (i < lines.size() && ! std::regex_match (lines[i], r))
            ++i;
        if (i == lines.size())
        {
            ADD_FAILURE() << "missing, or out of order: " << e.regex;
            return found;
        }
        found.push_back (i);
        next = i + 1;
    }
    return found;
}

int countMatching (const std::vector<std::string>& lines, const std::string& regex)
{
    const std::regex r (regex);
    int n = 0;
    for (const auto& l : lines)
        n += std::regex_match (l, r) ? 1 : 0;
    return n;
}

std::smatch matchOne (const std::vector<std::string>& lines, const std::string& regex)
{
    const std::regex r (regex);
    std::smatch m;
    for (const auto& l : lines)
        if (std::regex_match (l, m, r))
            return m;
    return {};
}

struct Run
{
    ProcessOutput process;
    std::vector<std::string> lines;
    juce::File output;
};

Run runOn (const TempFolder& folder, const juce::AudioBuffer<float>& audio, double rate,
           std::vector<std::string> extra = {})
{
    const auto input = folder.file ("voice.wav");
    writeWav (input, audio, rate);
    Run run;
    run.output = folder.file ("out/voice_mastered.wav");
    std::vector<std::string> args { "--input", input.getFullPathName().toStdString(), "--output",
                                    run.output.getFullPathName().toStdString(), "--denoise", "false" };
    args.insert (args.end(), extra.begin(), extra.end());
    run.process = runEngineExe (args);
    run.lines = run.process.errLines();
    return run;
}
} // namespace

TEST (ChainStagesE2E, EveryStageInStageTableOrder)
{
    struct Case { double rate; int channels; };
    const Case cases[] = { { 44100.0, 1 }, { 44100.0, 2 }, { 48000.0, 1 }, { 48000.0, 2 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::to_string ((int) c.rate) + " Hz, " + std::to_string (c.channels) + " ch");
        TempFolder folder;
        const auto audio = speechLike (c.channels, (int) (3.0 * c.rate), c.rate);
        const auto run = runOn (folder, audio, c.rate);
        ASSERT_EQ (run.process.exitCode, 0) << run.process.err;
        EXPECT_NE (run.process.out.find (R"("success":1,"failed":0)"), std::string::npos) << run.process.out;

        findInOrder (run.lines, {
            Expect::exact ("[AudioPipeline] Pass 1: Offline Analysis"),
            Expect::pattern (autoMapPattern),
            Expect::exact ("[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)"),
            Expect::exact ("[AudioPipeline/PreFilter] Applied HPF at 90Hz"),
            Expect::startsWith ("[AudioPipeline] Loaded audio: "),
            Expect::exact ("[AudioPipeline] Stage 1.6: Pre-Gain Leveling (Target: -18.0 LUFS)"),
            Expect::exact ("[AudioPipeline] Stage 1.7: Dynamic De-esser"),
            Expect::pattern (deEsserPattern),
            Expect::exact ("[AudioPipeline] Stage 1.8: Downward Expander"),
            Expect::pattern (expanderPattern),
            Expect::exact ("[AudioPipeline] Stage 3: Corrective & Enhancement EQ (Male)"),
            Expect::pattern (eqPattern),
            Expect::exact ("[AudioPipeline] Stage 2: Opto-Style Serial Leveler"),
            Expect::exact (levelerLine),
            Expect::exact ("[AudioPipeline] Stage 4: Harmonic Saturation"),
            Expect::pattern (saturationPattern),
            Expect::exact ("[AudioPipeline] Stage 5: Broadcast Normalization (Target: -18.0 LUFS)"),
            Expect::startsWith ("[AudioPipeline/Normalization] Current LUFS: "),
            Expect::startsWith ("[AudioPipeline/Gain] Applied makeup gain: "),
            Expect::exact ("[AudioPipeline] Stage 6: True Peak Limiter"),
            Expect::exact ("[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling=-1.0 dBTP)"),
            Expect::startsWith ("[AudioPipeline/OutputTrim] Dropped overall gain by "),
            Expect::exact ("[GainStaging] Peak after Limiter & Output Trim: -5.50 dBFS"),
            Expect::startsWith ("[AudioPipeline] COMPLETE. Total time: "),
        });

        // Each stage speaks once.
        for (const auto& p : { autoMapPattern, deEsserPattern, expanderPattern, eqPattern, saturationPattern,
                               escape (levelerLine), escape ("[AudioPipeline/PreFilter] Applied HPF at 90Hz") })
            EXPECT_EQ (countMatching (run.lines, p), 1) << p;

        // The stages use what the mapping printed.
        const auto mapped = matchOne (run.lines, autoMapPattern);
        const auto eq = matchOne (run.lines, eqPattern);
        const auto sat = matchOne (run.lines, saturationPattern);
        ASSERT_FALSE (mapped.empty() || eq.empty() || sat.empty());
        EXPECT_EQ (eq[1].str(), "Male");
        EXPECT_EQ (eq[2].str(), mapped[3].str()) << "mud cut";
        EXPECT_EQ (eq[4].str(), mapped[4].str()) << "air shelf";
        EXPECT_EQ (eq[3].str(), mapped[4].str() == "-2.0" ? "1.0" : "3.0") << "presence follows the tilt row";
        EXPECT_EQ (sat[1].str(), mapped[2].str() == "4.0" ? "0.5" : "0.2") << "drive follows the crest row";
        const auto deEsser = matchOne (run.lines, deEsserPattern);
        ASSERT_FALSE (deEsser.empty());
        EXPECT_GE (std::stod (deEsser[1].str()), -40.0) << "the de-esser never engages below -40 dBFS";

        // The output: 16-bit WAV of the same shape, finite and not silenced.
        const auto out = readAudio (run.output);
        ASSERT_TRUE (out.ok);
        EXPECT_EQ (out.bitsPerSample, 16);
        EXPECT_EQ (out.sampleRate, c.rate);
        EXPECT_EQ (out.buffer.getNumChannels(), c.channels);
        EXPECT_EQ (out.buffer.getNumSamples(), audio.getNumSamples());
        // The written peak sits at -5.5 dBFS, within one 16-bit step.
        EXPECT_NEAR (peakOf (out.buffer), std::pow (10.0f, -5.5f / 20.0f), 1.0f / 32768.0f);
    }
}

TEST (ChainStagesE2E, SwitchesAndBypassNumbersDropTheirStages)
{
    struct Case
    {
        std::vector<std::string> args;
        std::vector<std::string> absent;  // regexes that must match no line
        std::vector<std::string> present; // regexes that must match one line
        const char* label;
    };
    const std::string eqHeader = R"(\[AudioPipeline\] Stage 3: Corrective & Enhancement EQ \(.*\))";
    const std::string levelerHeader = escape ("[AudioPipeline] Stage 2: Opto-Style Serial Leveler");
    const Case cases[] = {
        { { "--bypass-stage", "2" }, { deEsserPattern }, { escape ("[AudioPipeline] Stage 1.7: Dynamic De-esser"), expanderPattern }, "de-esser bypassed" },
        { { "--bypass-stage", "3" }, { eqHeader, eqPattern }, { escape (levelerLine) }, "EQ bypassed" },
        { { "--bypass-stage", "4" }, { levelerHeader, escape (levelerLine) }, { eqPattern }, "leveler bypassed" },
        { { "--bypass-stage", "5" }, { saturationPattern }, { escape ("[AudioPipeline] Stage 4: Harmonic Saturation") }, "saturation bypassed" },
        { { "--bypass-stage", "6" }, {}, { deEsserPattern, expanderPattern, eqPattern, escape (levelerLine), saturationPattern }, "not one of these" },
        { { "--eq", "false" }, { eqHeader, eqPattern }, { escape (levelerLine), saturationPattern }, "EQ off" },
        { { "--compressor", "false" }, { levelerHeader, escape (levelerLine) }, { eqPattern, saturationPattern }, "leveler off" },
        { { "--voice-type", "Female" }, {}, { escape ("[AudioPipeline] Stage 3: Corrective & Enhancement EQ (Female)"), R"(\[AudioPipeline/EQ\] Applied Female vocal EQ: .*)" }, "female voice" },
        { { "--eq", "false", "--compressor", "false" },
          { deEsserPattern, expanderPattern, eqPattern, escape (levelerLine), saturationPattern },
          { autoMapPattern, escape ("[AudioPipeline/PreFilter] Applied HPF at 90Hz") },
          "chain off: only Pass 1 and the pre-filter" },
    };
    const double rate = 44100.0;
    const auto audio = speechLike (1, (int) (2.0 * rate), rate);
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder folder;
        const auto run = runOn (folder, audio, rate, c.args);
        ASSERT_EQ (run.process.exitCode, 0) << run.process.err;
        for (const auto& r : c.absent)
            EXPECT_EQ (countMatching (run.lines, r), 0) << r;
        for (const auto& r : c.present)
            EXPECT_EQ (countMatching (run.lines, r), 1) << r;
    }
}

TEST (ChainStagesE2E, UnreadableInputGetsNoMappingAndNoPreFilter)
{
    TempFolder folder;
    const auto input = folder.file ("broken.wav");
    input.replaceWithText ("not audio at all");
    const auto run = runEngineExe ({ "--input", input.getFullPathName().toStdString(), "--output",
                                     folder.file ("out.wav").getFullPathName().toStdString(), "--denoise", "false" });
    const auto lines = run.errLines();
    EXPECT_EQ (run.exitCode, 2);
    EXPECT_EQ (countMatching (lines, escape ("[AudioPipeline] WARNING: Could not read input for Pass 1 analysis")), 1);
    EXPECT_EQ (countMatching (lines, R"(\[AutoMap\].*)"), 0);
    EXPECT_EQ (countMatching (lines, R"(\[AudioPipeline/PreFilter\].*)"), 0);
    EXPECT_FALSE (folder.file ("_stage0_prefiltered.wav").exists());
}

TEST (ChainStagesE2E, PreFilteredIntermediateIsHighPassed)
{
    // 30 Hz rumble under a 1 kHz tone: the intermediate file keeps the tone and
    // loses about 19 dB of the rumble (a 90 Hz second-order high-pass).
    TempFolder folder;
    const double rate = 48000.0;
    auto audio = sine (2, (int) (2.0 * rate), rate, 30.0, 0.3f);
    const auto tone = sine (2, (int) (2.0 * rate), rate, 1000.0, 0.3f);
    for (int ch = 0; ch < 2; ++ch)
        audio.addFrom (ch, 0, tone, ch, 0, audio.getNumSamples());

    const auto run = runOn (folder, audio, rate, { "--eq", "false", "--compressor", "false" });
    ASSERT_EQ (run.process.exitCode, 0) << run.process.err;
    const auto prefiltered = readAudio (folder.file ("out/_stage0_prefiltered.wav"));
    ASSERT_TRUE (prefiltered.ok);
    EXPECT_EQ (prefiltered.bitsPerSample, 16);
    ASSERT_EQ (prefiltered.buffer.getNumChannels(), 2);
    const int start = (int) rate, count = (int) rate;
    for (int ch = 0; ch < 2; ++ch)
    {
        const double rumble = stage_measure::toneAmplitude (prefiltered.buffer, ch, start, count, rate, 30.0);
        const double voice = stage_measure::toneAmplitude (prefiltered.buffer, ch, start, count, rate, 1000.0);
        EXPECT_NEAR (stage_measure::toDb (rumble / 0.3), -19.1, 0.3) << ch;
        EXPECT_NEAR (stage_measure::toDb (voice / 0.3), 0.0, 0.05) << ch;
    }
}
