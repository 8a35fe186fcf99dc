// The batch page as a producer meets it: the built engine masters a small
// batch (one file broken) and writes the page, which a real headless Chromium
// (Debian's) opens from disk with every network request sent to a closed port.
// What the browser built is read back from its DOM: one row per input with its
// status, the failed file's message, the pictures of every mastered file, and
// the rows in loudness order after sorting. The pictures' data comes from the
// overview the engine takes while it reads; that is checked against signals of
// known level, and for staying small however long the recording.
#include "analysis/Overview.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

using namespace tessaloom;

using namespace testing_support;

namespace
{
const char* const kChromium = "/usr/bin/chromium";

std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

std::string summary (int ok, int failed)
{
    return "{\"status\":\"batch_complete\",\"success\":" + std::to_string (ok) + ",\"failed\":" + std::to_string (failed) + "}\n";
}

std::string usageError (const std::string& message)
{
    return "ERROR: " + message + "\nRun with --help for usage information.\n";
}

// Loudness of a steady sine of this amplitude on every channel (BS.1770: a
// full-scale 1 kHz sine on one channel reads -3.01 LUFS).
double sineLufs (double amplitude, int channels)
{
    return 20.0 * std::log10 (amplitude) - 3.01 + 10.0 * std::log10 ((double) channels);
}

SignalOverview overviewOf (const juce::AudioBuffer<float>& signal, double rate, int blockFrames,
                           int maxPoints = OverviewTap::kMaxPoints)
{
    OverviewTap tap (signal.getNumChannels(), rate, maxPoints);
    std::vector<const float*> channels ((size_t) signal.getNumChannels());
    for (int pos = 0; pos < signal.getNumSamples(); pos += blockFrames)
    {
        for (int c = 0; c < signal.getNumChannels(); ++c)
            channels[(size_t) c] = signal.getReadPointer (c) + pos;
        tap.add (channels.data(), std::min (blockFrames, signal.getNumSamples() - pos));
    }
    return tap.finish();
}

//==============================================================================
// Chromium, headless, with a profile of its own and no way out: a request for
// anything but the file goes to a closed port and fails.
ProcessOutput chromium (std::vector<std::string> arguments)
{
    TempFolder profile;
    std::vector<std::string> all { "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                                   "--user-data-dir=" + path (profile.path()), "--proxy-server=127.0.0.1:9",
                                   "--proxy-bypass-list=<-loopback>" };
    all.insert (all.end(), arguments.begin(), arguments.end());
    return runProcess (kChromium, all);
}

std::string urlOf (const juce::File& page, const std::string& fragment = {})
{
    return "file://" + path (page) + fragment;
}

// The DOM after the page's script ran.
std::string domOf (const juce::File& page, const std::string& fragment = {})
{
    const auto r = chromium ({ "--dump-dom", urlOf (page, fragment) });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_NE (r.out.find ("</html>"), std::string::npos) << "no DOM came back: " << r.err;
    return r.out;
}

std::string attribute (const std::string& html, const std::string& name)
{
    const auto key = " " + name + "=\"";
    const auto at = html.find (key);
    if (at == std::string::npos)
        return "(none)";
    const auto from = at + key.size();
    return html.substr (from, html.find ('"', from) - from);
}

size_t count (const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (auto at = text.find (what); at != std::string::npos; at = text.find (what, at + what.size()))
        ++n;
    return n;
}

struct DomRow
{
    std::string html, name, status, loudness;
};

// The table's rows in the order the browser shows them.
std::vector<DomRow> rowsOf (const std::string& dom)
{
    std::vector<DomRow> rows;
    for (auto at = dom.find ("<tr class=\"file "); at != std::string::npos; at = dom.find ("<tr class=\"file ", at + 1))
    {
        const auto end = dom.find ("</tr>", at);
        DomRow r;
        r.html = dom.substr (at, end - at);
        r.name = attribute (r.html, "data-name");
        r.loudness = attribute (r.html, "data-loudness");
        r.status = r.html.substr (16, r.html.find ('"', 16) - 16);
        rows.push_back (r);
    }
    return rows;
}

std::vector<std::string> namesOf (const std::vector<DomRow>& rows)
{
    std::vector<std::string> names;
    for (auto& r : rows)
        names.push_back (r.name);
    return names;
}

// What the page asks for beyond itself: links, sources, style imports, fonts.
std::vector<std::string> outsideReferences (const std::string& page)
{
    std::vector<std::string> found;
    for (const char* key : { "src=", "href=", "url(", "@import", "http:", "https:", "//cdn", "<link", "<iframe", "<object",
                             "<embed", "xlink:" })
        if (page.find (key) != std::string::npos)
            found.push_back (key);
    return found;
}

juce::var parsedLine (const juce::String& text)
{
    juce::var v;
    EXPECT_TRUE (juce::JSON::parse (text, v).wasOk()) << text;
    return v;
}

std::map<std::string, juce::var> reportByName (const juce::File& report)
{
    std::map<std::string, juce::var> lines;
    for (const auto& text : juce::StringArray::fromLines (report.loadFileAsString().trimEnd()))
    {
        const auto v = parsedLine (text);
        lines[juce::File (v["inputPath"].toString()).getFileName().toStdString()] = v;
    }
    return lines;
}

std::vector<double> numbers (const juce::var& array)
{
    std::vector<double> out;
    if (auto* a = array.getArray())
        for (auto& v : *a)
            out.push_back ((double) v);
    return out;
}

// A report line as the engine writes it, with the figures a page shows.
juce::String craftedLine (const std::string& name, bool ok, double outLufs, double target, const std::string& error = {})
{
    const auto in = "\"inputPath\":\"/data/raw/" + name + "\",\"outputPath\":\"/data/mastered/" + name + "\"";
    if (! ok)
        return "{" + in + ",\"success\":false,\"error\":\"" + error
               + "\",\"denoiseEngine\":null,\"processingTimeMs\":3.0,\"inputAnalysis\":null,\"settings\":null,\"output\":null,"
                 "\"curves\":null}";
    char output[400];
    std::snprintf (output, sizeof (output),
                   "{\"integratedLufs\":%.3f,\"truePeakDbtp\":-4.0,\"samplePeakDbfs\":-5.5,\"loudnessRangeLu\":3.0,"
                   "\"durationSeconds\":4.0,\"numFrames\":192000,\"sampleRate\":48000,\"numChannels\":1,\"targetLufs\":%.3f,"
                   "\"offTargetLu\":%.3f}",
                   outLufs, target, outLufs - target);
    return "{" + in + ",\"success\":true,\"error\":null,\"denoiseEngine\":\"Skipped\",\"processingTimeMs\":100.0,"
           "\"inputAnalysis\":{\"integratedLUFS\":-30.0,\"durationSeconds\":4.0},\"settings\":{},\"output\":" + output
           + ",\"curves\":{\"input\":{\"shortTermStepSeconds\":1,\"shortTermLufs\":[-31,-30,-29,-30],"
             "\"waveformStepSeconds\":1,\"waveformMin\":[-0.1,-0.2,-0.1,-0.1],\"waveformMax\":[0.1,0.2,0.1,0.1]},"
             "\"output\":{\"shortTermStepSeconds\":1,\"shortTermLufs\":[-19,-18,-18,-17],"
             "\"waveformStepSeconds\":1,\"waveformMin\":[-0.5,-0.53,-0.5,-0.4],\"waveformMax\":[0.5,0.53,0.5,0.4]}}}";
}
} // namespace

