// --check as a producer runs it over delivered files: the built engine
// measures a folder (or one file, WAV or FLAC) against a preset or limits,
// writes the report and the page and nothing else, and says in its exit
// status whether every file passed. Checked: exit codes, the exact log and
// summary lines, the report's lines against libebur128, the folder listed
// before and after, and the refusals.
#include "support/IndependentMeter.h"
#include "support/TestSupport.h"

#include <cmath>

using namespace tessaloom;

using namespace testing_support;

namespace
{
std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

std::string usageError (const std::string& message)
{
    return "ERROR: " + message + "\nRun with --help for usage information.\n";
}

// A steady 1 kHz tone at this loudness (mono: amplitude from BS.1770's -3.01 dB for a full-scale sine).
juce::AudioBuffer<float> toneAt (double lufs, double rate, double seconds)
{
    return sine (1, (int) (rate * seconds), rate, 1000.0, (float) std::pow (10.0, (lufs + 3.01) / 20.0));
}

void writeFlac (const juce::File& file, const juce::AudioBuffer<float>& audio, double rate)
{
    juce::FlacAudioFormat flac;
    auto stream = std::make_unique<juce::FileOutputStream> (file);
    ASSERT_TRUE (stream->openedOk());
    std::unique_ptr<juce::AudioFormatWriter> writer (
        flac.createWriterFor (stream.get(), rate, (unsigned) audio.getNumChannels(), 24, {}, 0));
    ASSERT_NE (writer, nullptr);
    stream.release();
    ASSERT_TRUE (writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples()));
}

std::vector<juce::var> reportLines (const juce::File& report)
{
    auto lines = parsedReportLines (report);
    std::sort (lines.begin(), lines.end(), [] (const juce::var& a, const juce::var& b)
               { return a["inputPath"].toString() < b["inputPath"].toString(); });
    return lines;
}

std::vector<std::string> sortedLines (const std::string& text)
{
    std::vector<std::string> lines;
    for (const auto& l : juce::StringArray::fromLines (juce::String (text).trimEnd()))
        if (! l.startsWith ("[System] Topology"))
            lines.push_back (l.toStdString());
    std::sort (lines.begin(), lines.end());
    return lines;
}
} // namespace

// A folder of deliveries: one on target, one too loud, one with a peak over the
// ceiling, one that is not audio. Every file is measured, the report holds one
// line each, the page is written, and nothing else lands anywhere.
TEST (CheckRunExe, MeasuresAFolderAndWritesOnlyTheReportAndThePage)
{
    TempFolder tmp;
    const auto in = tmp.file ("delivered");
    in.createDirectory();
    writeWav (in.getChildFile ("a_on_target.wav"), toneAt (-16.0, 48000.0, 5.0), 48000.0);
    writeWav (in.getChildFile ("b_too_loud.wav"), toneAt (-13.0, 48000.0, 5.0), 48000.0);
    auto peaky = toneAt (-16.0, 48000.0, 5.0);
    peaky.setSample (0, 100000, 0.99f);
    writeWav (in.getChildFile ("c_peak.wav"), peaky, 48000.0);
    in.getChildFile ("d_notes.wav").replaceWithText ("not audio");
    const auto before = namesIn (in);
    const auto report = tmp.file ("check.jsonl"), page = tmp.file ("check.html");

    const auto r = runEngineExe ({ "--check", "--input-dir", path (in), "--preset", "podcast", "--report", path (report),
                                   "--report-html", path (page) });
    EXPECT_EQ (r.exitCode, 2) << "an unreadable file outweighs the failed checks";
    EXPECT_EQ (r.out, "{\"status\":\"check_complete\",\"passed\":1,\"failed\":2,\"unreadable\":1}\n");
    const auto dNotes = in.getChildFile ("d_notes.wav");
    EXPECT_EQ (sortedLines (r.err),
               sortedLines ("[Check] Checking 4 files against podcast.\n"
                            "[Check] Passed a_on_target.wav\n"
                            "[Check] Failed b_too_loud.wav: integratedLufs -12.99 (allowed -17.00 to -15.00)\n"
                            "[Check] Failed c_peak.wav: truePeakDbtp -0.09 (at most -1.00)\n"
                            "[Error] Failed checking d_notes.wav: Failed to read audio file (not a format the engine reads): "
                            + path (dNotes) + "\n"
                            "[System] Report page written: " + path (page) + "\n"))
        << r.err;

    EXPECT_EQ (namesIn (in), before) << "the checked folder is left as it was";
    EXPECT_EQ (namesIn (tmp.path()), juce::StringArray ("check.html", "check.jsonl", "delivered"));

    const auto lines = reportLines (report);
    ASSERT_EQ (lines.size(), 4u);
    const bool passes[] = { true, false, false };
    for (int i = 0; i < 3; ++i)
    {
        const auto& line = lines[(size_t) i];
        EXPECT_TRUE ((bool) line["check"]);
        EXPECT_TRUE ((bool) line["success"]);
        EXPECT_TRUE (line["outputPath"].isVoid());
        EXPECT_EQ ((bool) line["delivery"]["pass"], passes[i]) << i;
        const auto audio = readAudio (juce::File (line["inputPath"].toString()));
        const auto reference = measureWithLibebur128 (audio.buffer, audio.sampleRate);
        EXPECT_NEAR ((double) line["output"]["integratedLufs"], reference.integratedLufs, 0.05) << i;
        EXPECT_NEAR ((double) line["output"]["truePeakDbtp"], reference.truePeakDb, 0.1) << i;
        EXPECT_EQ ((int) line["output"]["numFrames"], audio.buffer.getNumSamples());
    }
    EXPECT_FALSE ((bool) lines[3]["success"]);
    EXPECT_TRUE (lines[3]["error"].toString().contains ("d_notes.wav"));

    // The page made again from the report is the run's page, byte for byte.
    const auto again = tmp.file ("again.html");
    ASSERT_EQ (runEngineExe ({ "--render-report", path (report), "--report-html", path (again) }).exitCode, 0);
    EXPECT_EQ (again.loadFileAsString(), page.loadFileAsString());
    const auto html = page.loadFileAsString();
    EXPECT_TRUE (html.contains ("<h1>Check report</h1>"));
    EXPECT_TRUE (html.contains ("<dt>Passed every check</dt><dd>1 of 4</dd>"));
    EXPECT_TRUE (html.contains ("True peak failed: measured -0.1 dBTP, at most -1.0"));
}

