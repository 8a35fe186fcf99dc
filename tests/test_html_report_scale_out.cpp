// The batch page of a scale-out run: --report-html among the engine options
// gives one page of the whole batch, made from the merged report when the
// collecting step has written it (GNU parallel's scale_out.sh, the Slurm
// array's collect.sh), and not one page per job.
#include "support/TestSupport.h"

using namespace tessaloom;

using namespace testing_support;

namespace
{
const juce::File repositoryRoot { TESSALOOM_SOURCE_DIR };

std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

ProcessOutput script (const char* relativePath, std::vector<std::string> arguments)
{
    arguments.insert (arguments.begin(), path (repositoryRoot.getChildFile (relativePath)));
    return runProcess ("/bin/bash", arguments);
}

// What the engine's own --render-report makes of a report.
std::string renderedFrom (const juce::File& report, const juce::File& scratch)
{
    const auto r = runEngineExe ({ "--render-report", path (report), "--report-html", path (scratch) });
    EXPECT_EQ (r.exitCode, 0) << r.err;
    return scratch.loadFileAsString().toStdString();
}

size_t rowsIn (const std::string& page)
{
    size_t n = 0;
    for (auto at = page.find ("<tr class=\"file "); at != std::string::npos; at = page.find ("<tr class=\"file ", at + 1))
        ++n;
    return n;
}
} // namespace

TEST (ScaleOutPage, OnePageOfTheMergedReportNotOnePerJob)
{
    TempFolder tmp;
    const auto in = tmp.file ("in"), out = tmp.file ("out");
    in.createDirectory();
    for (auto name : { "a.wav", "b.wav", "c.wav" })
        writeWav (in.getChildFile (name), speechLike (1, 48000 * 2, 48000.0, 6), 48000.0);
    in.getChildFile ("broken.wav").replaceWithText ("not audio", false, false, "\n");
    const auto report = tmp.file ("all.jsonl"), page = tmp.file ("all.html");

    const auto run = script ("scripts/scale_out.sh", { "--input-dir", path (in), "--output-dir", path (out), "--engine",
                                                      engineExecutable(), "--sshlogin", ":", "--jobs", "2", "--",
                                                      "--denoise", "false", "--report-html", path (page), "--report",
                                                      path (report) });
    EXPECT_EQ (run.exitCode, 2) << run.err;
    EXPECT_EQ (run.out, "{\"status\":\"batch_complete\",\"success\":3,\"failed\":1}\n");
    EXPECT_TRUE (run.errContains ("scale_out: report page written to " + path (page) + "\n")) << run.err;
    const auto text = page.loadFileAsString().toStdString();
    EXPECT_EQ (rowsIn (text), 4u);
    EXPECT_EQ (text, renderedFrom (report, tmp.file ("again.html")));
    // The jobs made none of their own.
    EXPECT_EQ (out.findChildFiles (juce::File::findFiles, true, "*.html").size(), 0);

    // The page is made from the merged report, so it needs one.
    const auto alone = script ("scripts/scale_out.sh", { "--input-dir", path (in), "--output-dir", path (out), "--engine",
                                                        engineExecutable(), "--sshlogin", ":", "--", "--report-html",
                                                        path (tmp.file ("p.html")) });
    EXPECT_EQ (alone.exitCode, 1);
    EXPECT_EQ (alone.err, "scale_out: --report-html needs --report here: the page is made from the merged report\n"
                          "Run with --help for usage information.\n");
    EXPECT_FALSE (tmp.file ("p.html").exists());
}

TEST (ScaleOutPage, CollectMakesThePageOfTheSlurmArraysMergedReport)
{
    TempFolder tmp;
    const auto in = tmp.file ("in"), out = tmp.file ("out"), work = tmp.file ("work");
    in.createDirectory();
    for (auto name : { "a.wav", "b.wav", "c.wav" })
        in.getChildFile (name).replaceWithText ("listed, never read", false, false, "\n");
    const auto report = tmp.file ("all.jsonl"), page = tmp.file ("all.html");

    const auto submit = script ("share/slurm/submit.sh", { "--input-dir", path (in), "--output-dir", path (out), "--work-dir",
                                                          path (work), "--files-per-task", "2", "--engine", engineExecutable(),
                                                          "--dry-run", "--", "--report", path (report), "--report-html",
                                                          path (page) });
    ASSERT_EQ (submit.exitCode, 0) << submit.err;
    EXPECT_FALSE (juce::String (juce::File (work.getChildFile ("engine-options")).loadFileAsString()).contains ("--report-html"))
        << "the tasks make no page";

    // Task 0 mastered a and b; task 1 never ran.
    const auto line = [&] (char name)
    {
        const auto link = path (work) + "/slices/0/" + name + ".wav";
        return "{\"inputPath\":\"" + link + "\",\"outputPath\":\"" + path (out) + "/" + name
               + ".wav\",\"success\":true,\"error\":null,\"denoiseEngine\":\"Skipped\",\"processingTimeMs\":10.0,"
                 "\"inputAnalysis\":null,\"settings\":null,\"output\":{\"integratedLufs\":-18.5,\"offTargetLu\":-0.5,"
                 "\"targetLufs\":-18.0},\"curves\":null}\n";
    };
    work.getChildFile ("logs/0.jsonl").replaceWithText (line ('a') + line ('b'), false, false, "\n");
    work.getChildFile ("logs/0.out").replaceWithText ("{\"status\":\"batch_complete\",\"success\":2,\"failed\":0}\n", false, false, "\n");

    const auto collect = script ("share/slurm/collect.sh", { path (work) });
    EXPECT_EQ (collect.exitCode, 2) << collect.err;
    EXPECT_TRUE (collect.errContains ("slurm-collect: report page written to " + path (page) + "\n")) << collect.err;
    const auto text = page.loadFileAsString().toStdString();
    EXPECT_EQ (rowsIn (text), 3u);
    EXPECT_NE (text.find ("No report line for this file: array task 1 wrote none"), std::string::npos);
    EXPECT_EQ (text, renderedFrom (report, tmp.file ("again.html")));
}