//==============================================================================
// A steady 1 kHz sine of known amplitude over layouts and rates: every
// short-term point reads the sine's loudness, every waveform span its peaks.
TEST (OverviewTap, ReadsASineOfKnownLevelAtEveryPoint)
{
    struct Case { int channels; double rate; float amplitude; };
    for (const Case c : { Case { 1, 48000.0, 0.1f }, Case { 2, 44100.0, 0.1f }, Case { 1, 16000.0, 0.5f },
                          Case { 2, 96000.0, 0.02f } })
    {
        const int seconds = 12;
        const auto signal = sine (c.channels, (int) c.rate * seconds, c.rate, 1000.0, c.amplitude);
        const auto o = overviewOf (signal, c.rate, 4096);
        const auto label = std::to_string (c.channels) + " ch at " + std::to_string ((int) c.rate) + " Hz";

        EXPECT_EQ (o.shortTermStepSeconds, 1.0) << label;
        ASSERT_EQ (o.shortTermLufs.size(), (size_t) seconds) << label;
        for (size_t i = 0; i < o.shortTermLufs.size(); ++i)
            EXPECT_NEAR (o.shortTermLufs[i], sineLufs (c.amplitude, c.channels), 0.1) << label << ", point " << i;

        ASSERT_EQ (o.waveformMin.size(), o.waveformMax.size());
        EXPECT_NEAR (o.waveformStepSeconds * (double) o.waveformMax.size(), seconds, o.waveformStepSeconds) << label;
        for (size_t i = 0; i < o.waveformMax.size(); ++i)
        {
            EXPECT_NEAR (o.waveformMax[i], c.amplitude, c.amplitude * 0.01) << label << ", span " << i;
            EXPECT_NEAR (o.waveformMin[i], -c.amplitude, c.amplitude * 0.01) << label << ", span " << i;
        }
    }

    // Silence sits at the floor, not at minus infinity.
    const auto quiet = overviewOf (silence (1, 48000 * 5), 48000.0, 1000);
    ASSERT_EQ (quiet.shortTermLufs.size(), 5u);
    for (auto v : quiet.shortTermLufs)
        EXPECT_EQ (v, OverviewTap::kFloorLufs);
}

// The engine reads in blocks of its own size; the pictures must not depend on it.
TEST (OverviewTap, SameWhateverTheBlocks)
{
    const double rate = 16000.0;
    const auto signal = speechLike (2, (int) rate * 20, rate, 5);
    const auto reference = overviewOf (signal, rate, 131072);
    for (int block : { 1, 333, 1600, 4096 })
    {
        const auto o = overviewOf (signal, rate, block);
        EXPECT_EQ (o.shortTermLufs, reference.shortTermLufs) << "blocks of " << block;
        EXPECT_EQ (o.waveformMin, reference.waveformMin) << "blocks of " << block;
        EXPECT_EQ (o.waveformMax, reference.waveformMax) << "blocks of " << block;
        EXPECT_EQ (o.waveformStepSeconds, reference.waveformStepSeconds);
    }
}

