// The per-file report as a user meets it: the figures of each written file
// against an independent meter, one whole line per input however many workers
// write, and a report that cannot be written stopping the run untouched.
#include "analysis/Loudness.h"
#include "analysis/PrecisionTruePeak.h"
#include "app/BatchRunner.h"
#include "support/IndependentMeter.h"
#include "support/TestSupport.h"
#include "support/WholeBufferAnalysis.h"


#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sys/mount.h>

using namespace tessaloom;

using namespace testing_support;

namespace
{
std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

std::string summary (int ok, int failed)
{
    return "{\"status\":\"batch_complete\",\"success\":" + std::to_string (ok) + ",\"failed\":" + std::to_string (failed) + "}\n";
}

juce::MemoryBlock bytesOf (const juce::File& f)
{
    juce::MemoryBlock mb;
    f.loadFileAsData (mb);
    return mb;
}

// Every line of the report, parsed; a line that is not a JSON object fails the test.
std::vector<juce::var> reportLines (const juce::File& report)
{
    std::vector<juce::var> lines;
    const auto text = report.loadFileAsString();
    EXPECT_TRUE (text.isEmpty() || text.endsWithChar ('\n')) << "the last line is complete";
    for (const auto& line : juce::StringArray::fromLines (text.trimEnd()))
    {
        juce::var parsed;
        const auto status = juce::JSON::parse (line, parsed);
        EXPECT_TRUE (status.wasOk() && parsed.isObject()) << line;
        lines.push_back (parsed);
    }
    return lines;
}

using Reference = testing_support::IndependentMeasurement;
using testing_support::measureWithLibebur128;

struct InputSpec
{
    const char* name;
    int channels;
    double rate;
};

const InputSpec layouts[] = {
    { "mono44.wav", 1, 44100.0 },
    { "stereo44.wav", 2, 44100.0 },
    { "mono48.wav", 1, 48000.0 },
    { "stereo48.wav", 2, 48000.0 },
};
} // namespace

