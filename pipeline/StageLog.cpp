#include "pipeline/StageLog.h"

#include "pipeline/SampleChecks.h"

namespace tessaloom
{

namespace stage_log
{
namespace
{
juce::String db (float value, int decimals)
{
    return juce::String (value, decimals);
}
} // namespace

juce::String makeupGainLine (const stages::GainSetting& applied)
{
    return "[AudioPipeline/Gain] Applied makeup gain: " + juce::String (applied.gainDb > 0.0f ? "+" : "")
           + db (applied.gainDb, 1) + "dB (x" + juce::String (applied.factor, 3) + ")";
}

juce::String peakLine (const juce::String& label, float peakDbfs)
{
    juce::String line ("[GainStaging] Peak after " + label + ": " + db (peakDbfs, 2) + " dBFS");
    if (peakDbfs > sample_checks::peakWarningDbfs)
        line << " [WARNING: EXCEEDS -1.0 dBFS]";
    return line;
}

juce::String nonFiniteLine (const juce::String& errorMessage, int count)
{
    return "[AudioPipeline] ERROR: " + errorMessage + " (" + juce::String (count) + " samples)";
}

juce::String spillInMemoryLine (const juce::File& spillFile, juce::int64 boundBytes)
{
    return "[AudioPipeline] WARNING: The work folder takes no more samples (disk full?); the chain's samples are held in memory, at most "
           + juce::String (boundBytes / (1 << 20)) + " MB: " + spillFile.getFullPathName();
}

void write (const juce::StringArray& lines)
{
    for (const auto& line : lines)
        juce::Logger::writeToLog (line);
}
} // namespace stage_log

} // namespace tessaloom