// A recording too long for its points keeps every other loudness point and
// merges neighbouring waveform spans: the coarse overview is the fine one,
// thinned, with no point invented or shifted in time.
TEST (OverviewTap, LongRecordingGetsCoarserPointsNotMore)
{
    const double rate = 48000.0;
    const int seconds = 20;
    // A level that changes every second, so a point taken at the wrong time shows.
    juce::AudioBuffer<float> signal (1, (int) rate * seconds);
    for (int s = 0; s < seconds; ++s)
    {
        const auto piece = whiteNoise (1, (int) rate, 0.01f * (float) (1 + (s * 7) % 11), s + 1);
        signal.copyFrom (0, (int) rate * s, piece, 0, 0, (int) rate);
    }
    const auto fine = overviewOf (signal, rate, 4096);
    ASSERT_EQ (fine.shortTermLufs.size(), (size_t) seconds);
    const auto coarse = overviewOf (signal, rate, 4096, 8);

    // Thinned three times (8 points at 1 s, at 2 s, at 4 s): every 4 s.
    EXPECT_EQ (coarse.shortTermStepSeconds, 4.0);
    const std::vector<float> expected { fine.shortTermLufs[3], fine.shortTermLufs[7], fine.shortTermLufs[11],
                                        fine.shortTermLufs[15], fine.shortTermLufs[19] };
    EXPECT_EQ (coarse.shortTermLufs, expected);

    // Spans merged into whole multiples of the fine ones.
    ASSERT_LT (coarse.waveformMax.size(), 8u);
    const auto per = (size_t) std::lround (coarse.waveformStepSeconds / fine.waveformStepSeconds);
    ASSERT_NEAR (coarse.waveformStepSeconds, fine.waveformStepSeconds * (double) per, 1e-9);
    for (size_t i = 0; i < coarse.waveformMax.size(); ++i)
    {
        const auto from = fine.waveformMax.begin() + (long) (i * per);
        const auto to = fine.waveformMax.begin() + (long) std::min (fine.waveformMax.size(), (i + 1) * per);
        EXPECT_EQ (coarse.waveformMax[i], *std::max_element (from, to)) << "span " << i;
        const auto lowFrom = fine.waveformMin.begin() + (long) (i * per);
        const auto lowTo = fine.waveformMin.begin() + (long) std::min (fine.waveformMin.size(), (i + 1) * per);
        EXPECT_EQ (coarse.waveformMin[i], *std::min_element (lowFrom, lowTo)) << "span " << i;
    }

    // An hour: a few hundred points at most, however long.
    OverviewTap hour (1, 8000.0);
    const auto noise = whiteNoise (1, 8000, 0.1f, 9);
    for (int s = 0; s < 3600; ++s)
        hour.add (noise, 8000);
    const auto o = hour.finish();
    EXPECT_LE (o.shortTermLufs.size(), (size_t) OverviewTap::kMaxPoints);
    EXPECT_GE (o.shortTermLufs.size(), (size_t) OverviewTap::kMaxPoints / 2);
    EXPECT_EQ (o.shortTermStepSeconds * (double) o.shortTermLufs.size(), 3600.0);
    EXPECT_LE (o.waveformMax.size(), (size_t) OverviewTap::kMaxPoints);
    EXPECT_GE (o.waveformMax.size(), (size_t) OverviewTap::kMaxPoints / 2);
}

//==============================================================================
// A batch of three recordings and a broken file, mastered with the page asked
// for, opened in Chromium.
class BatchPage : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE (juce::File (kChromium).existsAsFile()) << "scripts/setup.sh installs Debian's chromium";
        tmp = std::make_unique<TempFolder>();
        const auto in = tmp->file ("in");
        in.createDirectory();
        writeWav (in.getChildFile ("steady sine.wav"), sine (1, 48000 * 8, 48000.0, 1000.0, 0.1f), 48000.0);
        writeWav (in.getChildFile ("talk & music.wav"), speechLike (2, 44100 * 10, 44100.0, 3), 44100.0, 24);
        auto quiet = speechLike (1, 48000 * 6, 48000.0, 4);
        quiet.applyGain (0.05f);
        writeWav (in.getChildFile ("whisper.wav"), quiet, 48000.0);
        in.getChildFile ("broken.wav").replaceWithText ("not audio at all", false, false, "\n");

        run = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (tmp->file ("out")), "--denoise", "false",
                              "--report", path (tmp->file ("report.jsonl")), "--report-html", path (page()) });
    }
    static void TearDownTestSuite() { tmp.reset(); }

    static juce::File page() { return tmp->file ("page.html"); }

    static std::unique_ptr<TempFolder> tmp;
    static ProcessOutput run;
};
std::unique_ptr<TempFolder> BatchPage::tmp;
ProcessOutput BatchPage::run;

