#include "analysis/AudioAnalyzer.h"
#include "analysis/AnalysisDetail.h"
#include "analysis/AnalysisLog.h"
#include "common/SideBySide.h"

namespace
{
constexpr double kVoiceBlockSeconds = 0.02; // 20 ms voice-activity blocks

void writeLines (const juce::StringArray& lines)
{
    for (const auto& line : lines)
        juce::Logger::writeToLog (line);
}

// Every measurement of the buffer. The loudness K-weights the channels
// straight into the gating sums instead of filtering a copy of the buffer;
// the voice activity, the SNR and the crest factor share one scan. Each record
// is the one its public operation gives alone. The measurements only read the
// buffer and each writes only its own records, so they run side by side.
AnalysisMeasurements measureAll (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const int numChannels = buffer.getNumChannels();
    const int voiceBlockSize = (int) (sampleRate * kVoiceBlockSeconds);
    AnalysisMeasurements m;

    enum Piece { loudness, truePeak, levels, tilt, sibilance, hum, numPieces };
    // The costliest first, so the two threads end close together.
    static constexpr Piece order[numPieces] = { truePeak, loudness, levels, sibilance, tilt, hum };

    side_by_side::run (numPieces, [&] (int i)
    {
        switch (order[i])
        {
            case loudness:
                m.loudness = analysis_detail::gateBlockPowers (analysis_detail::kWeightedBlockPowers (buffer, sampleRate));
                break;
            case truePeak:
                m.truePeak = AudioAnalyzer::measureTruePeak (buffer);
                break;
            case levels:
            {
                const auto scan = analysis_detail::scanLevels (buffer, voiceBlockSize, true);
                m.voiceActivity = analysis_detail::voiceActivityFromScan (scan, numChannels);
                m.snr = analysis_detail::snrFromScan (scan, m.voiceActivity.voicedBlocks, numChannels);
                m.crestFactor = analysis_detail::crestFactorFromScan (scan, numChannels, buffer.getNumSamples());
                break;
            }
            case tilt:
                m.spectralTilt = AudioAnalyzer::measureSpectralTilt (buffer, sampleRate);
                break;
            case sibilance:
                m.sibilance = AudioAnalyzer::measureSibilance (buffer, sampleRate);
                break;
            case hum:
                m.gridHum = AudioAnalyzer::detectGridHum (buffer, sampleRate);
                break;
            case numPieces:
                break;
        }
    });
    return m;
}
} // namespace

AnalysisResult AudioAnalyzer::resultOf (const AnalysisMeasurements& m, int numChannels, int numSamples,
                                        double sampleRate)
{
    AnalysisResult r;
    r.sampleRate = sampleRate;
    r.numChannels = numChannels;
    r.numSamples = numSamples;
    // A rate of 0 never reaches here; it would otherwise put an infinity into the JSON.
    r.durationSeconds = sampleRate > 0.0 ? (double) r.numSamples / sampleRate : 0.0;
    r.integratedLUFS = m.loudness.integratedLufs;
    r.truePeakDBTP = m.truePeak.truePeakDbtp;
    r.snrDB = m.snr.snrDb;
    r.noiseFloorDBFS = m.snr.noiseFloorDbfs;
    r.voicedPercent = m.snr.voicedPercent;
    r.spectralTiltDB = m.spectralTilt.slopeDbPerOctave;
    r.sibilanceRMS = m.sibilance.rmsLinear;
    r.sibilanceDBFS = m.sibilance.levelDbfs;
    r.crestFactorDB = m.crestFactor.crestDb;
    r.hasGridHum = m.gridHum.detected;
    return r;
}

Analysis AudioAnalyzer::measure (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    Analysis a;
    a.measurements = measureAll (buffer, sampleRate);
    a.result = resultOf (a.measurements, buffer.getNumChannels(), buffer.getNumSamples(), sampleRate);
    return a;
}

void AudioAnalyzer::writeLog (const Analysis& a)
{
    writeLines (analysis_log::openingLines (a.result));
    writeLines (analysis_log::measurementLines (a.measurements));
    writeLines (analysis_log::closingLines (a.result));
}

AnalysisResult AudioAnalyzer::analyze (const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const auto a = measure (buffer, sampleRate);
    writeLog (a);
    return a.result;
}