// The exit status over the outcomes, and limits of one's own in place of a preset.
TEST (CheckRunExe, ExitStatusSaysWhetherEveryFilePassed)
{
    TempFolder tmp;
    const auto on = tmp.file ("on.wav"), loud = tmp.file ("loud.wav"), flac = tmp.file ("on.flac");
    writeWav (on, toneAt (-16.0, 48000.0, 4.0), 48000.0);
    writeWav (loud, toneAt (-14.0, 48000.0, 4.0), 48000.0);
    writeFlac (flac, toneAt (-23.2, 44100.0, 4.0), 44100.0);

    struct Case
    {
        std::vector<std::string> arguments;
        int exitCode;
        std::string summary;
    };
    const Case cases[] = {
        { { "--input", path (on), "--preset", "podcast" }, 0, "\"passed\":1,\"failed\":0" },
        { { "--input", path (loud), "--preset", "podcast" }, 3, "\"passed\":0,\"failed\":1" },
        { { "--input", path (loud), "--target-lufs", "-16", "--lufs-tolerance", "1.5" }, 3, "\"passed\":0,\"failed\":1" },
        { { "--input", path (loud), "--target-lufs", "-14", "--lufs-tolerance", "0.2" }, 0, "\"passed\":1,\"failed\":0" },
        { { "--input", path (on), "--true-peak", "-20" }, 3, "\"passed\":0,\"failed\":1" },
        { { "--input", path (flac), "--preset", "broadcast" }, 0, "\"passed\":1,\"failed\":0" },
        { { "--input", path (flac), "--preset", "broadcast", "--lufs-tolerance", "0.1" }, 3, "\"passed\":0,\"failed\":1" },
        { { "--input", path (tmp.file ("missing.wav")), "--preset", "podcast" }, 2, "\"passed\":0,\"failed\":0,\"unreadable\":1" },
    };
    for (const auto& c : cases)
    {
        std::vector<std::string> args { "--check" };
        args.insert (args.end(), c.arguments.begin(), c.arguments.end());
        const auto r = runEngineExe (args);
        juce::String joined;
        for (const auto& a : args)
            joined << a << " ";
        EXPECT_EQ (r.exitCode, c.exitCode) << joined << r.err;
        EXPECT_NE (r.out.find (c.summary), std::string::npos) << joined << r.out;
    }
    EXPECT_EQ (namesIn (tmp.path()), juce::StringArray ("loud.wav", "on.flac", "on.wav"));
}

// Runs --check refuses before anything is read or written.
TEST (CheckRunExe, Refusals)
{
    TempFolder tmp;
    const auto on = tmp.file ("on.wav");
    writeWav (on, toneAt (-16.0, 48000.0, 1.0), 48000.0);
    struct Case
    {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        { { "--check", "--input", path (on), "--output", path (tmp.file ("o.wav")), "--preset", "podcast" },
          usageError ("--check measures files and writes no audio: it takes no --output or --output-dir.") },
        { { "--check", "--input-dir", path (tmp.path()), "--output-dir", path (tmp.file ("out")), "--preset", "podcast" },
          usageError ("--check measures files and writes no audio: it takes no --output or --output-dir.") },
        { { "--check", "--input", path (on) }, usageError ("--check needs --preset <name> or limits (--target-lufs, --true-peak).") },
        { { "--check", "--preset", "podcast" }, usageError ("--check needs --input <file> or --input-dir <dir>.") },
        { { "--check", "--input", path (on), "--preset", "radio" }, usageError ("Invalid value for argument: --preset (the presets are podcast, streaming, broadcast, audiobook)") },
        { { "--check", "--input", path (on), "--true-peak", "3" }, usageError ("Invalid value for argument: --true-peak") },
        { { "--check", "--input", path (on), "--target-lufs", "-16", "--lufs-tolerance", "-1" },
          usageError ("Invalid value for argument: --lufs-tolerance") },
        { { "--input", path (on), "--output", path (tmp.file ("o.wav")), "--lufs-tolerance", "1" },
          usageError ("--lufs-tolerance is a limit of --check.") },
        { { "--check", "--input", path (on), "--preset", "podcast", "--report", path (on) },
          usageError ("Report file is an input file; the input would be overwritten: " + path (on)) },
    };
    for (const auto& c : cases)
    {
        const auto r = runEngineExe (c.arguments);
        EXPECT_EQ (r.exitCode, 1) << c.err;
        EXPECT_EQ (r.err, c.err);
        EXPECT_EQ (r.out, "");
    }
    EXPECT_EQ (namesIn (tmp.path()), juce::StringArray ("on.wav"));
}