TEST_F (BatchPage, TheRunWritesThePageAndSaysSo)
{
    EXPECT_EQ (run.exitCode, 2) << run.err;
    EXPECT_EQ (run.out, summary (3, 1));
    const auto lines = run.errLines();
    ASSERT_FALSE (lines.empty());
    EXPECT_EQ (lines.back(), "[System] Report page written: " + path (page()));
    EXPECT_TRUE (page().existsAsFile());
    // Nothing of the atomic write is left beside it.
    EXPECT_EQ (tmp->path().getNumberOfChildFiles (juce::File::findFilesAndDirectories, ".*"), 0);
}

TEST_F (BatchPage, OneRowPerInputWithItsStatusMessageAndPictures)
{
    const auto dom = domOf (page());
    const auto rows = rowsOf (dom);
    ASSERT_EQ (rows.size(), 4u) << dom.substr (0, 2000);
    // Input-path order when nothing was sorted.
    EXPECT_EQ (namesOf (rows), (std::vector<std::string> { "broken.wav", "steady sine.wav", "talk &amp; music.wav", "whisper.wav" }));

    const auto report = reportByName (tmp->file ("report.jsonl"));
    for (const auto& r : rows)
    {
        if (r.name == "broken.wav")
        {
            EXPECT_EQ (r.status, "failed");
            const auto error = report.at ("broken.wav")["error"].toString().toStdString();
            ASSERT_FALSE (error.empty());
            EXPECT_NE (r.html.find ("\">" + error + "</td>"), std::string::npos) << r.html;
            EXPECT_NE (r.html.find ("<td class=\"error\""), std::string::npos) << r.html;
            EXPECT_EQ (count (r.html, "<svg"), 0u);
            continue;
        }
        EXPECT_TRUE (r.status == "mastered" || r.status == "missed") << r.name << ": " << r.status;
        EXPECT_NE (r.loudness, "") << r.name;
        // Loudness over time and the waveform, each before and after; the target on the first.
        EXPECT_EQ (count (r.html, "<svg"), 2u) << r.name;
        EXPECT_EQ (count (r.html, "<polyline class=\"before\""), 1u) << r.name;
        EXPECT_EQ (count (r.html, "<polyline class=\"after\""), 1u) << r.name;
        EXPECT_EQ (count (r.html, "<polygon class=\"before\""), 1u) << r.name;
        EXPECT_EQ (count (r.html, "<polygon class=\"after\""), 1u) << r.name;
        EXPECT_EQ (count (r.html, "<line class=\"target\""), 1u) << r.name;
    }

    // The summary counts what the report holds.
    EXPECT_NE (dom.find ("<dt>Mastered</dt><dd>3 of 4</dd>"), std::string::npos);
    EXPECT_NE (dom.find ("<dt>Failed</dt><dd>1</dd>"), std::string::npos);
    EXPECT_NE (dom.find ("<dt>Target</dt><dd>-18.0 LUFS</dd>"), std::string::npos);
}

TEST_F (BatchPage, SortingByLoudnessReordersTheRows)
{
    for (const bool descending : { false, true })
    {
        const auto rows = rowsOf (domOf (page(), descending ? "#sort=-loudness" : "#sort=loudness"));
        ASSERT_EQ (rows.size(), 4u);
        EXPECT_EQ (rows.back().name, "broken.wav") << "a file without a loudness sorts last";
        for (size_t i = 1; i + 1 < rows.size(); ++i)
        {
            const double previous = std::stod (rows[i - 1].loudness), current = std::stod (rows[i].loudness);
            EXPECT_TRUE (descending ? previous >= current : previous <= current)
                << (descending ? "descending" : "ascending") << ": " << rows[i - 1].name << " " << previous << ", "
                << rows[i].name << " " << current;
        }
    }
}

TEST_F (BatchPage, ReferencesNothingOutsideTheFileAndLoadsWithTheNetworkShut)
{
    const auto text = page().loadFileAsString().toStdString();
    EXPECT_EQ (outsideReferences (text), std::vector<std::string>());
    EXPECT_NE (text.find ("Content-Security-Policy\" content=\"default-src 'none'"), std::string::npos);

    // The screenshot is for a person to look at; the network is shut for it too.
    const auto shot = juce::File (TESSALOOM_TEST_OUTPUT_DIR).getChildFile ("html_report_page.png");
    shot.deleteFile();
    const auto r = chromium ({ "--screenshot=" + path (shot), "--window-size=1400,600", "--hide-scrollbars", urlOf (page()) });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    juce::MemoryBlock png;
    ASSERT_TRUE (shot.loadFileAsData (png));
    ASSERT_GT (png.getSize(), 1000u);
    EXPECT_EQ (std::memcmp (png.getData(), "\x89PNG", 4), 0);
    std::printf ("[html report] screenshot: %s (%zu bytes); page %lld bytes\n", path (shot).c_str(), png.getSize(),
                 (long long) page().getSize());
}

// The report keeps the pictures' data: the page made from it is the run's page, byte for byte.
TEST_F (BatchPage, ThePageMadeFromTheReportIsTheRunsPage)
{
    const auto again = tmp->file ("again/page.html");
    again.getParentDirectory().createDirectory();
    const auto r = runEngineExe ({ "--render-report", path (tmp->file ("report.jsonl")), "--report-html", path (again) });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_EQ (r.out, "");
    EXPECT_EQ (r.err, "[System] Report page written: " + path (again) + " (4 files)\n");
    EXPECT_EQ (again.loadFileAsString(), page().loadFileAsString());
}

