#include "analysis/AudioAnalyzer.h"
#include "analysis/AnalysisDetail.h"
#include "common/SideBySide.h"

using analysis_detail::fmt;

namespace
{
constexpr double kVoiceBlockSeconds = 0.02; // 20 ms voice-activity blocks

// U+2550, U+2500 and U+2014 as UTF-8.
juce::String separatorLine() { return juce::String::repeatedString (juce::CharPointer_UTF8 ("\xe2\x95\x90"), 40); }

juce::String rule (int count) { return juce::String::repeatedString (juce::CharPointer_UTF8 ("\xe2\x94\x80"), count); }
thread_local std::vector<juce::String>* heldLines = nullptr;
} // namespace

void analysis_detail::log (const juce::String& line)
{
    if (heldLines != nullptr)
        heldLines->push_back (line);
    else
        juce::Logger::writeToLog (line);
}

analysis_detail::LogHold::LogHold (std::vector<juce::String>& into) : previous (heldLines)
{
    heldLines = &into;
}

analysis_detail::LogHold::~LogHold()
{
    heldLines = previous;
}

void analysis_detail::writeHeld (const std::vector<juce::String>& lines)
{
    for (const auto& line : lines)
        juce::Logger::writeToLog (line);
}

AnalysisResult AudioAnalyzer::analyze (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    AnalysisResult r;
    r.sampleRate = sampleRate;
    r.numChannels = buffer.getNumChannels();
    r.numSamples = buffer.getNumSamples();
    // A rate of 0 never reaches here; it would otherwise put an infinity into the JSON.
    r.durationSeconds = sampleRate > 0.0 ? (double) r.numSamples / sampleRate : 0.0;

    juce::Logger::writeToLog (separatorLine());
    juce::Logger::writeToLog (juce::String (juce::CharPointer_UTF8 ("[AudioAnalyzer] Pass 1 \xe2\x80\x94 Offline Analysis")));
    juce::Logger::writeToLog ("[AudioAnalyzer] " + juce::String (r.numChannels) + "ch, " + fmt (sampleRate, 0) + "Hz, "
                              + fmt (r.durationSeconds, 2) + "s (" + juce::String (r.numSamples) + " samples)");

    // The loudness K-weights the channels straight into the gating sums instead
    // of filtering a copy of the buffer; the voice activity, the SNR and the
    // crest factor share one scan. Each value is the one its measurement gives
    // alone. The measurements only read the buffer, so they run side by side,
    // each holding its log lines; the lines are then written in the fixed order.
    const int voiceBlockSize = (int) (sampleRate * kVoiceBlockSeconds);
    analysis_detail::LevelScan scan;

    enum Piece { loudness, truePeak, levels, tilt, sibilance, hum, numPieces };
    std::vector<juce::String> held[numPieces];

    // The costliest first, so the two threads end close together.
    static constexpr Piece order[numPieces] = { truePeak, loudness, levels, sibilance, tilt, hum };

    side_by_side::run (numPieces, [&] (int i)
    {
        const Piece piece = order[i];
        const analysis_detail::LogHold hold (held[piece]);
        switch (piece)
        {
            case loudness:
                r.integratedLUFS = analysis_detail::gateBlockPowers (analysis_detail::kWeightedBlockPowers (buffer, sampleRate));
                break;
            case truePeak:
                r.truePeakDBTP = measureTruePeak (buffer);
                break;
            case levels:
            {
                scan = analysis_detail::scanLevels (buffer, voiceBlockSize, true);
                const auto voiced = analysis_detail::voiceActivityFromScan (scan, r.numChannels);
                analysis_detail::snrFromScan (scan, voiced, r.numChannels, r.snrDB, r.noiseFloorDBFS, r.voicedPercent);
                break;
            }
            case tilt:
                r.spectralTiltDB = measureSpectralTilt (buffer, sampleRate);
                break;
            case sibilance:
                measureSibilance (buffer, sampleRate, r.sibilanceRMS, r.sibilanceDBFS);
                break;
            case hum:
                r.hasGridHum = detectGridHum (buffer, sampleRate);
                break;
            case numPieces:
                break;
        }
    });

    for (const Piece piece : { loudness, truePeak, levels, tilt, sibilance })
        analysis_detail::writeHeld (held[piece]);
    r.crestFactorDB = analysis_detail::crestFactorFromScan (scan, r.numChannels, r.numSamples);
    analysis_detail::writeHeld (held[hum]);

    juce::Logger::writeToLog (formatReport (r));
    juce::Logger::writeToLog (separatorLine());
    return r;
}

juce::String AudioAnalyzer::formatReport (const AnalysisResult& r)
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

juce::String AudioAnalyzer::toJson (const AnalysisResult& r)
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
