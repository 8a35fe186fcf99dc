// Lossy deliveries on the delivery corpus (tests/support/DeliveryCorpus.h):
// every recording through the engine for the podcast, streaming and audiobook
// presets in MP3 64/128/192, AAC 96/128 and Opus 48/96 kbps, each delivered
// file decoded by the FFmpeg executable and measured with libebur128; beside
// it, the same preset's WAV finish encoded straight by FFmpeg at the same
// codec and bit rate, measured the same way. Prints Markdown tables. Not timed.
// Every delivery off its promise (over the ceiling, or more than 0.5 LU off the
// target) is listed on standard error with its correction. "cut cost" is the
// loudness the local cuts took before the encoder (the report's correctionCostLu).
//
//   bench_lossy_delivery ENGINE_EXE [WORK_DIR]
//
// Environment: PRESETS (e.g. "streaming,podcast") and FORMATS (e.g. "aac96,opus48")
// run a part of the table only.

#include "support/DeliveryCorpus.h"
#include "support/IndependentMeter.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <map>

using namespace tessaloom;

using namespace testing_support;

namespace
{
struct Preset
{
    const char* name;
    double target, ceiling;
};

struct Format
{
    const char* codec;     // --output-format
    const char* extension; // of the file
    const char* encoder;   // FFmpeg's, for the straight encode
    int kbps;
};

struct Measured
{
    double lufs = std::nan (""), truePeak = std::nan ("");
};

Measured decodeAndMeasure (const juce::File& file, const juce::File& scratch)
{
    const auto r = runProcess ("/usr/bin/ffmpeg", { "-v", "error", "-y", "-i", file.getFullPathName().toStdString(), "-c:a",
                                                    "pcm_f32le", scratch.getFullPathName().toStdString() });
    if (r.exitCode != 0)
        return {};
    const auto a = readAudio (scratch);
    if (! a.ok)
        return {};
    const auto m = measureWithLibebur128 (a.buffer, a.sampleRate);
    return { m.integratedLufs, m.truePeakDb };
}

double median (std::vector<double> v)
{
    if (v.empty())
        return std::nan ("");
    std::sort (v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

// Whether `name` is in the comma-separated list of the environment variable (an unset one holds every name).
bool chosen (const char* variable, const juce::String& name)
{
    const char* list = std::getenv (variable);
    if (list == nullptr || *list == 0)
        return true;
    return juce::StringArray::fromTokens (list, ",", "").contains (name);
}
} // namespace

int main (int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf (stderr, "usage: bench_lossy_delivery ENGINE_EXE [WORK_DIR]\n");
        return 1;
    }
    const std::string engine = argv[1];
    const juce::File work (argc > 2 ? juce::String (argv[2]) : juce::String ("/tmp/tessaloom-lossy-bench"));
    work.deleteRecursively();
    const auto in = work.getChildFile ("in");
    in.createDirectory();
    const auto corpus = deliveryCorpus();
    for (size_t i = 0; i < corpus.size(); ++i)
        writeWav (in.getChildFile ("r" + juce::String ((int) i) + ".wav"), corpus[i].audio, corpus[i].sampleRate, 24);

    const Preset presets[] = { { "podcast", -16.0, -1.0 }, { "streaming", -14.0, -1.0 }, { "audiobook", -20.0, -3.5 } };
    const Format formats[] = { { "mp3", "mp3", "libmp3lame", 64 },  { "mp3", "mp3", "libmp3lame", 128 },
                               { "mp3", "mp3", "libmp3lame", 192 }, { "aac", "m4a", "aac", 96 },
                               { "aac", "m4a", "aac", 128 },        { "opus", "opus", "libopus", 48 },
                               { "opus", "opus", "libopus", 96 } };
    const auto scratch = work.getChildFile ("decoded.wav");

    std::printf ("| preset | format | files | ours: over ceiling | ours: worst TP - ceiling dB | ours: LU off worst | ours: LU off median "
                 "| encodes median / worst | correction median / worst dB | cut cost median / worst LU | straight from WAV: over ceiling "
                 "| straight: worst TP - ceiling dB |\n");
    std::printf ("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    int allFiles = 0, allOver = 0, allStraightOver = 0;
    std::vector<double> allOff;
    double allWorstOff = 0.0;
    int worstEncodes = 0;
    int allCeilingFlags = 0;
    std::vector<double> allEncodes, allCorrections, allCosts, allStraightOff;
    double allWorstOver = -100.0, allWorstStraight = -100.0;
    for (const auto& p : presets)
    {
        if (! chosen ("PRESETS", p.name))
            continue;
        // Today's WAV finish, the source of the straight encodes.
        const auto wavOut = work.getChildFile (juce::String ("wav-") + p.name);
        const auto wavRun = runProcess (engine, { "--input-dir", in.getFullPathName().toStdString(), "--output-dir",
                                                  wavOut.getFullPathName().toStdString(), "--denoise", "false", "--preset", p.name });
        if (wavRun.exitCode != 0)
            std::fprintf (stderr, "WAV run failed for %s: %s\n", p.name, wavRun.err.c_str());

        for (const auto& f : formats)
        {
            if (! chosen ("FORMATS", juce::String (f.codec) + juce::String (f.kbps)))
                continue;
            const auto out = work.getChildFile (juce::String (p.name) + "-" + f.codec + juce::String (f.kbps));
            const auto report = out.getFullPathName() + ".jsonl";
            const auto run = runProcess (engine, { "--input-dir", in.getFullPathName().toStdString(), "--output-dir",
                                                   out.getFullPathName().toStdString(), "--denoise", "false", "--preset", p.name,
                                                   "--output-format", f.codec, "--bitrate", std::to_string (f.kbps), "--report",
                                                   report.toStdString() });
            // 3: every file delivered, some failed the preset's check (said per file below).
            if (run.exitCode != 0 && run.exitCode != 3)
                std::fprintf (stderr, "run failed (%d) for %s %s %d: %s\n", run.exitCode, p.name, f.codec, f.kbps, run.err.c_str());

            std::map<juce::String, juce::var> lines;
            juce::StringArray reportLines;
            reportLines.addLines (juce::File (report).loadFileAsString());
            for (const auto& l : reportLines)
                if (l.isNotEmpty())
                {
                    const auto v = juce::JSON::parse (l);
                    lines[juce::File (v["inputPath"].toString()).getFileNameWithoutExtension()] = v;
                }

            int files = 0, over = 0, straightOver = 0;
            double worstOver = -100.0, worstStraight = -100.0, worstOff = 0.0, worstCorrection = 0.0;
            std::vector<double> offs, encodes, corrections, costs;
            for (size_t i = 0; i < corpus.size(); ++i)
            {
                const auto name = "r" + juce::String ((int) i);
                const auto delivered = out.getChildFile (name + "." + f.extension);
                const auto m = decodeAndMeasure (delivered, scratch);
                ++files;
                if (! (m.truePeak <= p.ceiling))
                    ++over;
                worstOver = std::max (worstOver, m.truePeak - p.ceiling);
                const double off = std::abs (m.lufs - p.target);
                offs.push_back (off);
                worstOff = std::max (worstOff, off);
                const auto e = lines[name]["encode"];
                encodes.push_back ((double) (int) e["encodes"]);
                worstEncodes = std::max (worstEncodes, (int) e["encodes"]);
                corrections.push_back ((double) e["correctionDb"]);
                worstCorrection = std::min (worstCorrection, (double) e["correctionDb"]);
                costs.push_back ((double) e["correctionCostLu"]);
                if (! (bool) e["ceilingMet"])
                    ++allCeilingFlags;
                if (! (m.truePeak <= p.ceiling) || ! (off <= 0.5))
                    std::fprintf (stderr, "off: %s %s %d %s (%s): %.2f dBTP, %.2f LUFS; encodes %d, correction %.2f dB (cuts cost %.2f LU), gain %.2f dB, ceilingMet %s\n",
                                  p.name, f.codec, f.kbps, name.toRawUTF8(), corpus[i].name.c_str(), m.truePeak, m.lufs,
                                  (int) e["encodes"], (double) e["correctionDb"], (double) e["correctionCostLu"], (double) e["gainDb"],
                                  (bool) e["ceilingMet"] ? "true" : "false");

                // The WAV finish encoded straight.
                const auto straight = work.getChildFile ("straight." + juce::String (f.extension));
                runProcess ("/usr/bin/ffmpeg", { "-v", "error", "-y", "-i", wavOut.getChildFile (name + ".wav").getFullPathName().toStdString(),
                                                 "-c:a", f.encoder, "-b:a", std::to_string (f.kbps) + "k",
                                                 straight.getFullPathName().toStdString() });
                const auto s = decodeAndMeasure (straight, scratch);
                if (! (s.truePeak <= p.ceiling))
                    ++straightOver;
                worstStraight = std::max (worstStraight, s.truePeak - p.ceiling);
                allStraightOff.push_back (std::abs (s.lufs - p.target));
            }
            allEncodes.insert (allEncodes.end(), encodes.begin(), encodes.end());
            allCorrections.insert (allCorrections.end(), corrections.begin(), corrections.end());
            allCosts.insert (allCosts.end(), costs.begin(), costs.end());
            allWorstOver = std::max (allWorstOver, worstOver);
            allWorstStraight = std::max (allWorstStraight, worstStraight);
            allFiles += files;
            allOver += over;
            allStraightOver += straightOver;
            allOff.insert (allOff.end(), offs.begin(), offs.end());
            allWorstOff = std::max (allWorstOff, worstOff);
            std::printf ("| %s | %s %d | %d | %d | %+.2f | %.2f | %.2f | %.0f / %.0f | %.2f / %.2f | %.2f / %.2f | %d | %+.2f |\n", p.name,
                         f.codec, f.kbps, files, over, worstOver, worstOff, median (offs), median (encodes),
                         *std::max_element (encodes.begin(), encodes.end()), median (corrections), worstCorrection, median (costs),
                         *std::max_element (costs.begin(), costs.end()), straightOver, worstStraight);
            std::fflush (stdout);
        }
    }
    const auto within = std::count_if (allOff.begin(), allOff.end(), [] (double o) { return o <= 0.5; });
    std::printf ("\nAll: %d files; ours over the ceiling: %d (worst %+.2f dB; %d flagged ceilingMet false); loudness within 0.5 LU: %d, "
                 "off median %.2f LU, worst %.2f LU; encodes median %.0f, worst %d; correction median %.2f dB, worst %.2f dB; "
                 "cut cost median %.2f LU, worst %.2f LU; "
                 "straight from the WAV finish over the ceiling: %d (worst %+.2f dB), loudness off median %.2f LU.\n",
                 allFiles, allOver, allWorstOver, allCeilingFlags, (int) within, median (allOff), allWorstOff, median (allEncodes),
                 worstEncodes, median (allCorrections),
                 allCorrections.empty() ? 0.0 : *std::min_element (allCorrections.begin(), allCorrections.end()), median (allCosts),
                 allCosts.empty() ? 0.0 : *std::max_element (allCosts.begin(), allCosts.end()), allStraightOver,
                 allWorstStraight, median (allStraightOff));
    return 0;
}
