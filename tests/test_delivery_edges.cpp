// The loudness finish at its edges, through the built program: the bypass
// numbers, the chain switched off, a silent file, a target the ceiling does not
// allow; the options that select it (--finish, --true-peak, --preset,
// --help-all) and the report's settings and delivery checks.

#include "app/CommandLine.h"
#include "support/DeliveryCorpus.h"
#include "support/IndependentMeter.h"
#include "support/TestSupport.h"

using namespace tessaloom;

using namespace testing_support;

namespace
{
bool hasLine (const ProcessOutput& run, const std::string& text)
{
    for (const auto& line : run.errLines())
        if (line == text)
            return true;
    return false;
}

bool hasLineStartingWith (const ProcessOutput& run, const std::string& prefix)
{
    for (const auto& line : run.errLines())
        if (line.rfind (prefix, 0) == 0)
            return true;
    return false;
}

juce::var reportLine (const juce::File& report)
{
    return juce::JSON::parse (report.loadFileAsString().upToFirstOccurrenceOf ("\n", false, false));
}

juce::StringArray args (std::initializer_list<const char*> list)
{
    juce::StringArray a { "tessaloom-audio-engine" };
    for (auto* s : list)
        a.add (s);
    return a;
}

// Speech at ordinary levels, written as a 24-bit file.
juce::File speechFile (const TempFolder& tmp, const char* name, float peak, double rate = 48000.0)
{
    auto audio = speechLike (1, (int) rate * 8, rate, 21);
    audio.applyGain (peak / peakOf (audio));
    const auto file = tmp.file (name);
    writeWav (file, audio, rate, 24);
    return file;
}
} // namespace

// Each row: the options beside --finish loudness, what the log says of Stage 6,
// and what the written file's loudness and peak are.
TEST (DeliveryEdges, BypassesChainOffAndSilence)
{
    TempFolder tmp;
    const auto speech = speechFile (tmp, "speech.wav", 0.9f);
    const auto silent = tmp.file ("silent.wav");
    writeWav (silent, silence (1, 48000 * 3), 48000.0, 16);
    const std::string header = "[AudioPipeline] Stage 6: Delivery Finish (Target: -16.0 LUFS, Ceiling: -1.0 dBTP)";

    struct Case
    {
        const char* label;
        juce::File input;
        std::vector<std::string> extra;
        bool headerShown;        // the Stage 6 header
        bool limiterLine;        // "[AudioPipeline/TruePeakLimiter] ..."
        const char* finishLine;  // a line that starts so, or null for none of "[AudioPipeline/Finish]"
        bool onTarget;           // the output's loudness within 0.1 LU of -16
        bool underCeiling;       // the output's true peak at most -1 dBTP
    };
    const Case cases[] = {
        { "finish as it is", speech, {}, true, true, "[AudioPipeline/Finish] Final gain: ", true, true },
        // No normalization: the limiter holds the peaks, the loudness stays where the chain left it.
        { "bypass 6", speech, { "--bypass-stage", "6" }, true, true,
          "[AudioPipeline/Finish] Normalization bypassed: loudness left as the limiter leaves it", false, true },
        // No limiter and no final gain: the normalization alone, exact, with its peaks.
        { "bypass 7", speech, { "--bypass-stage", "7" }, true, false, nullptr, true, false },
        // The chain off: a copy of the pre-filtered audio; no Stage 5 or 6 at all.
        { "chain off", speech, { "--compressor", "false", "--eq", "false" }, false, false, nullptr, false, false },
        { "silent file", silent, {}, true, true, "[AudioPipeline/Finish] Loudness not measured: no final gain", false, true },
    };
    for (const auto& c : cases)
    {
        const auto out = tmp.file (juce::String ("out_") + juce::String (c.label).replaceCharacter (' ', '_') + ".wav");
        std::vector<std::string> a { "--input", c.input.getFullPathName().toStdString(), "--output",
                                     out.getFullPathName().toStdString(), "--denoise", "false", "--finish", "loudness",
                                     "--target-lufs", "-16" };
        a.insert (a.end(), c.extra.begin(), c.extra.end());
        const auto run = runEngineExe (a);
        ASSERT_EQ (run.exitCode, 0) << c.label << "\n" << run.err;
        EXPECT_EQ (hasLine (run, header), c.headerShown) << c.label;
        EXPECT_EQ (hasLineStartingWith (run, "[AudioPipeline/TruePeakLimiter] Applied True-Peak Limiter (Ceiling=-1.0 dBTP"),
                   c.limiterLine) << c.label;
        if (c.finishLine != nullptr)
            EXPECT_TRUE (hasLineStartingWith (run, c.finishLine)) << c.label;
        else
            EXPECT_FALSE (hasLineStartingWith (run, "[AudioPipeline/Finish]")) << c.label;
        // The peak-trim finish's lines never appear with the loudness finish.
        EXPECT_FALSE (hasLineStartingWith (run, "[AudioPipeline/OutputTrim]")) << c.label;
        EXPECT_FALSE (hasLineStartingWith (run, "[AudioPipeline/Limiter]")) << c.label;

        const auto written = readAudio (out);
        ASSERT_TRUE (written.ok) << c.label;
        EXPECT_EQ (written.buffer.getNumSamples(), readAudio (c.input).buffer.getNumSamples()) << c.label;
        const auto m = measureWithLibebur128 (written.buffer, written.sampleRate);
        if (c.input == silent)
            EXPECT_EQ (peakOf (written.buffer), 0.0f) << c.label;
        else
        {
            EXPECT_EQ (std::abs (m.integratedLufs + 16.0) <= 0.1, c.onTarget) << c.label << ": " << m.integratedLufs;
            EXPECT_EQ (m.truePeakDb <= -1.0, c.underCeiling) << c.label << ": " << m.truePeakDb;
        }
    }
}

