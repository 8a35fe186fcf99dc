#include "analysis/AudioAnalyzer.h"
#include "analysis/AnalysisAccumulator.h"
#include "analysis/AnalysisLog.h"

namespace
{
void writeLines (const juce::StringArray& lines)
{
    for (const auto& line : lines)
        juce::Logger::writeToLog (line);
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
    // The whole buffer as one block: the measurements read it in place (no
    // copy but the frames the spectral measurements keep from the start).
    AnalysisAccumulator accumulator (buffer.getNumChannels(), sampleRate);
    accumulator.add (buffer, buffer.getNumSamples());
    return accumulator.finish();
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
