#include "analysis/AnalysisLog.h"

namespace tessaloom
{

namespace
{
// Number formatting of every text of the analyzer: fixed point with N decimals,
// or JUCE's default form for N = 0.
juce::String fmt (double value, int decimals) { return juce::String (value, decimals); }

// U+2550, U+2500 and U+2014 as UTF-8.
juce::String separatorLine() { return juce::String::repeatedString (juce::CharPointer_UTF8 ("\xe2\x95\x90"), 40); }

juce::String rule (int count) { return juce::String::repeatedString (juce::CharPointer_UTF8 ("\xe2\x94\x80"), count); }

const char* const kTitle = "[AudioAnalyzer] Pass 1 \xe2\x80\x94 Offline Analysis";
} // namespace

juce::StringArray analysis_log::openingLines (const AnalysisResult& r)
{
    return { separatorLine(), juce::String (juce::CharPointer_UTF8 (kTitle)),
             "[AudioAnalyzer] " + juce::String (r.numChannels) + "ch, " + fmt (r.sampleRate, 0) + "Hz, "
                 + fmt (r.durationSeconds, 2) + "s (" + juce::String (r.numSamples) + " samples)" };
}

std::optional<juce::String> analysis_log::loudnessLine (const LoudnessMeasurement& m)
{
    if (m.blocksAfterRelativeGate == 0)
        return std::nullopt;
    return "[AudioAnalyzer/LUFS] Blocks: " + juce::String (m.numBlocks) + " | After abs gate: "
           + juce::String (m.blocksAfterAbsoluteGate) + " | After rel gate: " + juce::String (m.blocksAfterRelativeGate)
           + " | Integrated: " + fmt (m.integratedLufs, 1) + " LUFS";
}

juce::String analysis_log::truePeakLine (const TruePeakMeasurement& m)
{
    return "[AudioAnalyzer/TruePeak] Peak: " + fmt (m.peakLinear, 6) + " | " + fmt (m.truePeakDbtp, 1) + " dBTP";
}

juce::String analysis_log::voiceActivityLine (const VoiceActivityMeasurement& m)
{
    return "[AudioAnalyzer/VAD] Blocks: " + juce::String ((int) m.voicedBlocks.size()) + " | Voiced: "
           + juce::String (m.numVoiced) + " | Threshold: " + fmt (m.thresholdRms, 6)
           + " | NoiseFloor(P10): " + fmt (m.noiseFloorRms, 6);
}

juce::String analysis_log::snrLine (const SnrMeasurement& m)
{
    return "[AudioAnalyzer/SNR] Signal blocks: " + juce::String (m.signalBlocks) + " | Noise blocks: "
           + juce::String (m.noiseBlocks) + " | SNR: " + fmt (m.snrDb, 1) + " dB"
           + " | NoiseFloor: " + fmt (m.noiseFloorDbfs, 1) + " dBFS";
}

std::optional<juce::String> analysis_log::spectralTiltLine (const SpectralTiltMeasurement& m)
{
    if (! m.fitted)
        return std::nullopt;
    return "[AudioAnalyzer/SpectralTilt] Slope: " + fmt (m.slopeDbPerOctave, 2) + " dB/octave | Profile: "
           + juce::String (m.profile) + " | Bins analyzed: " + juce::String (m.firstBin) + "-" + juce::String (m.lastBin);
}

juce::String analysis_log::sibilanceLine (const SibilanceMeasurement& m)
{
    if (! m.measurable)
        return "[AudioAnalyzer/Sibilance] Sample rate too low for 5-8kHz analysis";
    return "[AudioAnalyzer/Sibilance] 5-8kHz RMS: " + fmt (m.rmsLinear, 6) + " | " + fmt (m.levelDbfs, 1) + " dBFS";
}

juce::String analysis_log::crestFactorLine (const CrestFactorMeasurement& m)
{
    return "[AudioAnalyzer/CrestFactor] Peak: " + fmt (m.samplePeakLinear, 6) + " | RMS: " + fmt (m.rmsLinear, 6)
           + " | Crest: " + fmt (m.crestDb, 1) + " dB | " + juce::String (m.dynamicsClass);
}

juce::StringArray analysis_log::measurementLines (const AnalysisMeasurements& m)
{
    juce::StringArray lines;
    const auto addIfAny = [&lines] (const std::optional<juce::String>& line)
    {
        if (line)
            lines.add (*line);
    };

    addIfAny (loudnessLine (m.loudness));
    lines.add (truePeakLine (m.truePeak));
    lines.add (voiceActivityLine (m.voiceActivity));
    lines.add (snrLine (m.snr));
    addIfAny (spectralTiltLine (m.spectralTilt));
    lines.add (sibilanceLine (m.sibilance));
    lines.add (crestFactorLine (m.crestFactor));
    return lines;
}

juce::StringArray analysis_log::closingLines (const AnalysisResult& r)
{
    return { report (r), separatorLine() };
}

juce::String analysis_log::report (const AnalysisResult& r)
{
    juce::String s;
    s << "[AudioAnalyzer] " << rule (4) << " Pass 1 Results " << rule (4) << "\n"
      << "  Duration:       " << fmt (r.durationSeconds, 2) << "s (" << r.numChannels << "ch, " << fmt (r.sampleRate, 0) << "Hz)\n"
      << "  LUFS:           " << fmt (r.integratedLUFS, 1) << " LUFS\n"
      << "  True Peak:      " << fmt (r.truePeakDBTP, 1) << " dBTP\n"
      << "  SNR:            " << fmt (r.snrDB, 1) << " dB\n"
      << "  Noise Floor:    " << fmt (r.noiseFloorDBFS, 1) << " dBFS\n"
      << "  Voiced:         " << fmt (r.voicedPercent, 1) << "%\n"
      << "  Spectral Tilt:  " << fmt (r.spectralTiltDB, 2) << " dB/oct\n"
      << "  Sibilance:      " << fmt (r.sibilanceDBFS, 1) << " dBFS (RMS=" << fmt (r.sibilanceRMS, 6) << ")\n"
      << "  Crest Factor:   " << fmt (r.crestFactorDB, 1) << " dB\n"
      << "  Grid Hum:       " << (r.hasGridHum ? "DETECTED" : "None") << "\n"
      << "[AudioAnalyzer] " << rule (26);
    return s;
}

juce::String analysis_log::json (const AnalysisResult& r)
{
    juce::String s;
    s << "{"
      << "\"integratedLUFS\":" << fmt (r.integratedLUFS, 2) << ","
      << "\"truePeakDBTP\":" << fmt (r.truePeakDBTP, 2) << ","
      << "\"snrDB\":" << fmt (r.snrDB, 2) << ","
      << "\"noiseFloorDBFS\":" << fmt (r.noiseFloorDBFS, 2) << ","
      << "\"voicedPercent\":" << fmt (r.voicedPercent, 2) << ","
      << "\"spectralTiltDB\":" << fmt (r.spectralTiltDB, 3) << ","
      << "\"sibilanceRMS\":" << fmt (r.sibilanceRMS, 6) << ","
      << "\"sibilanceDBFS\":" << fmt (r.sibilanceDBFS, 2) << ","
      << "\"crestFactorDB\":" << fmt (r.crestFactorDB, 2) << ","
      << "\"sampleRate\":" << fmt (r.sampleRate, 0) << ","
      << "\"numChannels\":" << r.numChannels << ","
      << "\"durationSeconds\":" << fmt (r.durationSeconds, 3) << ","
      << "\"hasGridHum\":" << (r.hasGridHum ? "true" : "false")
      << "}";
    return s;
}

} // namespace tessaloom
