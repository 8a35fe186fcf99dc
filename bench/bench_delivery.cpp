// The loudness finish side by side with FFmpeg's two-pass loudnorm on the
// delivery corpus (tests/support/DeliveryCorpus.h): each file at each target
// through the engine (--finish loudness, the whole chain) and through loudnorm
// (first pass measures, second applies, linear when the file allows it), both
// outputs measured with libebur128. Prints one Markdown table. Not timed.
//
//   bench_delivery ENGINE_EXE [FFMPEG_EXE] [WORK_DIR]

#include "support/DeliveryCorpus.h"
#include "support/IndependentMeter.h"
#include "support/TestSupport.h"

#include <cstdio>
#include <regex>

using namespace tessaloom;

using namespace testing_support;

namespace
{
// A value "name" : "number" of loudnorm's JSON summary.
double jsonField (const std::string& text, const std::string& name)
{
    std::smatch m;
    if (std::regex_search (text, m, std::regex ("\"" + name + "\"\\s*:\\s*\"(-?[0-9.inf]+)\"")))
        return std::stod (m[1].str());
    return std::nan ("");
}

struct Outcome
{
    double lufs = 0.0, truePeak = 0.0;
    int plateaus = 0;
    std::string note;
};

Outcome measure (const juce::File& file)
{
    const auto a = readAudio (file);
    if (! a.ok)
        return { std::nan (""), std::nan (""), 0, "unreadable" };
    const auto m = measureWithLibebur128 (a.buffer, a.sampleRate);
    return { m.integratedLufs, m.truePeakDb, plateausAtPeak (a.buffer), {} };
}
} // namespace

int main (int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf (stderr, "usage: bench_delivery ENGINE_EXE [FFMPEG_EXE] [WORK_DIR]\n");
        return 1;
    }
    const std::string engine = argv[1];
    const std::string ffmpeg = argc > 2 ? argv[2] : "/usr/bin/ffmpeg";
    const juce::File work (argc > 3 ? juce::String (argv[3]) : juce::String ("/tmp/tessaloom-delivery-bench"));
    work.deleteRecursively();
    work.getChildFile ("in").createDirectory();

    const auto corpus = deliveryCorpus();
    std::vector<juce::File> inputs;
    for (size_t i = 0; i < corpus.size(); ++i)
    {
        inputs.push_back (work.getChildFile ("in").getChildFile ("r" + juce::String ((int) i) + ".wav"));
        writeWav (inputs.back(), corpus[i].audio, corpus[i].sampleRate, 24);
    }

    const float ceiling = -1.0f;
    std::printf ("| recording | target LUFS | ours: LU off | ours: true peak dBTP | loudnorm: LU off | loudnorm: true peak dBTP | loudnorm mode | ours better or equal |\n");
    std::printf ("|---|---|---|---|---|---|---|---|\n");
    int worse = 0, rows = 0;
    double oursMax = 0.0, theirsMax = 0.0;
    for (const float target : { -14.0f, -16.0f, -18.0f, -23.0f, -24.0f })
    {
        const auto outDir = work.getChildFile ("ours" + juce::String (target, 0));
        const auto run = runProcess (engine, { "--input-dir", work.getChildFile ("in").getFullPathName().toStdString(),
                                               "--output-dir", outDir.getFullPathName().toStdString(), "--denoise", "false",
                                               "--finish", "loudness", "--target-lufs", juce::String (target, 1).toStdString() });
        if (run.exitCode != 0)
        {
            std::fprintf (stderr, "engine failed at %.1f: %s\n", target, run.err.c_str());
            return 2;
        }
        for (size_t i = 0; i < corpus.size(); ++i)
        {
            const auto ours = measure (outDir.getChildFile (inputs[i].getFileName()));

            // loudnorm, pass 1: measure; pass 2: apply with the measurements, back at the input's rate, 16-bit.
            const auto t = juce::String (target, 1).toStdString();
            const std::string base = "loudnorm=I=" + t + ":TP=" + juce::String (ceiling, 1).toStdString() + ":LRA=20";
            const auto first = runProcess (ffmpeg, { "-hide_banner", "-nostats", "-i", inputs[i].getFullPathName().toStdString(),
                                                     "-af", base + ":print_format=json", "-f", "null", "-" });
            const std::string second = base + ":linear=true:print_format=json"
                                       + ":measured_I=" + juce::String (jsonField (first.err, "input_i"), 2).toStdString()
                                       + ":measured_TP=" + juce::String (jsonField (first.err, "input_tp"), 2).toStdString()
                                       + ":measured_LRA=" + juce::String (jsonField (first.err, "input_lra"), 2).toStdString()
                                       + ":measured_thresh=" + juce::String (jsonField (first.err, "input_thresh"), 2).toStdString()
                                       + ":offset=" + juce::String (jsonField (first.err, "target_offset"), 2).toStdString();
            const auto theirsFile = work.getChildFile ("loudnorm_" + juce::String (target, 0) + "_" + inputs[i].getFileName());
            const auto applied = runProcess (ffmpeg, { "-hide_banner", "-nostats", "-y", "-i", inputs[i].getFullPathName().toStdString(),
                                                       "-af", second, "-ar", juce::String (corpus[i].sampleRate, 0).toStdString(),
                                                       "-c:a", "pcm_s16le", theirsFile.getFullPathName().toStdString() });
            auto theirs = measure (theirsFile);
            std::smatch m;
            const std::string mode = std::regex_search (applied.err, m, std::regex ("\"normalization_type\"\\s*:\\s*\"([a-z]+)\""))
                                         ? m[1].str() : "?";

            const double oursOff = ours.lufs - target, theirsOff = theirs.lufs - target;
            // Better or equal: no further from the target (to the hundredth), and no true peak over the ceiling where theirs is under.
            const bool ok = std::abs (oursOff) <= std::abs (theirsOff) + 0.005 && (ours.truePeak <= ceiling || theirs.truePeak > ceiling);
            worse += ok ? 0 : 1;
            ++rows;
            oursMax = std::max (oursMax, std::abs (oursOff));
            theirsMax = std::max (theirsMax, std::abs (theirsOff));
            std::printf ("| %s | %.0f | %+.3f | %.2f | %+.3f | %.2f | %s | %s |\n", corpus[i].name.c_str(), target, oursOff,
                         ours.truePeak, theirsOff, theirs.truePeak, mode.c_str(), ok ? "yes" : "NO");
        }
    }
    std::printf ("\n%d rows; ours worse on %d; largest loudness error: ours %.3f LU, loudnorm %.3f LU\n", rows, worse, oursMax, theirsMax);
    return worse == 0 ? 0 : 3;
}