// The pictures' data in the report against signals of known level: the sine's
// loudness and peaks going in, and the output's -5.5 dBFS peak coming out.
TEST_F (BatchPage, TheReportsCurvesShowWhatWentInAndCameOut)
{
    const auto report = reportByName (tmp->file ("report.jsonl"));
    EXPECT_TRUE (report.at ("broken.wav")["curves"].isVoid());

    const auto sineLine = report.at ("steady sine.wav");
    const auto in = sineLine["curves"]["input"];
    const auto out = sineLine["curves"]["output"];
    EXPECT_EQ ((double) in["shortTermStepSeconds"], 1.0);
    const auto inLufs = numbers (in["shortTermLufs"]);
    ASSERT_EQ (inLufs.size(), 8u);
    for (double v : inLufs)
        EXPECT_NEAR (v, sineLufs (0.1, 1), 0.1);
    for (double v : numbers (in["waveformMax"]))
        EXPECT_NEAR (v, 0.1, 0.001);

    // Past the first 3 s the output's short-term loudness of a steady tone is its integrated loudness.
    const auto outLufs = numbers (out["shortTermLufs"]);
    ASSERT_EQ (outLufs.size(), 8u);
    for (size_t i = 3; i < outLufs.size(); ++i)
        EXPECT_NEAR (outLufs[i], (double) sineLine["output"]["integratedLufs"], 0.5) << "point " << i;
    double peak = 0.0;
    for (double v : numbers (out["waveformMax"]))
        peak = std::max (peak, v);
    for (double v : numbers (out["waveformMin"]))
        peak = std::max (peak, -v);
    EXPECT_NEAR (20.0 * std::log10 (peak), -5.5, 0.02) << "the output trim's peak";

    for (const auto& [name, line] : report)
        if ((bool) line["success"])
        {
            EXPECT_TRUE (line["curves"]["input"].isObject()) << name;
            EXPECT_TRUE (line["curves"]["output"].isObject()) << name;
            EXPECT_EQ (numbers (line["curves"]["output"]["waveformMin"]).size(),
                       numbers (line["curves"]["output"]["waveformMax"]).size());
        }
}

//==============================================================================
// Pages made from reports: the rows sort by each key, and a report of the same
// input given later replaces the earlier line.
TEST (RenderReportExe, RowsSortByEachKeyAndLaterReportsReplaceEarlierLines)
{
    TempFolder tmp;
    const auto first = tmp.file ("first.jsonl"), second = tmp.file ("second.jsonl");
    first.replaceWithText (craftedLine ("a.wav", true, -12.0, -18.0) + "\n" + craftedLine ("b.wav", true, -30.0, -18.0) + "\n"
                           + craftedLine ("c.wav", false, 0.0, 0.0, "first attempt failed") + "\n");
    // The rerun of c.wav, and a line cut short by a run that was stopped.
    second.replaceWithText (craftedLine ("c.wav", true, -20.0, -18.0) + "\n" + craftedLine ("d.wav", false, 0.0, 0.0, "Failed to read")
                            + "\n{\"inputPath\":\"/data/raw/e.wa");
    const auto page = tmp.file ("page.html");
    const auto r = runEngineExe ({ "--render-report", path (first), path (second), "--report-html", path (page) });
    EXPECT_EQ (r.exitCode, 0);
    EXPECT_EQ (r.err, "[System] WARNING: Skipped line 3 of " + path (second) + " is not a report line\n"
                      "[System] Report page written: " + path (page) + " (4 files)\n");

    const auto rows = rowsOf (domOf (page));
    ASSERT_EQ (rows.size(), 4u);
    EXPECT_EQ (namesOf (rows), (std::vector<std::string> { "a.wav", "b.wav", "c.wav", "d.wav" }));
    EXPECT_EQ (rows[2].status, "missed") << "the rerun's line (2 LU off), not the first attempt's failure";
    EXPECT_EQ (rows[3].status, "failed");

    const std::map<std::string, std::vector<std::string>> sorted {
        { "#sort=loudness", { "b.wav", "c.wav", "a.wav", "d.wav" } },
        { "#sort=-loudness", { "a.wav", "c.wav", "b.wav", "d.wav" } },
        { "#sort=-offtarget", { "b.wav", "a.wav", "c.wav", "d.wav" } }, // 12, 6, 2 LU off; the failed file last
        { "#sort=status", { "d.wav", "a.wav", "b.wav", "c.wav" } },     // failed, then the three off target by name
        { "#sort=-name", { "d.wav", "c.wav", "b.wav", "a.wav" } },
    };
    for (const auto& [fragment, names] : sorted)
        EXPECT_EQ (namesOf (rowsOf (domOf (page, fragment))), names) << fragment;
}

