#include "pipeline/RoomLog.h"

#include "common/Levels.h"

#include <cmath>

namespace tessaloom
{

namespace room_log
{
namespace
{
juce::String hz (double value)
{
    return juce::String (value, 2) + " Hz";
}
} // namespace

juce::String clippingLine (const ClippingMeasurement& c)
{
    if (! c.clipped())
        return "[Room] Clipping: none found";
    return "[Room] Clipping: " + juce::String (c.runs) + " clipped runs, the longest " + juce::String (c.longestRun)
           + " samples, " + juce::String (c.share * 100.0, 3) + "% of the samples";
}

juce::String humLine (const MainsHumMeasurement& h)
{
    if (! h.measured)
        return "[Room] Mains hum: not measured (shorter than half a second)";
    if (! h.found())
        return "[Room] Mains hum: none found (the strongest line at 50 Hz rises " + juce::String (h.strongest50Db, 1)
               + " dB, at 60 Hz " + juce::String (h.strongest60Db, 1) + " dB over its neighbours)";
    juce::StringArray lines;
    for (const auto& l : h.lines)
        lines.add (hz (l.frequencyHz) + " +" + juce::String (l.overNeighboursDb, 1) + " dB");
    return "[Room] Mains hum: " + juce::String (h.mainsHz) + " Hz mains at " + hz (h.fundamentalHz) + ", lines "
           + lines.joinIntoString (", ");
}

juce::String declipLine (const stages::DeclipperReport& r)
{
    if (r.rebuiltSamples == 0 && r.leftRuns == 0)
        return "[Room] Declip: nothing rebuilt";
    juce::String line = "[Room] Declip: rebuilt " + juce::String (r.rebuiltSamples) + " samples in "
                        + juce::String (r.rebuiltRuns) + " runs (constrained AR interpolation)";
    if (r.leftRuns > 0)
        line << ", " << juce::String (r.leftRuns) << " runs too long left as they were";
    return line + "; the file lowered " + juce::String (-r.headroomDb, 1) + " dB for the rebuilt crests";
}

juce::String denoiseLimitLine (const RoomFindings& room)
{
    juce::String line = "[Room] Denoise limit: " + juce::String (*room.denoiseLimitDb, 1) + " dB ("
                        + (room.denoiseLimitSource == "option" ? juce::String ("--denoise-limit") : juce::String ("preset"));
    if (room.denoiseLimitNeededDb)
    {
        line << "; the noise floor needs " << juce::String (*room.denoiseLimitNeededDb, 1) << " dB";
        if (*room.denoiseLimitNeededDb > *room.denoiseLimitDb)
            line << ", more than this recording's SNR allows";
    }
    return line + ")";
}

juce::String backgroundLine (const RoomFindings& room)
{
    juce::String line = "[Room] Background: speech to pauses " + juce::String (room.inputSpeechToPauseDb.value_or (0.0), 1)
                        + " dB in the input, " + juce::String (room.outputSpeechToPauseDb.value_or (0.0), 1)
                        + " dB after the chain";
    if (room.backgroundDuckDb > 0.0f)
        line << " (pauses lowered " << juce::String (room.backgroundDuckDb, 1) << " dB)";
    if (room.backgroundTried.size() > 1)
    {
        juce::StringArray tried;
        for (const auto& [raise, ratio] : room.backgroundTried)
            tried.add ("-" + juce::String (raise, 1) + " dB: " + juce::String (ratio, 1) + " dB");
        line << "; tried " << tried.joinIntoString (", ");
    }
    return line;
}

float allowedForFloor (const AnalysisResult& input)
{
    return juce::jlimit (0.0f, kMostForFloorDb, (float) input.snrDB + kOverSnrDb);
}

LimitChoice limitForFloor (const AnalysisResult& input, float targetLufs, float maxFloorDbfs, float mappedDb)
{
    LimitChoice choice { mappedDb, std::nullopt };
    const double loudness = input.integratedLUFS, floor = input.noiseFloorDBFS;
    if (! (loudness > kNotMeasuredLufs) || ! (floor > kNotMeasuredLufs))
        return choice;
    const float needed = (float) (floor + (targetLufs - loudness) - maxFloorDbfs) + kFloorMarginDb;
    choice.neededDb = needed;
    choice.limitDb = juce::jmax (mappedDb, juce::jmin (needed, allowedForFloor (input)));
    return choice;
}
} // namespace room_log

} // namespace tessaloom