// Each target over every layout: the report's figures of the written file
// against libebur128 reading the same file, and against the program's own
// analysis of it (the same code: the figures must be the same).
TEST (ReportExe, OutputFiguresAgreeWithAnIndependentMeter)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    int seed = 11;
    for (const auto& l : layouts)
        writeWav (in.getChildFile (l.name), speechLike (l.channels, (int) (l.rate * 8.0), l.rate, seed++), l.rate, 24);

    double worstLoudness = 0.0, worstPeak = 0.0;
    for (const char* target : { "-14", "-18", "-23" })
    {
        const auto out = tmp.file (juce::String ("out") + target);
        const auto report = tmp.file (juce::String ("report") + target + ".jsonl");
        auto r = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false",
                                 "--target-lufs", target, "--report", path (report) });
        ASSERT_EQ (r.exitCode, 0) << r.err;
        EXPECT_EQ (r.out, summary (4, 0));

        const auto lines = reportLines (report);
        ASSERT_EQ (lines.size(), std::size (layouts));
        for (const auto& line : lines)
        {
            const auto output = juce::File (line["outputPath"].toString());
            const auto label = output.getFileName().toStdString() + " at " + target;
            EXPECT_TRUE ((bool) line["success"]) << label;
            EXPECT_TRUE (line["error"].isVoid()) << label;
            EXPECT_EQ (line["denoiseEngine"].toString(), "Skipped");
            ASSERT_TRUE (line["inputAnalysis"].isObject()) << label;
            ASSERT_TRUE (line["settings"].isObject()) << label;
            EXPECT_TRUE ((bool) line["settings"]["chainRan"]);
            EXPECT_TRUE (line["settings"]["outputTrimDb"].isDouble()) << label;
            EXPECT_TRUE (line["settings"]["normalizationGainDb"].isDouble()) << label;
            const auto o = line["output"];
            ASSERT_TRUE (o.isObject()) << label;

            const auto written = readAudio (output);
            ASSERT_TRUE (written.ok) << label;
            const auto ref = measureWithLibebur128 (written.buffer, written.sampleRate);
            const double dl = (double) o["integratedLufs"] - ref.integratedLufs;
            const double dp = (double) o["truePeakDbtp"] - ref.truePeakDb;
            std::printf ("[report] %-14s target %s  LUFS %8.3f ref %8.3f (%+.4f LU)  dBTP %7.3f ref %7.3f (%+.3f dB)"
                         "  LRA %6.2f ref %6.2f (libebur128 takes a window a second)\n",
                         output.getFileName().toRawUTF8(), target, (double) o["integratedLufs"], ref.integratedLufs, dl,
                         (double) o["truePeakDbtp"], ref.truePeakDb, dp, (double) o["loudnessRangeLu"], ref.rangeLu);
            EXPECT_TRUE (o["loudnessRangeLu"].isDouble()) << label;
            EXPECT_NEAR (dl, 0.0, 0.05) << label;
            EXPECT_NEAR (dp, 0.0, 0.1) << label; // the accurate meter, not the analysis meter's 0.3
            worstLoudness = std::max (worstLoudness, std::abs (dl));
            worstPeak = std::max (worstPeak, std::abs (dp));

            // The same measurement code on the same samples.
            const auto own = whole_buffer_analysis::measure (written.buffer, written.sampleRate);
            EXPECT_NEAR ((double) o["integratedLufs"], own.result.integratedLUFS, 0.0005) << label;
            // The true peak is the accurate meter's, which the delivery checks compare.
            PrecisionTruePeakMeter truePeak (written.buffer.getNumChannels(), written.sampleRate);
            truePeak.add (written.buffer.getArrayOfReadPointers(), written.buffer.getNumSamples());
            EXPECT_NEAR ((double) o["truePeakDbtp"], truePeak.peakDbtp(), 0.0005) << label;
            EXPECT_NEAR ((double) o["samplePeakDbfs"], toDb (peakOf (written.buffer)), 0.0005) << label;
            EXPECT_EQ ((int) o["numFrames"], written.buffer.getNumSamples()) << label;
            EXPECT_EQ ((int) o["numChannels"], written.buffer.getNumChannels()) << label;
            EXPECT_NEAR ((double) o["durationSeconds"], written.buffer.getNumSamples() / written.sampleRate, 0.0005);
            EXPECT_NEAR ((double) o["offTargetLu"], (double) o["integratedLufs"] - juce::String (target).getDoubleValue(), 0.0015)
                << label;
            // The trim puts the highest sample at -5.5 dBFS (within a 16-bit step).
            EXPECT_NEAR ((double) o["samplePeakDbfs"], -5.5, 0.01) << label;
        }
    }
    std::printf ("[report] largest deviation from libebur128: loudness %.4f LU, true peak %.3f dB\n", worstLoudness, worstPeak);
    testing::Test::RecordProperty ("largestLoudnessDeviationLU", juce::String (worstLoudness, 4).toStdString());
    testing::Test::RecordProperty ("largestTruePeakDeviationDB", juce::String (worstPeak, 3).toStdString());
}

// Good and bad files on four workers: exactly one whole line per input, the
// failures with the message the log shows.
TEST (Report, MixedBatchOnSeveralWorkersGivesOneCompleteLinePerInput)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    for (int i = 0; i < 6; ++i)
    {
        const double rate = i % 2 == 0 ? 44100.0 : 48000.0;
        writeWav (in.getChildFile ("good" + juce::String (i) + ".wav"), speechLike (1 + i % 2, (int) (rate * 2.0), rate, 40 + i), rate, 16);
    }
    in.getChildFile ("text.wav").replaceWithText ("this is not audio");
    in.getChildFile ("empty.wav").create();
    writeWav (in.getChildFile ("short.wav"), sine (1, 10, 48000.0, 440.0, 0.1f), 48000.0);

    CommandLineOptions options;
    options.inputDir = in;
    options.outputDir = tmp.file ("out");
    options.reportFile = tmp.file ("report.jsonl");
    options.config.denoise = false;
    std::map<std::string, int> seen;
    std::map<std::string, std::string> errors;
    {
        CapturingLogger log;
        const int exitCode = runBatch (options, 4);
        EXPECT_EQ (exitCode, 2);

        const auto lines = reportLines (options.reportFile);
        EXPECT_EQ (lines.size(), 9u);
        for (const auto& line : lines)
        {
            const auto name = juce::File (line["inputPath"].toString()).getFileName().toStdString();
            ++seen[name];
            for (const char* key : { "inputPath", "outputPath", "success", "error", "denoiseEngine", "processingTimeMs",
                                     "inputAnalysis", "settings", "output" })
                EXPECT_TRUE (line.hasProperty (key)) << name << " lacks " << key;
            const bool good = name.rfind ("good", 0) == 0 || name == "short.wav";
            EXPECT_EQ ((bool) line["success"], good) << name;
            if (good)
                EXPECT_TRUE (line["output"].isObject()) << name;
            else
            {
                EXPECT_TRUE (line["output"].isVoid()) << name;
                errors[name] = line["error"].toString().toStdString();
                EXPECT_TRUE (log.contains ("[Error] Failed processing " + juce::String (name) + ": " + line["error"].toString()))
                    << name << ": " << errors[name];
            }
        }
    }
    EXPECT_EQ (seen.size(), 9u);
    for (const auto& [name, count] : seen)
        EXPECT_EQ (count, 1) << name;
    EXPECT_EQ (errors.size(), 2u);
}