// With a delivery preset each line carries its checks: the page counts the
// passes in its summary and marks each file's checks.
TEST (RenderReportExe, DeliveryChecksAreCountedAndMarked)
{
    TempFolder tmp;
    // The checks as the report writes them with --preset podcast.
    const auto withChecks = [] (juce::String line, bool loudnessPass, bool peakPass)
    {
        return line.dropLastCharacters (1) + ",\"delivery\":{\"preset\":\"podcast\",\"pass\":"
               + (loudnessPass && peakPass ? "true" : "false")
               + ",\"checks\":[{\"requirement\":\"integratedLufs\",\"measured\":-16.000,\"min\":-17.000,\"max\":-15.000,\"pass\":"
               + (loudnessPass ? "true" : "false")
               + "},{\"requirement\":\"truePeakDbtp\",\"measured\":-1.200,\"min\":null,\"max\":-1.000,\"pass\":"
               + (peakPass ? "true" : "false") + "}]}}";
    };
    const auto report = tmp.file ("r.jsonl");
    report.replaceWithText (withChecks (craftedLine ("a.wav", true, -16.0, -16.0), true, true) + "\n"
                                + withChecks (craftedLine ("b.wav", true, -16.2, -16.0), true, false) + "\n",
                            false, false, "\n");
    const auto page = tmp.file ("p.html");
    ASSERT_EQ (runEngineExe ({ "--render-report", path (report), "--report-html", path (page) }).exitCode, 0);
    const auto dom = domOf (page);
    EXPECT_NE (dom.find ("<dt>Passed loudness</dt><dd>2 of 2</dd>"), std::string::npos);
    EXPECT_NE (dom.find ("<dt>Passed true peak</dt><dd>1 of 2</dd>"), std::string::npos);
    EXPECT_NE (dom.find ("<dt>Delivery preset</dt><dd>podcast</dd>"), std::string::npos);
    const auto rows = rowsOf (dom);
    ASSERT_EQ (rows.size(), 2u);
    EXPECT_EQ (rows[0].status, "mastered");
    EXPECT_EQ (count (rows[0].html, "<span class=\"pass\""), 2u);
    EXPECT_EQ (rows[1].status, "missed") << "a failed check marks the file, however close to the target";
    EXPECT_EQ (count (rows[1].html, "<span class=\"fail\""), 1u);
}

// The page speaks words: each requirement by its name in the summary and in
// the row of a file that failed it (not only on hover); "off target" only of
// the loudness; the delivered format, the decoded figures, the noise floor
// before and after and hum or clipping from the report's optional fields (a
// dash where a line has none); a file name that wraps only between its parts.
TEST (RenderReportExe, ChecksAndFindingsAreSaidInWords)
{
    TempFolder tmp;
    const auto check = [] (const char* requirement, double measured, const char* min, const char* max, bool pass)
    {
        return juce::String ("{\"requirement\":\"") + requirement + "\",\"measured\":" + juce::String (measured, 3)
               + ",\"min\":" + min + ",\"max\":" + max + ",\"pass\":" + (pass ? "true" : "false") + "}";
    };
    const auto withExtras = [] (juce::String line, const juce::String& checks, const juce::String& extras)
    {
        return line.dropLastCharacters (1) + ",\"delivery\":{\"preset\":\"podcast\",\"pass\":false,\"checks\":[" + checks + "]}"
               + extras + "}";
    };
    const auto report = tmp.file ("r.jsonl");
    const juce::String peakFailed = withExtras (
        craftedLine ("ep1_pin-k_48k.wav", true, -16.0, -16.0),
        check ("integratedLufs", -16.0, "-17.0", "-15.0", true) + "," + check ("truePeakDbtp", -0.62, "null", "-1.0", false),
        ",\"encode\":{\"codec\":\"mp3\",\"bitrateKbps\":128,\"decodedIntegratedLufs\":-16.07,\"decodedTruePeakDbtp\":-0.62},"
        "\"room\":{\"clipping\":{\"runs\":3,\"longestRun\":5,\"clippedSamples\":12,\"share\":0.0001,\"declippedSamples\":null},"
        "\"hum\":null,\"denoiseLimit\":null,\"background\":null}");
    juce::String loudnessFailed = withExtras (craftedLine ("ep2.wav", true, -18.5, -16.0),
                                              check ("integratedLufs", -18.5, "-17.0", "-15.0", false)
                                                  + "," + check ("truePeakDbtp", -1.3, "null", "-1.0", true),
                                              "");
    // The noise floor before (the input's analysis) and after (the output's), and hum found in the input.
    loudnessFailed = loudnessFailed.replace ("\"inputAnalysis\":{", "\"inputAnalysis\":{\"noiseFloorDBFS\":-58.26,\"hasGridHum\":true,")
                         .replace ("\"offTargetLu\":", "\"noiseFloorDbfs\":-71.5,\"offTargetLu\":");
    report.replaceWithText (peakFailed + "\n" + loudnessFailed + "\n", false, false, "\n");
    const auto page = tmp.file ("p.html");
    ASSERT_EQ (runEngineExe ({ "--render-report", path (report), "--report-html", path (page) }).exitCode, 0);
    const auto dom = domOf (page);
    EXPECT_EQ (dom.find ("integratedLufs<"), std::string::npos) << "a report key on the page";
    EXPECT_EQ (dom.find ("truePeakDbtp"), std::string::npos) << "a report key on the page";
    const auto rows = rowsOf (dom);
    ASSERT_EQ (rows.size(), 2u);

    const auto& peak = rows[0].html;
    EXPECT_NE (peak.find ("<span class=\"status\">check failed</span>"), std::string::npos) << peak;
    EXPECT_EQ (peak.find ("off target"), std::string::npos) << "the loudness is on target";
    EXPECT_NE (peak.find (">True peak failed: measured -0.6 dBTP, at most -1.0</div>"), std::string::npos) << peak;
    EXPECT_NE (peak.find ("MP3 128 kbps<br>decoded -16.1 LUFS, -0.6 dBTP"), std::string::npos) << peak;
    EXPECT_NE (peak.find (">clipping</td>"), std::string::npos) << peak;
    EXPECT_NE (peak.find ("ep1_<wbr>pin-<wbr>k_<wbr>48k.<wbr>wav<br><small class=\"clipped\""), std::string::npos) << peak;

    const auto& loudness = rows[1].html;
    EXPECT_NE (loudness.find ("<span class=\"status\">off target</span>"), std::string::npos) << loudness;
    EXPECT_NE (loudness.find (">Loudness failed: measured -18.5 LUFS, at least -17.0, at most -15.0</div>"), std::string::npos);
    EXPECT_NE (loudness.find (">-58.3 \xe2\x86\x92 -71.5</td>"), std::string::npos) << loudness;
    EXPECT_NE (loudness.find (">hum</td>"), std::string::npos) << loudness;
    EXPECT_NE (loudness.find ("<td class=\"format\">WAV</td>"), std::string::npos) << "a WAV output says so" << loudness;
}

