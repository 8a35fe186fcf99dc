#pragma once

// What the scale-out tests share: a script run from another working directory
// (where a relative report path starts), and the merged report read the way a
// producer checking a batch reads it.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaloom
{

namespace testing_support
{
// bash runs script with arguments, in workingDirectory.
inline ProcessOutput runScriptFrom (const juce::File& workingDirectory, const juce::File& script,
                                    std::vector<std::string> arguments)
{
    arguments.insert (arguments.begin(), { "-c", "cd \"$1\" && shift && exec /bin/bash \"$@\"", "scale-out-script",
                                           workingDirectory.getFullPathName().toStdString(),
                                           script.getFullPathName().toStdString() });
    return runProcess ("/bin/bash", arguments);
}

// One line of a report, as a producer checking a batch reads it.
struct ReportLine
{
    std::string inputPath, outputPath;
    bool success = false;
    std::string error;
    double outputPeakDbfs = 0.0; // output.samplePeakDbfs, which only the engine's own lines have
};

// Every line of a report; a line that is not a whole JSON object of the
// engine's form fails the test.
inline std::vector<ReportLine> reportOf (const juce::File& report)
{
    std::vector<ReportLine> lines;
    const auto text = report.loadFileAsString();
    EXPECT_TRUE (text.endsWithChar ('\n')) << "the last line is whole: " << text;
    for (const auto& line : juce::StringArray::fromLines (text.trimEnd()))
    {
        juce::var v;
        EXPECT_TRUE (juce::JSON::parse (line, v).wasOk() && v.isObject() && v["success"].isBool()) << line;
        lines.push_back ({ v["inputPath"].toString().toStdString(), v["outputPath"].toString().toStdString(),
                           (bool) v["success"], v["error"].toString().toStdString(),
                           (double) v["output"].getProperty ("samplePeakDbfs", 0.0) });
    }
    return lines;
}
} // namespace testing_support

} // namespace tessaloom