// A take whose loudness the ceiling cannot reach without distortion (quiet,
// with syllables 14 dB apart, raised to -14 LUFS): the finish stops at its
// drive limit under the ceiling, without clipping, and says how far short it is.
TEST (DeliveryEdges, TargetOutOfReachUnderTheCeilingIsReportedNotClipped)
{
    TempFolder tmp;
    const auto in = speechFile (tmp, "far.wav", 0.03f);
    const auto out = tmp.file ("far_out.wav");
    const auto report = tmp.file ("report.jsonl");
    const auto run = runEngineExe ({ "--input", in.getFullPathName().toStdString(), "--output", out.getFullPathName().toStdString(),
                                     "--denoise", "false", "--finish", "loudness", "--target-lufs", "-14", "--report",
                                     report.getFullPathName().toStdString() });
    ASSERT_EQ (run.exitCode, 0) << run.err;
    EXPECT_TRUE (hasLineStartingWith (run, "[AudioPipeline/Finish] WARNING: ")) << run.err;
    const auto written = readAudio (out);
    const auto m = measureWithLibebur128 (written.buffer, written.sampleRate);
    EXPECT_LE (m.truePeakDb, -1.0);
    EXPECT_EQ (plateausAtPeak (written.buffer), 0);
    const auto line = reportLine (report);
    EXPECT_LT ((double) line["output"]["offTargetLu"], -0.05);
    EXPECT_GT ((int) line["settings"]["finishPasses"], 1);
}