// Every delivered output names its format: a lossy one from its encode object,
// a WAV or FLAC one (whose line has none) from its output's name; a dash only
// where nothing says what was delivered.
TEST (RenderReportExe, EveryOutputNamesItsFormat)
{
    struct Case
    {
        const char* name;  // input and output file name
        const char* extra; // added to the line
        const char* cell;  // the row's format cell
    };
    const Case cases[] = {
        { "a.wav", "", "<td class=\"format\">WAV</td>" },
        { "b.flac", "", "<td class=\"format\">FLAC</td>" },
        { "c.WAV", "", "<td class=\"format\">WAV</td>" },
        { "d.m4a", ",\"encode\":{\"codec\":\"aac\",\"bitrateKbps\":96}", "<td class=\"format\">AAC 96 kbps</td>" },
        { "e.opus", ",\"encode\":{\"codec\":\"opus\",\"bitrateKbps\":64,\"decodedIntegratedLufs\":-16.02,"
                    "\"decodedTruePeakDbtp\":-1.04}",
          "<td class=\"format\">OPUS 64 kbps<br>decoded -16.0 LUFS, -1.0 dBTP</td>" },
        { "f.raw", "", "<td class=\"format none\">&#8212;</td>" },
    };
    TempFolder tmp;
    const auto report = tmp.file ("r.jsonl");
    juce::String text;
    for (const auto& c : cases)
        text << craftedLine (c.name, true, -16.0, -16.0).dropLastCharacters (1) << c.extra << "}\n";
    report.replaceWithText (text, false, false, "\n");
    const auto page = tmp.file ("p.html");
    ASSERT_EQ (runEngineExe ({ "--render-report", path (report), "--report-html", path (page) }).exitCode, 0);
    const auto rows = rowsOf (page.loadFileAsString().toStdString());
    ASSERT_EQ (rows.size(), std::size (cases));
    for (size_t i = 0; i < rows.size(); ++i)
    {
        EXPECT_EQ (rows[i].name, cases[i].name);
        EXPECT_NE (rows[i].html.find (cases[i].cell), std::string::npos) << cases[i].name << ": " << rows[i].html;
    }
}