// The report changes nothing the run writes: the same outputs, summary, exit
// code and log (but for the time figures) with and without it.
TEST (ReportExe, ChangesNothingElseTheRunWrites)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeWav (in.getChildFile ("a.wav"), speechLike (2, 48000 * 3, 48000.0, 5), 48000.0, 24);
    in.getChildFile ("bad.wav").replaceWithText ("not audio");

    // The lines of the log, sorted (workers may interleave files), with the
    // time figures and the output folder's name taken out.
    const auto logOf = [] (const std::string& err, const std::string& folder)
    {
        auto text = std::regex_replace (err, std::regex ("Total time: [0-9.]+ms"), "Total time: ms");
        text = std::regex_replace (text, std::regex ("/" + folder), "/out");
        juce::StringArray lines = juce::StringArray::fromLines (juce::String (text));
        lines.sort (false);
        return lines.joinIntoString ("\n").toStdString();
    };
    auto plain = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (tmp.file ("plain")), "--denoise", "false" });
    auto reported = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (tmp.file ("reported")), "--denoise", "false",
                                    "--report", path (tmp.file ("r.jsonl")) });
    EXPECT_EQ (plain.exitCode, 2);
    EXPECT_EQ (reported.exitCode, plain.exitCode);
    EXPECT_EQ (reported.out, plain.out);
    EXPECT_EQ (logOf (reported.err, "reported"), logOf (plain.err, "plain"));
    const auto plainFiles = tmp.file ("plain").findChildFiles (juce::File::findFiles, false);
    EXPECT_EQ (plainFiles.size(), tmp.file ("reported").findChildFiles (juce::File::findFiles, false).size());
    for (const auto& f : plainFiles)
        EXPECT_EQ (bytesOf (tmp.file ("reported").getChildFile (f.getFileName())), bytesOf (f)) << f.getFileName();
    EXPECT_EQ (reportLines (tmp.file ("r.jsonl")).size(), 2u);
}

// File names may hold any byte but '/' and NUL: the report is read by strict
// JSON readers (the scale-out merge, jq), so every character in a path must be
// escaped the way JSON allows, and read back as the same name.
TEST (ReportExe, PathsWithControlCharactersStayStrictJson)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    const std::vector<juce::String> names { "bell\a\a.wav", "\abell first.wav", "tab\t and \"quote\".wav",
                                            juce::String (juce::CharPointer_UTF8 ("back\\slash caf\xc3\xa9.wav")) };
    for (const auto& name : names)
        writeWav (in.getChildFile (name), speechLike (1, 44100, 44100.0, 3), 44100.0, 16);

    const auto report = tmp.file ("r.jsonl");
    const auto run = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (tmp.file ("out")), "--denoise", "false",
                                     "--report", path (report) });
    ASSERT_EQ (run.exitCode, 0) << run.err;
    const auto strict = runProcess ("/usr/bin/python3", { "-c", "import json, sys\n"
                                                                "for line in open (sys.argv[1], encoding='utf-8'):\n"
                                                                "    json.loads (line)\n",
                                                          path (report) });
    EXPECT_EQ (strict.exitCode, 0) << strict.err;
    std::set<juce::String> read;
    for (const auto& line : reportLines (report))
        if (line.hasProperty ("inputPath"))
            read.insert (juce::File (line["inputPath"].toString()).getFileName());
    EXPECT_EQ (read, std::set<juce::String> (names.begin(), names.end()));
}

