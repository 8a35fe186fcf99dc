#include "analysis/AudioAnalyzer.h"
#include "analysis/AnalysisLog.h"

namespace tessaloom
{

namespace
{
void writeLines (const juce::StringArray& lines)
{
    for (const auto& line : lines)
        juce::Logger::writeToLog (line);
}
} // namespace

void audio_analyzer::writeLog (const Analysis& a)
{
    writeLines (analysis_log::openingLines (a.result));
    writeLines (analysis_log::measurementLines (a.measurements));
    writeLines (analysis_log::closingLines (a.result));
}

juce::String audio_analyzer::formatReport (const AnalysisResult& result) { return analysis_log::report (result); }

juce::String audio_analyzer::toJson (const AnalysisResult& result) { return analysis_log::json (result); }

} // namespace tessaloom