// Every way a page cannot be made is said before anything is written.
TEST (RenderReportExe, RefusalsAndTheirMessages)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeWav (in.getChildFile ("a.wav"), sine (1, 4800, 48000.0, 440.0, 0.1f), 48000.0);
    const auto report = tmp.file ("r.jsonl");
    report.replaceWithText (craftedLine ("a.wav", true, -18.0, -18.0) + "\n", false, false, "\n");
    const auto out = tmp.file ("out");

    struct Case
    {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        { { "--render-report", path (report) }, usageError ("--render-report needs --report-html <file>, the page to write.") },
        { { "--render-report", path (report), "--input", path (in.getChildFile ("a.wav")), "--report-html", path (tmp.file ("p.html")) },
          usageError ("--render-report makes a page from reports and takes no --input or --input-dir.") },
        { { "--render-report", "--report-html", path (tmp.file ("p.html")) }, usageError ("Missing value for argument: --render-report") },
        { { "--render-report", path (tmp.file ("missing.jsonl")), "--report-html", path (tmp.file ("p.html")) },
          "ERROR: Failed to read report file: " + path (tmp.file ("missing.jsonl")) + "\n" },
        { { "--render-report", path (report), "--report-html", path (report) },
          "ERROR: Report page is a report file; the report would be overwritten: " + path (report) + "\n" },
        { { "--input-dir", path (in), "--output-dir", path (out), "--report-html", path (tmp.file ("no/such/folder/p.html")) },
          "ERROR: Failed to create report page: " + path (tmp.file ("no/such/folder/p.html")) + "\n" },
        { { "--input-dir", path (in), "--output-dir", path (out), "--report-html", path (in.getChildFile ("a.wav")) },
          usageError ("Report page is an input file; the input would be overwritten: " + path (in.getChildFile ("a.wav"))) },
        { { "--input-dir", path (in), "--output-dir", path (out), "--report-html", path (out.getChildFile ("a.wav")) },
          usageError ("Report page is an output file; the output would overwrite it: " + path (out.getChildFile ("a.wav"))) },
        { { "--input-dir", path (in), "--output-dir", path (out), "--report", path (tmp.file ("same")), "--report-html", path (tmp.file ("same")) },
          usageError ("Report page is the report file: " + path (tmp.file ("same"))) },
        { { "--input-dir", path (in), "--output-dir", path (out), "--report-html", path (in.getChildFile ("page.wav")) },
          usageError ("Report page would be taken as an input of the batch: " + path (in.getChildFile ("page.wav"))) },
    };
    for (const auto& c : cases)
    {
        std::string label;
        for (auto& a : c.arguments)
            label += a + " ";
        const auto r = runEngineExe (c.arguments);
        EXPECT_EQ (r.exitCode, 1) << label;
        EXPECT_EQ (r.err, c.err) << label;
        EXPECT_EQ (r.out, "") << label;
        EXPECT_FALSE (out.exists()) << label << ": nothing is written";
        EXPECT_FALSE (tmp.file ("p.html").exists()) << label;
        EXPECT_EQ (report.loadFileAsString(), craftedLine ("a.wav", true, -18.0, -18.0) + "\n") << label;
    }

    // The page may go into the output folder the run makes.
    const auto page = out.getChildFile ("index.html");
    const auto r = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (out), "--denoise", "false", "--report-html", path (page) });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    EXPECT_TRUE (page.existsAsFile());

    // The options are listed by --help-all, not by --help.
    const auto help = runEngineExe ({ "--help" }), all = runEngineExe ({ "--help-all" });
    for (const char* option : { "--report-html <file>", "--render-report <report>..." })
    {
        EXPECT_EQ (help.out.find (option), std::string::npos) << option;
        EXPECT_NE (all.out.find (option), std::string::npos) << option;
    }

    // A folder without recordings has an empty report, and an empty page.
    const auto empty = tmp.file ("empty");
    empty.createDirectory();
    const auto nothing = runEngineExe ({ "--input-dir", path (empty), "--output-dir", path (tmp.file ("out2")),
                                         "--report-html", path (tmp.file ("empty.html")) });
    EXPECT_EQ (nothing.exitCode, 0) << nothing.err;
    EXPECT_EQ (nothing.out, "");
    EXPECT_EQ (nothing.errLines().back(), "[System] Report page written: " + path (tmp.file ("empty.html")));
    const auto text = tmp.file ("empty.html").loadFileAsString().toStdString();
    EXPECT_NE (text.find ("<dt>Mastered</dt><dd>0 of 0</dd>"), std::string::npos);
    EXPECT_EQ (text.find ("<tr class=\"file "), std::string::npos);
}

//==============================================================================
// On a terminal a batch shows one updating line; through a pipe (every other
// test, a log file) there is none.
TEST (ProgressLineExe, OnATerminalOnlyAndClearedBeforeTheSummary)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    for (const char* name : { "one.wav", "two.wav" })
        writeWav (in.getChildFile (name), speechLike (1, 48000 * 2, 48000.0, 2), 48000.0);
    const std::vector<std::string> engine { engineExecutable(), "--input-dir", path (in), "--output-dir",
                                            path (tmp.file ("out")), "--denoise", "false" };

    // script(1) gives the engine a pseudo-terminal for standard output and error.
    std::string command;
    for (auto& a : engine)
        command += "'" + a + "' ";
    const auto onTerminal = runProcess ("/usr/bin/script", { "-q", "-e", "-c", command, "/dev/null" });
    EXPECT_EQ (onTerminal.exitCode, 0) << onTerminal.out;
    EXPECT_NE (onTerminal.out.find ("\r\033[K2 of 2 files done, "), std::string::npos) << onTerminal.out;
    EXPECT_NE (onTerminal.out.find ("0 of 2 files done"), std::string::npos);
    // The log's lines still come whole, and the line is gone before the summary.
    EXPECT_NE (onTerminal.out.find ("\r\033[K[AudioPipeline] COMPLETE. Total time: "), std::string::npos);
    EXPECT_NE (onTerminal.out.find ("\r\033[K{\"status\":\"batch_complete\",\"success\":2,\"failed\":0}"), std::string::npos)
        << onTerminal.out.substr (onTerminal.out.size() > 300 ? onTerminal.out.size() - 300 : 0);

    const auto piped = runEngineExe (std::vector<std::string> (engine.begin() + 1, engine.end()));
    EXPECT_EQ (piped.exitCode, 0);
    EXPECT_EQ (piped.err.find ('\r'), std::string::npos);
    EXPECT_EQ (piped.err.find ("files done"), std::string::npos);
}