// A report that cannot be written, or that would destroy or become an input or
// an output, stops the run with exit 1 before anything is created.
TEST (ReportExe, ReportThatCannotBeWrittenStopsTheRunUntouched)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeWav (in.getChildFile ("a.wav"), sine (1, 48000, 48000.0, 440.0, 0.1f), 48000.0);
    const auto input = in.getChildFile ("a.wav");
    const auto before = bytesOf (input);
    tmp.file ("adir").createDirectory();
    const auto out = tmp.file ("out");

    struct Case
    {
        const char* label;
        std::vector<std::string> io;
        juce::File report;
        std::string message;
    };
    const Case cases[] = {
        { "folder missing", { "--input-dir", path (in), "--output-dir", path (out) }, tmp.file ("nowhere/r.jsonl"),
          "ERROR: Failed to create report file: " + path (tmp.file ("nowhere/r.jsonl")) },
        { "a directory", { "--input-dir", path (in), "--output-dir", path (out) }, tmp.file ("adir"),
          "ERROR: Failed to create report file: " + path (tmp.file ("adir")) },
        { "the input", { "--input", path (input), "--output", path (out.getChildFile ("a.wav")) }, input,
          "ERROR: Report file is an input file; the input would be overwritten: " + path (input) },
        { "the output", { "--input", path (input), "--output", path (out.getChildFile ("a.wav")) }, out.getChildFile ("a.wav"),
          "ERROR: Report file is an output file; the output would overwrite it: " + path (out.getChildFile ("a.wav")) },
        { "a WAV the batch would pick up", { "--input-dir", path (in), "--output-dir", path (out) }, in.getChildFile ("report.WAV"),
          "ERROR: Report file would be taken as an input of the batch: " + path (in.getChildFile ("report.WAV")) },
    };
    for (const auto& c : cases)
    {
        auto args = c.io;
        for (const std::string extra : { "--denoise", "false", "--report" })
            args.push_back (extra);
        args.push_back (path (c.report));
        auto r = runEngineExe (args);
        EXPECT_EQ (r.exitCode, 1) << c.label;
        EXPECT_EQ (r.out, "") << c.label;
        ASSERT_FALSE (r.errLines().empty()) << c.label;
        EXPECT_EQ (r.errLines()[0], c.message) << c.label;
        EXPECT_FALSE (out.exists()) << c.label << ": nothing may be created";
        EXPECT_EQ (bytesOf (input), before) << c.label;
        EXPECT_EQ (in.findChildFiles (juce::File::findFiles, false).size(), 1) << c.label;
    }

    // A report inside the input folder that the listing does not pick up is fine.
    auto ok = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false", "--report",
                              path (in.getChildFile ("batch.jsonl")) });
    EXPECT_EQ (ok.exitCode, 0) << ok.err;
    EXPECT_EQ (ok.out, summary (1, 0));
    EXPECT_EQ (reportLines (in.getChildFile ("batch.jsonl")).size(), 1u);
}

namespace
{
// A small tmpfs mounted on a folder for the life of the object (the tests run
// as root); mounted() is false where mounting is not allowed.
class SmallDisk
{
public:
    SmallDisk (const juce::File& folder, const char* size) : where (folder)
    {
        where.createDirectory();
        const std::string options = std::string ("size=") + size;
        ok = ::mount ("tmpfs", path (where).c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk()
    {
        if (ok)
            ::umount2 (path (where).c_str(), MNT_DETACH);
    }
    bool mounted() const { return ok; }

private:
    juce::File where;
    bool ok = false;
};
} // namespace

// A report that cannot be written whole (a full disk, a device that takes
// nothing) fails the run with exit code 2 and one line on standard error that
// names it and says how far it got. The file keeps only whole lines, and the
// mastered files and the summary are as they would have been.
TEST (ReportExe, AReportThatCannotBeWrittenWholeFailsTheRunLoudly)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    const int files = 8;
    for (int i = 0; i < files; ++i)
        writeWav (in.getChildFile ("take" + juce::String (i) + ".wav"), speechLike (1, 8000, 16000.0, 60 + i), 16000.0);

    struct Case
    {
        const char* label;
        std::function<juce::File()> prepare; // the report's path; none: the row cannot run here
        bool truncatedByDisk;                // some lines fit, then the disk is full
    };
    std::unique_ptr<SmallDisk> disk;
    const Case cases[] = {
        { "a device that takes nothing", [] { return juce::File ("/dev/full"); }, false },
        { "a disk that fills during the run",
          [&]
          {
              disk = std::make_unique<SmallDisk> (tmp.file ("small"), "64k");
              if (! disk->mounted())
                  return juce::File();
              // All but one page taken: a few lines fit, then a line meets the end of the disk.
              const std::string filler (60 * 1024, 'x');
              tmp.file ("small/filler").replaceWithText (filler);
              return tmp.file ("small/report.jsonl");
          },
          true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        const auto report = c.prepare();
        if (report == juce::File())
        {
            std::cout << "[ skipped  ] " << c.label << ": a tmpfs cannot be mounted here\n";
            continue;
        }
        const auto out = tmp.file ("out").getChildFile (c.label);
        auto r = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false",
                                 "--report", path (report) });

