// The loudness finish through the built program on a corpus of recordings at
// the loudness targets people deliver at: every output lands within 0.1 LU of
// its target and under the true-peak ceiling (both by libebur128, an
// independent meter, on the written 16-bit file), keeps the input's length, and
// has no flat-topped peak the input did not have.

#include "support/DeliveryCorpus.h"
#include "support/IndependentMeter.h"
#include "support/TestSupport.h"

#include <map>
#include <regex>

using namespace tessaloom;

using namespace testing_support;

namespace
{
// The number of measuring passes the log's "Final gain" line states; 0 when it has none.
std::map<std::string, int> passesPerFile (const ProcessOutput& run)
{
    std::map<std::string, int> passes;
    std::string current;
    const std::regex processing ("^\\[AudioPipeline\\] Processing: .*/([^/]+)$");
    const std::regex settled ("^\\[AudioPipeline/Finish\\] Final gain: .* after ([0-9]+) pass");
    // Workers interleave their lines; each file's lines carry no name, so this is counted per run.
    int total = 0;
    for (const auto& line : run.errLines())
        if (std::smatch m; std::regex_search (line, m, settled))
            passes[std::to_string (total++)] = std::stoi (m[1].str());
    return passes;
}
} // namespace

TEST (DeliveryFinish, EveryRecordingLandsOnItsTargetUnderTheCeilingWithoutClipping)
{
    const auto corpus = deliveryCorpus();
    ASSERT_GE (corpus.size(), 12u) << "espeak-ng missing? The voice rows need it.";
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    std::map<std::string, const CorpusFile*> byFileName;
    for (size_t i = 0; i < corpus.size(); ++i)
    {
        const auto name = "r" + std::to_string (i) + ".wav";
        writeWav (in.getChildFile (name), corpus[i].audio, corpus[i].sampleRate, 24);
        byFileName[name] = &corpus[i];
    }

    const float ceiling = -1.0f;
    std::map<int, int> passHistogram;
    for (const float target : { -14.0f, -16.0f, -18.0f, -23.0f, -24.0f })
    {
        const auto out = tmp.file ("out" + juce::String (target, 0));
        const auto run = runEngineExe ({ "--input-dir", in.getFullPathName().toStdString(), "--output-dir",
                                         out.getFullPathName().toStdString(), "--denoise", "false", "--finish", "loudness",
                                         "--target-lufs", juce::String (target, 1).toStdString() });
        ASSERT_EQ (run.exitCode, 0) << run.err;
        // The run's log beside the build, for a row that fails.
        juce::File::getCurrentWorkingDirectory().getChildFile ("evidence_delivery_finish_" + juce::String (target, 0) + ".log")
            .replaceWithText (run.err);
        for (const auto& [k, passes] : passesPerFile (run))
            ++passHistogram[passes];

        for (const auto& [name, file] : byFileName)
        {
            const auto written = readAudio (out.getChildFile (name));
            ASSERT_TRUE (written.ok) << file->name;
            const auto label = file->name + " at " + juce::String (target, 0).toStdString() + " LUFS";
            EXPECT_EQ (written.buffer.getNumSamples(), file->audio.getNumSamples()) << label;
            EXPECT_EQ (written.buffer.getNumChannels(), file->audio.getNumChannels()) << label;
            const auto m = measureWithLibebur128 (written.buffer, written.sampleRate);
            const int plateaus = plateausAtPeak (written.buffer);
            std::printf ("%-32s %6.1f LUFS -> %8.3f LUFS (%+.3f LU), true peak %7.3f dBTP, flat peaks %d\n",
                         file->name.c_str(), target, m.integratedLufs, m.integratedLufs - target, m.truePeakDb, plateaus);
            EXPECT_NEAR (m.integratedLufs, target, 0.1) << label;
            EXPECT_LE (m.truePeakDb, ceiling) << label;
            // A clip of the input's own may survive the chain; the finish adds none.
            EXPECT_LE (plateaus, plateausAtPeak (file->audio)) << label;
        }
    }
    std::printf ("measuring passes per file:");
    for (const auto& [passes, count] : passHistogram)
        std::printf (" %d pass%s: %d files;", passes, passes == 1 ? "" : "es", count);
    std::printf ("\n");
}