// The options: their values, the errors, and a preset that options given on
// their own override wherever they stand.
TEST (DeliveryEdges, OptionsAndPresets)
{
    struct Case
    {
        std::vector<const char*> extra;
        Finish finish;
        float target, ceiling;
        const char* preset;
    };
    const Case cases[] = {
        { {}, Finish::peakTrim, -18.0f, -1.0f, "" },
        { { "--finish", "loudness" }, Finish::loudness, -18.0f, -1.0f, "" },
        { { "--finish", "loudness", "--finish", "peak-trim" }, Finish::peakTrim, -18.0f, -1.0f, "" },
        { { "--finish", "loudness", "--true-peak", "-2.5" }, Finish::loudness, -18.0f, -2.5f, "" },
        { { "--preset", "podcast" }, Finish::loudness, -16.0f, -1.0f, "podcast" },
        { { "--preset", "streaming" }, Finish::loudness, -14.0f, -1.0f, "streaming" },
        { { "--preset", "broadcast" }, Finish::loudness, -23.0f, -1.0f, "broadcast" },
        { { "--preset", "audiobook" }, Finish::loudness, -20.0f, -3.5f, "audiobook" },
        { { "--target-lufs", "-19", "--preset", "podcast" }, Finish::loudness, -19.0f, -1.0f, "podcast" },
        { { "--preset", "broadcast", "--true-peak", "-2", "--finish", "peak-trim" }, Finish::peakTrim, -23.0f, -2.0f, "broadcast" },
    };
    for (const auto& c : cases)
    {
        auto a = args ({ "--input", "a.wav", "--output", "b.wav" });
        for (auto* s : c.extra)
            a.add (s);
        const auto o = parseCommandLine (a);
        const auto label = a.joinIntoString (" ");
        ASSERT_TRUE (o.isValid) << label << ": " << o.errorMessage;
        EXPECT_EQ (o.config.finish, c.finish) << label;
        EXPECT_FLOAT_EQ (o.config.targetLufs, c.target) << label;
        EXPECT_FLOAT_EQ (o.config.truePeakDbtp, c.ceiling) << label;
        EXPECT_EQ (o.config.deliveryPreset, c.preset) << label;
    }

    struct Bad { std::vector<std::string> extra; const char* message; };
    const Bad bad[] = {
        { { "--finish", "Loudness" }, "Invalid value for argument: --finish (the values are loudness and peak-trim)" },
        { { "--finish", "" }, "Invalid value for argument: --finish (the values are loudness and peak-trim)" },
        { { "--preset", "radio" },
          "Invalid value for argument: --preset (the presets are podcast, streaming, broadcast, audiobook)" },
        { { "--true-peak", "0.5" }, "Invalid value for argument: --true-peak" },
        { { "--true-peak", "nan" }, "Invalid value for argument: --true-peak" },
        { { "--true-peak", "-31" }, "Invalid value for argument: --true-peak" },
        { { "--finish" }, "Missing value for argument: --finish" },
    };
    for (const auto& b : bad)
    {
        std::vector<std::string> a { "--input", "a.wav", "--output", "b.wav" };
        a.insert (a.end(), b.extra.begin(), b.extra.end());
        const auto r = runEngineExe (a);
        EXPECT_EQ (r.exitCode, 1) << b.message;
        EXPECT_EQ (r.out, "");
        EXPECT_EQ (r.err, std::string ("ERROR: ") + b.message + "\nRun with --help for usage information.\n");
    }
}

// --help stays as it was; --help-all is that text and then every option beyond it.
TEST (DeliveryEdges, HelpAllListsTheOptionsBeyondHelp)
{
    const auto help = runEngineExe ({ "--help" });
    const auto all = runEngineExe ({ "--help-all" });
    EXPECT_EQ (all.exitCode, 0);
    EXPECT_EQ (all.err, "");
    ASSERT_EQ (help.out.substr (0, help.out.size() - 1), all.out.substr (0, help.out.size() - 1));
    const auto beyond = all.out.substr (help.out.size() - 1);
    for (const char* option : { "--report <file>", "--bypass-stage <n>", "--finish <name>", "--true-peak <dBTP>",
                                "--preset <name>", "podcast:", "streaming:", "broadcast:", "audiobook:" })
        EXPECT_NE (beyond.find (option), std::string::npos) << option;
    EXPECT_EQ (help.out.find ("--finish"), std::string::npos);
}