        EXPECT_EQ (r.exitCode, 2) << r.err;
        EXPECT_EQ (r.out, summary (files, 0));
        const auto lines = r.errLines();
        std::vector<std::string> errors;
        for (const auto& line : lines)
            if (line.rfind ("ERROR", 0) == 0 || line.find ("[Error]") != std::string::npos)
                errors.push_back (line);
        ASSERT_EQ (errors.size(), 1u) << r.err;

        std::smatch m;
        ASSERT_TRUE (std::regex_match (errors[0], m, std::regex ("ERROR: Failed to write report file: (.*) \\(No space left on device\\); "
                                                                 "it holds the lines of (\\d+) of (\\d+) files\\. "
                                                                 "The mastered files are not affected\\.")))
            << errors[0];
        EXPECT_EQ (m[1].str(), path (report));
        EXPECT_EQ (m[3].str(), std::to_string (files));
        if (c.truncatedByDisk)
        {
            const auto written = reportLines (report); // each one whole, the last one too
            EXPECT_EQ (m[2].str(), std::to_string (written.size())) << "the line says what the file holds";
            EXPECT_GT (written.size(), 0u);
            EXPECT_LT (written.size(), (size_t) files);
            for (const auto& line : written)
                EXPECT_TRUE ((bool) line["success"]);
        }
        else
        {
            EXPECT_EQ (m[2].str(), "0");
        }
        for (int i = 0; i < files; ++i)
            EXPECT_TRUE (readAudio (out.getChildFile ("take" + juce::String (i) + ".wav")).ok) << "the masters are whole";
    }
}

// The loudness range of EBU Tech 3342's step signals (stereo 1 kHz tones of 20 s
// each at the levels given), against its expected values and libebur128.
TEST (LoudnessRange, TechDocumentStepSignals)
{
    struct Case
    {
        std::vector<float> levelsDbfs;
        double expectedLu;
    };
    const Case cases[] = {
        { { -20.0f, -30.0f }, 10.0 },
        { { -20.0f, -15.0f }, 5.0 },
        { { -40.0f, -20.0f }, 20.0 },
        { { -50.0f, -35.0f, -20.0f, -35.0f, -50.0f }, 15.0 },
    };
    for (const double rate : { 44100.0, 48000.0 })
        for (const auto& c : cases)
        {
            const int step = (int) (rate * 20.0);
            juce::AudioBuffer<float> signal (2, step * (int) c.levelsDbfs.size());
            for (size_t i = 0; i < c.levelsDbfs.size(); ++i)
            {
                const auto tone = sine (2, step, rate, 1000.0, juce::Decibels::decibelsToGain (c.levelsDbfs[i]));
                for (int ch = 0; ch < 2; ++ch)
                    signal.copyFrom (ch, (int) i * step, tone, ch, 0, step);
            }
            LoudnessRangeAccumulator range (2, rate);
            // In uneven blocks, as a file is read.
            for (int pos = 0; pos < signal.getNumSamples();)
            {
                const int n = std::min (signal.getNumSamples() - pos, 70001);
                const float* channels[] = { signal.getReadPointer (0, pos), signal.getReadPointer (1, pos) };
                range.add (channels, n);
                pos += n;
            }
            const auto lu = range.finish();
            ASSERT_TRUE (lu.has_value());
            const auto ref = measureWithLibebur128 (signal, rate);
            std::printf ("[range] %6.0f Hz expected %5.1f LU: %.3f, libebur128 %.3f\n", rate, c.expectedLu, *lu, ref.rangeLu);
            EXPECT_NEAR (*lu, c.expectedLu, 0.1);
            EXPECT_NEAR (*lu, ref.rangeLu, 0.1);
        }

    // Shorter than one window, and silence: no range.
    const auto tooShort = sine (1, 44100 * 2, 44100.0, 1000.0, 0.1f);
    LoudnessRangeAccumulator shortRange (1, 44100.0);
    shortRange.add (tooShort.getArrayOfReadPointers(), tooShort.getNumSamples());
    EXPECT_FALSE (shortRange.finish().has_value());
    const auto quiet = silence (1, 44100 * 5);
    LoudnessRangeAccumulator silentRange (1, 44100.0);
    silentRange.add (quiet.getArrayOfReadPointers(), quiet.getNumSamples());
    EXPECT_FALSE (silentRange.finish().has_value());
}
