#include "pipeline/StageLog.h"

#include "pipeline/SampleChecks.h"

namespace stage_log
{
namespace
{
juce::String db (float value, int decimals)
{
    return juce::String (value, decimals);
}
} // namespace

juce::StringArray linesFor (const stages::PreFilterReport& r)
{
    juce::StringArray lines { "[AudioPipeline/PreFilter] Applied HPF at " + juce::String (juce::roundToInt (r.highPassHz))
                              + "Hz" };
    if (! r.notchedHz.empty())
    {
        juce::StringArray at;
        for (const float hz : r.notchedHz)
            at.add (juce::String (hz, 2));
        lines.add ("[AudioPipeline/PreFilter] Applied Mains Hum Notches at " + at.joinIntoString ("/") + "Hz (Measured)");
    }
    else if (r.humNotched)
        lines.add ("[AudioPipeline/PreFilter] Applied 50/100/150Hz Grid Hum Eradication (Gated)");
    return lines;
}

juce::String makeupGainLine (const stages::GainSetting& applied)
{
    return "[AudioPipeline/Gain] Applied makeup gain: " + juce::String (applied.gainDb > 0.0f ? "+" : "")
           + db (applied.gainDb, 1) + "dB (x" + juce::String (applied.factor, 3) + ")";
}

juce::StringArray linesFor (const stages::PreGainReport& r)
{
    if (! r.applied)
        return {};
    return { "[AudioPipeline/PreGain] Input LUFS: " + db (r.measuredLufs, 1) + " -> Applying "
                 + db (r.applied->gainDb, 1) + "dB",
             makeupGainLine (*r.applied) };
}

juce::StringArray linesFor (const stages::DeEsserReport& r)
{
    return { "[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=" + db (r.thresholdDb, 1) + "dB)" };
}

juce::StringArray linesFor (const stages::ExpanderReport& r)
{
    return { "[AudioPipeline/Expander] Applied Downward Expander (Threshold=" + db (r.thresholdDb, 1)
             + "dB, Ratio=" + juce::String (juce::roundToInt (r.ratio)) + ":1)" };
}

juce::StringArray linesFor (const stages::VocalEqReport& r)
{
    return { "[AudioPipeline/EQ] Applied " + r.voiceType + " vocal EQ: " + "Thickness=" + db (r.thicknessDb, 1)
             + "dB, " + "MudCut=" + db (r.mudCutDb, 1) + "dB, " + "Presence=" + db (r.presenceDb, 1) + "dB, "
             + "AirShelf=" + db (r.airShelfDb, 1) + "dB" };
}

juce::StringArray linesFor (const stages::LevelerReport&)
{
    return { "[AudioPipeline/Compressor] Applied Serial Opto-Style Leveler (LA-2A Topology)" };
}

juce::StringArray linesFor (const stages::SaturationReport& r)
{
    return { "[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+" + db (r.driveDb, 1)
             + "dB)" };
}

juce::StringArray linesFor (const stages::NormalizationReport& r)
{
    if (! r.applied)
        return {};
    return { "[AudioPipeline/Normalization] Current LUFS: " + db (r.measuredLufs, 1) + " -> Target: "
                 + db (r.targetLufs, 1) + " (Final tweak: " + db (r.applied->gainDb, 1) + "dB)",
             makeupGainLine (*r.applied) };
}

juce::StringArray linesFor (const stages::LimiterReport& r)
{
    return { "[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling=" + db (r.ceilingDb, 1) + " dBTP)" };
}

juce::StringArray linesFor (const stages::OutputTrimReport& r)
{
    if (! r.applied)
        return {};
    return { "[AudioPipeline/OutputTrim] Dropped overall gain by " + db (r.applied->gainDb, 2)
             + "dB to hit exact -5.5dB peak." };
}

juce::StringArray linesFor (const stages::LoudnessFinishReport& r)
{
    using Loudness = stages::LoudnessFinishReport::Loudness;
    const auto signedDb = [] (double v) { return juce::String (v >= 0.0 ? "+" : "") + juce::String (v, 2); };
    juce::StringArray lines;
    if (r.loudness == Loudness::corrected)
        for (size_t i = 0; i < r.passes.size(); ++i)
            lines.add ("[AudioPipeline/Finish] Pass " + juce::String ((int) i + 1) + ": " + signedDb (r.passes[i].driveDb)
                       + "dB into the limiter -> " + juce::String (r.passes[i].lufs, 2) + " LUFS");
    lines.add ("[AudioPipeline/TruePeakLimiter] Applied True-Peak Limiter (Ceiling=" + db (r.ceilingDbtp, 1)
               + " dBTP, 8x oversampled, linked): max gain reduction " + juce::String (r.limiter.maxGainReductionDb, 2)
               + "dB, mean " + juce::String (r.limiter.meanGainReductionDb, 2) + "dB");
    switch (r.loudness)
    {
        case Loudness::corrected:
            lines.add ("[AudioPipeline/Finish] Final gain: " + signedDb (r.gain ? r.gain->gainDb : 0.0f) + "dB -> "
                       + juce::String (r.finalLufs, 2) + " LUFS (Target: " + db (r.targetLufs, 1) + " LUFS) after "
                       + juce::String ((int) r.passes.size()) + (r.passes.size() == 1 ? " pass" : " passes"));
            if (std::abs (r.finalLufs - r.targetLufs) > r.toleranceLu)
                lines.add ("[AudioPipeline/Finish] WARNING: " + juce::String (r.targetLufs - r.finalLufs, 2)
                           + " LU short of the target: more loudness under the ceiling would take distortion");
            break;
        case Loudness::notMeasured:
            lines.add ("[AudioPipeline/Finish] Loudness not measured: no final gain");
            break;
        case Loudness::leftAlone:
            lines.add ("[AudioPipeline/Finish] Normalization bypassed: loudness left as the limiter leaves it");
            break;
    }
    return lines;
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