// The report: which finish ran and what it did, and with a preset the checks
// of its requirements, measured on the written file; a failed file fails them.
TEST (DeliveryEdges, ReportStatesTheFinishAndTheDeliveryChecks)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    // A spoken voice with silent pauses, and the same with a room's noise under it.
    auto clean = corpus_detail::spoken ("Chapter two. The rain had stopped, and the street was quiet again.", "en", 48000.0, 1);
    ASSERT_GT (clean.getNumSamples(), 0) << "espeak-ng missing";
    clean.applyGain (0.5f / peakOf (clean));
    writeWav (in.getChildFile ("clean.wav"), clean, 48000.0, 24);
    auto noisy = clean;
    noisy.addFrom (0, 0, pinkNoise (1, noisy.getNumSamples(), 0.01f, 6), 0, 0, noisy.getNumSamples());
    writeWav (in.getChildFile ("noisy.wav"), noisy, 48000.0, 24);
    in.getChildFile ("broken.wav").replaceWithText ("not audio");

    struct Case { const char* preset; const char* file; bool success; bool pass; std::vector<std::string> failing; };
    const Case cases[] = {
        { "podcast", "clean.wav", true, true, {} },
        { "broadcast", "noisy.wav", true, true, {} },
        { "audiobook", "clean.wav", true, true, {} },
        // The room's noise between words is measured, not promised.
        { "audiobook", "noisy.wav", true, false, { "noiseFloorDbfs" } },
        { "podcast", "broken.wav", false, false, {} },
    };
    for (const char* preset : { "podcast", "broadcast", "audiobook" })
    {
        const auto report = tmp.file (juce::String (preset) + ".jsonl");
        const auto run = runEngineExe ({ "--input-dir", in.getFullPathName().toStdString(), "--output-dir",
                                         tmp.file (juce::String ("out_") + preset).getFullPathName().toStdString(),
                                         "--denoise", "false", "--preset", preset, "--report", report.getFullPathName().toStdString() });
        EXPECT_EQ (run.exitCode, 2) << run.err; // the broken file
        juce::StringArray lines;
        lines.addLines (report.loadFileAsString());
        lines.removeEmptyStrings();
        for (const auto& c : cases)
        {
            if (juce::String (c.preset) != preset)
                continue;
            juce::var line;
            for (const auto& l : lines)
                if (l.contains (juce::String ("/") + c.file + "\""))
                    line = juce::JSON::parse (l);
            const auto label = juce::String (preset) + " " + c.file;
            ASSERT_TRUE (line.isObject()) << label;
            EXPECT_EQ ((bool) line["success"], c.success) << label;
            const auto d = line["delivery"];
            ASSERT_TRUE (d.isObject()) << label;
            EXPECT_EQ (d["preset"].toString(), juce::String (preset)) << label;
            EXPECT_EQ ((bool) d["pass"], c.pass) << label;
            if (! c.success)
            {
                EXPECT_TRUE (d["checks"].isVoid()) << label;
                continue;
            }
            EXPECT_EQ (line["settings"]["finish"].toString(), "loudness") << label;
            EXPECT_TRUE (line["settings"]["limiterMaxGainReductionDb"].isDouble()) << label;
            EXPECT_TRUE (line["settings"]["limiterMeanGainReductionDb"].isDouble()) << label;
            EXPECT_TRUE (line["settings"]["finishGainDb"].isDouble()) << label;
            EXPECT_GE ((int) line["settings"]["finishPasses"], 1) << label;
            EXPECT_TRUE (line["settings"]["outputTrimDb"].isVoid()) << label;
            std::vector<std::string> failing;
            for (const auto& check : *d["checks"].getArray())
            {
                EXPECT_TRUE (check["measured"].isDouble()) << label;
                if (! (bool) check["pass"])
                    failing.push_back (check["requirement"].toString().toStdString());
            }
            EXPECT_EQ (failing, c.failing) << label;
            EXPECT_EQ (d["checks"].size(), juce::String (preset) == "audiobook" ? 3 : 2) << label;
        }
    }

    // Without a preset there is no delivery object, and the default finish says so.
    const auto report = tmp.file ("plain.jsonl");
    const auto run = runEngineExe ({ "--input", in.getChildFile ("clean.wav").getFullPathName().toStdString(), "--output",
                                     tmp.file ("plain.wav").getFullPathName().toStdString(), "--denoise", "false", "--report",
                                     report.getFullPathName().toStdString() });
    ASSERT_EQ (run.exitCode, 0);
    const auto line = reportLine (report);
    EXPECT_FALSE (line.hasProperty ("delivery"));
    EXPECT_EQ (line["settings"]["finish"].toString(), "peak-trim");
    EXPECT_TRUE (line["settings"]["outputTrimDb"].isDouble());
    EXPECT_TRUE (line["settings"]["finishPasses"].isVoid());
}
