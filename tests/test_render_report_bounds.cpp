// --render-report over reports nobody should have to trust: lines nested
// without end or too large are refused by number and the others kept; curves
// of any length give a page of bounded size; and characters outside the Basic
// Multilingual Plane reach the page as UTF-8.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace tessaloom;

using namespace testing_support;

namespace
{
std::string path (const juce::File& f)
{
    return f.getFullPathName().toStdString();
}

std::string repeated (const std::string& text, int times)
{
    std::string out;
    out.reserve (text.size() * (size_t) times);
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// A report line as the engine writes it, reduced to what the page shows.
std::string goodLine (const std::string& name, const std::string& curves = "")
{
    return "{\"inputPath\":\"/data/" + name + "\",\"outputPath\":\"/out/" + name
           + "\",\"success\":true,\"error\":null,\"denoiseEngine\":\"Skipped\",\"processingTimeMs\":10.0,"
             "\"output\":{\"integratedLufs\":-18.0,\"truePeakDbtp\":-1.5,\"loudnessRangeLu\":4.0,\"targetLufs\":-18.0,"
             "\"offTargetLu\":0.0,\"durationSeconds\":60.0}"
           + (curves.empty() ? "" : ",\"curves\":" + curves) + "}";
}

std::string pageText (const juce::File& page)
{
    juce::MemoryBlock bytes;
    page.loadFileAsData (bytes);
    return std::string ((const char*) bytes.getData(), bytes.getSize());
}

// Whether the bytes are well-formed UTF-8 (no surrogate halves, no overlong forms).
bool validUtf8 (const std::string& s)
{
    for (size_t i = 0; i < s.size();)
    {
        const auto c = (unsigned char) s[i];
        size_t n = c < 0x80 ? 1 : (c >= 0xc2 && c <= 0xdf) ? 2 : (c >= 0xe0 && c <= 0xef) ? 3 : (c >= 0xf0 && c <= 0xf4) ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        std::uint32_t point = n == 1 ? c : n == 2 ? (c & 0x1fu) : n == 3 ? (c & 0x0fu) : (c & 0x07u);
        for (size_t k = 1; k < n; ++k)
        {
            if (((unsigned char) s[i + k] & 0xc0u) != 0x80u)
                return false;
            point = (point << 6) | ((unsigned char) s[i + k] & 0x3fu);
        }
        if ((n == 3 && point < 0x800) || (n == 4 && point < 0x10000) || (point >= 0xd800 && point <= 0xdfff))
            return false;
        i += n;
    }
    return true;
}

size_t count (const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (auto at = text.find (part); at != std::string::npos; at = text.find (part, at + part.size()))
        ++n;
    return n;
}
} // namespace

// Each hostile line sits between two good ones: it is named and skipped, the
// page has the other two.
TEST (RenderReportBounds, LinesTooDeepOrTooLargeAreSkippedByNumber)
{
    struct Case
    {
        const char* label;
        std::string line;
        std::string why;
    };
    const Case cases[] = {
        { "70 KB of nested arrays", repeated ("[", 70000), " is nested more than 64 deep" },
        { "objects nested in objects", repeated ("{\"a\":", 20000) + "1" + repeated ("}", 20000), " is nested more than 64 deep" },
        { "a report line with deep curves",
          goodLine ("deep.wav", "{\"input\":{\"shortTermLufs\":" + repeated ("[", 100000) + "}}"), " is nested more than 64 deep" },
        { "a line of 5 MB", goodLine ("huge.wav", "{\"input\":{\"shortTermLufs\":[" + repeated ("-20.0,", 900000) + "-20.0]}}"),
          " is larger than 4 MiB" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto report = tmp.file ("report.jsonl");
        const auto page = tmp.file ("page.html");
        const auto text = goodLine ("a.wav") + "\n" + c.line + "\n" + goodLine ("b.wav") + "\n";
        ASSERT_TRUE (report.replaceWithData (text.data(), text.size()));

        const auto r = runEngineExe ({ "--render-report", path (report), "--report-html", path (page) });

        EXPECT_EQ (r.exitCode, 0) << r.err.substr (0, 400);
        EXPECT_EQ (r.err, "[System] WARNING: Skipped line 2 of " + path (report) + c.why + "\n"
                          "[System] Report page written: " + path (page) + " (2 files)\n");
        const auto html = pageText (page);
        EXPECT_NE (html.find ("data-name=\"a.wav\""), std::string::npos);
        EXPECT_NE (html.find ("data-name=\"b.wav\""), std::string::npos);
    }
}

// A curve of any length is drawn with a bounded number of points, still over
// the whole picture.
TEST (RenderReportBounds, LongCurvesAreThinnedOnThePage)
{
    struct Case
    {
        const char* label;
        std::string curves;
        const char* shape; // the element drawn from the long curve
    };
    const auto many = [] (const std::string& value, int n) { return "[" + repeated (value + ",", n - 1) + value + "]"; };
    const Case cases[] = {
        { "loudness of 200000 points", "{\"input\":{\"shortTermStepSeconds\":0.0003,\"shortTermLufs\":" + many ("-23.5", 200000) + "}}",
          "<polyline class=\"before\" points=\"" },
        { "a waveform of 100000 points",
          "{\"output\":{\"waveformStepSeconds\":0.0006,\"waveformMin\":" + many ("-0.5", 100000) + ",\"waveformMax\":"
              + many ("0.5", 100000) + "}}",
          "<polygon class=\"after\" points=\"" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto report = tmp.file ("report.jsonl");
        const auto page = tmp.file ("page.html");
        const auto text = goodLine ("long.wav", c.curves) + "\n";
        ASSERT_TRUE (report.replaceWithData (text.data(), text.size()));

        const auto r = runEngineExe ({ "--render-report", path (report), "--report-html", path (page) });

        EXPECT_EQ (r.exitCode, 0) << r.err;
        const auto html = pageText (page);
        const auto from = html.find (c.shape);
        ASSERT_NE (from, std::string::npos);
        const auto points = html.substr (from + std::strlen (c.shape), html.find ('"', from + std::strlen (c.shape)) - from - std::strlen (c.shape));
        const auto drawn = count (points, ",");
        EXPECT_LE (drawn, 2u * 960u) << "points drawn";
        EXPECT_GE (drawn, 480u) << "the curve is still drawn";
        EXPECT_LT (html.size(), 200000u);
        EXPECT_NE (points.find ("480,"), std::string::npos) << "the thinned curve still reaches the end of the picture";
    }
}

// A character outside the Basic Multilingual Plane, as the report writes it
// (an escaped pair of UTF-16 halves) or written straight, is one 4-byte UTF-8
// character on the page, whether the page is made by the run or from its report.
TEST (RenderReportBounds, CharactersOutsideTheBmpAreUtf8OnThePage)
{
    const std::string note = "\xf0\x9f\x8e\xb5"; // U+1F3B5
    struct Case
    {
        const char* label;
        std::string name;
    };
    const Case cases[] = {
        { "escaped pair", "\\ud83c\\udfb5.wav" },
        { "straight UTF-8", note + ".wav" },
        { "a lone half", "x\\ud83c.wav" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto report = tmp.file ("report.jsonl");
        const auto page = tmp.file ("page.html");
        const auto text = goodLine (c.name) + "\n";
        ASSERT_TRUE (report.replaceWithData (text.data(), text.size()));

        const auto r = runEngineExe ({ "--render-report", path (report), "--report-html", path (page) });

        EXPECT_EQ (r.exitCode, 0) << r.err;
        const auto html = pageText (page);
        EXPECT_TRUE (validUtf8 (html));
        if (std::string (c.label) == "a lone half")
            EXPECT_NE (html.find ("data-name=\"x\xef\xbf\xbd.wav\""), std::string::npos) << "a lone half is U+FFFD";
        else
            EXPECT_NE (html.find ("data-name=\"" + note + ".wav\""), std::string::npos);
    }

    // The run's own page, and the page made again from its report.
    TempFolder tmp;
    const auto input = tmp.file ("in/" + juce::String::fromUTF8 (note.c_str()) + ".wav");
    input.getParentDirectory().createDirectory();
    writeWav (input, speechLike (1, 48000, 48000.0, 5), 48000.0);
    const auto r = runEngineExe ({ "--input-dir", path (input.getParentDirectory()), "--output-dir", path (tmp.file ("out")),
                                   "--denoise", "false", "--report", path (tmp.file ("r.jsonl")), "--report-html",
                                   path (tmp.file ("run.html")) });
    ASSERT_EQ (r.exitCode, 0) << r.err;
    const auto runPage = pageText (tmp.file ("run.html"));
    EXPECT_TRUE (validUtf8 (runPage));
    EXPECT_NE (runPage.find ("data-name=\"" + note + ".wav\""), std::string::npos);
    const auto again = runEngineExe ({ "--render-report", path (tmp.file ("r.jsonl")), "--report-html", path (tmp.file ("again.html")) });
    ASSERT_EQ (again.exitCode, 0) << again.err;
    EXPECT_EQ (pageText (tmp.file ("again.html")), runPage);
}
