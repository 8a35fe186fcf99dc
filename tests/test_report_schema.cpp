// The report line's schema (app/ReportSchema.h) against the three that speak
// it: the engine writes only the keys it lists, the scale-out merge script
// (share/slurm/merge-reports.py) carries every one of them through, and the
// line the script writes for an input whose run left none is the schema's
// line without a result.
#include "app/ReportSchema.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <set>

using namespace tessaloom;

using namespace testing_support;

namespace
{
const juce::File repositoryRoot { TESSALOOM_SOURCE_DIR };

std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

std::vector<std::string> keysOf (juce::var line)
{
    std::vector<std::string> keys;
    if (auto* o = line.getDynamicObject())
        for (const auto& p : o->getProperties())
            keys.push_back (p.name.toString().toStdString());
    return keys;
}

// Runs the merge script as the scale-out scripts do: per input, its run's
// report, the error should that run have written no line, the real input
// path and its output path, NUL-terminated on standard input.
ProcessOutput merge (const juce::File& target, const std::vector<std::vector<std::string>>& entries, const TempFolder& tmp)
{
    juce::MemoryBlock fields;
    for (const auto& entry : entries)
        for (const auto& field : entry)
        {
            fields.append (field.data(), field.size());
            fields.append ("", 1);
        }
    const auto input = tmp.file ("entries");
    input.replaceWithData (fields.getData(), fields.getSize());
    return runProcess ("/bin/bash", { "-c", "python3 \"$1\" \"$2\" < \"$3\"", "merge",
                                      path (repositoryRoot.getChildFile ("share/slurm/merge-reports.py")), path (target),
                                      path (input) });
}
} // namespace

// Real lines from the engine, taken through links as a Slurm task's slice
// names its inputs: each merged line holds every key the engine wrote, with
// the same value (the real path in place of the link's), and the engine wrote
// no key the schema does not list. A mastered MP3 with a delivery preset
// holds them all.
TEST (ReportSchema, TheMergeCarriesEveryKeyTheEngineWrites)
{
    TempFolder tmp;
    const auto in = tmp.file ("in"), slice = tmp.file ("slice"), out = tmp.file ("out");
    for (const auto& f : { in, slice, out })
        ASSERT_TRUE (f.createDirectory());
    writeWav (in.getChildFile ("a.wav"), speechLike (1, 3 * 48000, 48000.0), 48000.0);
    writeWav (in.getChildFile ("b.wav"), sine (2, 2 * 48000, 48000.0, 440.0, 0.2f), 48000.0);
    in.getChildFile ("c.wav").replaceWithText ("not audio");
    for (const auto* name : { "a.wav", "b.wav", "c.wav" })
        ASSERT_TRUE (in.getChildFile (name).createSymbolicLink (slice.getChildFile (name), false));

    const auto report = tmp.file ("task.jsonl");
    const auto run = runEngineExe ({ "--input-dir", path (slice), "--output-dir", path (out), "--output-format", "mp3",
                                     "--preset", "podcast", "--denoise", "false", "--report", path (report) });
    ASSERT_EQ (run.exitCode, 2) << run.err; // c.wav is no audio
    const auto written = parsedReportLines (report);
    ASSERT_EQ (written.size(), 3u);

    const std::set<std::string> schema (std::begin (report_schema::lineKeys), std::end (report_schema::lineKeys));
    std::vector<std::vector<std::string>> entries;
    for (const auto& line : written)
    {
        for (const auto& k : keysOf (line))
            EXPECT_EQ (schema.count (k), 1u) << "a key the schema does not list: " << k;
        const auto name = juce::File (line[report_schema::key::inputPath].toString()).getFileName();
        entries.push_back ({ path (report), "lost", path (in.getChildFile (name)),
                             line[report_schema::key::outputPath].toString().toStdString() });
    }
    const auto mastered = std::find_if (written.begin(), written.end(), [] (const juce::var& l) { return (bool) l["success"]; });
    ASSERT_NE (mastered, written.end());
    EXPECT_EQ (keysOf (*mastered), std::vector<std::string> (std::begin (report_schema::lineKeys), std::end (report_schema::lineKeys)))
        << "a mastered MP3 with a preset holds every key, in the schema's order";

    const auto target = tmp.file ("merged.jsonl");
    const auto merged = merge (target, entries, tmp);
    ASSERT_EQ (merged.exitCode, 0) << merged.err;
    EXPECT_EQ (merged.out, "3 0\n");
    const auto lines = parsedReportLines (target);
    ASSERT_EQ (lines.size(), written.size());
    for (const auto& before : written)
    {
        const auto name = juce::File (before[report_schema::key::inputPath].toString()).getFileName();
        const auto found = std::find_if (lines.begin(), lines.end(), [&] (const juce::var& l)
                                         { return l[report_schema::key::inputPath].toString() == in.getChildFile (name).getFullPathName(); });
        ASSERT_NE (found, lines.end()) << name;
        EXPECT_EQ (keysOf (*found), keysOf (before)) << name;
        // The link's path stands in the engine's messages too: the merge puts the real one there.
        for (const auto& k : keysOf (before))
            EXPECT_EQ (juce::JSON::toString ((*found)[k.c_str()], true),
                       juce::JSON::toString (before[k.c_str()], true).replace (slice.getFullPathName(), in.getFullPathName()))
                << name << ": " << k;
    }
}

// An input whose run wrote no line: the script writes the schema's line
// without a result, key for key, and a page can be made from it.
TEST (ReportSchema, TheMergesLineForAMissingInputIsTheSchemasLineWithoutAResult)
{
    TempFolder tmp;
    const auto target = tmp.file ("merged.jsonl");
    const auto merged = merge (target, { { path (tmp.file ("none.jsonl")), "the task was cancelled", "/data/raw/a.wav",
                                           "/data/mastered/a.wav" } },
                               tmp);
    ASSERT_EQ (merged.exitCode, 0) << merged.err;
    EXPECT_EQ (merged.out, "1 1\n");
    const auto lines = parsedReportLines (target);
    ASSERT_EQ (lines.size(), 1u);

    namespace key = report_schema::key;
    std::vector<std::string> expected { key::inputPath, key::outputPath, key::success, key::error };
    for (const auto* k : report_schema::nullWithoutResult)
        expected.push_back (k);
    EXPECT_EQ (keysOf (lines[0]), expected);
    for (const auto* k : report_schema::nullWithoutResult)
        EXPECT_TRUE (lines[0][k].isVoid()) << k;
    const auto row = report_schema::readRow (lines[0]);
    EXPECT_EQ (row.inputPath, "/data/raw/a.wav");
    EXPECT_FALSE (row.success);
    EXPECT_EQ (row.error.value_or (""), "the task was cancelled");
}
