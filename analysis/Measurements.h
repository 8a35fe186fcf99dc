#pragma once

// The ground floor of analysis/: what each measurement found, and the records
// of a whole analysis. Every measurement's header, the accumulator, the log
// lines and the facade include this; it includes nothing of analysis/ but the
// result record.

#include "analysis/AnalysisResult.h"
#include "common/Levels.h"

#include <vector>

namespace tessaloom
{

//==============================================================================
// What each measurement found: the value the result record keeps and the
// figures behind it. Linear values are amplitudes relative to full scale.

// Gated integrated loudness and how many 400 ms blocks each gate let through.
struct LoudnessMeasurement
{
    double integratedLufs = kNoLevelDb; // -144 when no block passes both gates
    int numBlocks = 0;
    int blocksAfterAbsoluteGate = 0;
    int blocksAfterRelativeGate = 0;
};

struct TruePeakMeasurement
{
    double peakLinear = 0.0;           // largest 4x-oversampled magnitude of all channels
    double truePeakDbtp = kNoLevelDb;  // -144 for silence
};

struct CrestFactorMeasurement
{
    double samplePeakLinear = 0.0;
    double rmsLinear = 0.0;       // over every channel and sample; 0 without samples
    double crestDb = 0.0;         // 0 for silence
    const char* dynamicsClass = ""; // "Heavily Compressed" up to "Wide Dynamic Range"
};

struct VoiceActivityMeasurement
{
    std::vector<bool> voicedBlocks;  // one flag per block
    int numVoiced = 0;
    double thresholdRms = 0.0;       // a block is voiced strictly above this (linear)
    double noiseFloorRms = 0.0;      // RMS of the block at the tenth percentile (linear)
};

struct SnrMeasurement
{
    double snrDb = 0.0;
    double noiseFloorDbfs = kNoLevelDb; // -144 when no unvoiced block has energy
    double voicedPercent = 0.0;         // 0 to 100
    int signalBlocks = 0;
    int noiseBlocks = 0;
};

struct SpectralTiltMeasurement
{
    double slopeDbPerOctave = 0.0;
    const char* profile = "";  // "Very Dark/Muddy" up to "Bright/Thin"
    bool fitted = false;       // false: too few samples or bins; the slope is then 0
    int firstBin = 0;          // the bins of the fitted line, when fitted
    int lastBin = 0;
};

struct SibilanceMeasurement
{
    bool measurable = false;   // false below a 17 kHz sample rate
    double rmsLinear = 0.0;    // of the 5 to 8 kHz band over all channels
    double levelDbfs = kNoLevelDb;
};

// The 50 Hz family in one frame: how far each line stands over the bins
// around it (both levels are -120 dB where there is no energy).
struct GridHumMeasurement
{
    bool detected = false;
    double fundamentalOverLocalDb = 0.0; // 50 Hz
    double secondOverLocalDb = 0.0;      // 100 Hz
    double thirdOverLocalDb = 0.0;       // 150 Hz
};

// Every measurement of one recording.
struct AnalysisMeasurements
{
    LoudnessMeasurement loudness;
    TruePeakMeasurement truePeak;
    VoiceActivityMeasurement voiceActivity;
    SnrMeasurement snr;
    CrestFactorMeasurement crestFactor;
    SpectralTiltMeasurement spectralTilt;
    SibilanceMeasurement sibilance;
    GridHumMeasurement gridHum;
};

// The result record and what each measurement found.
struct Analysis
{
    AnalysisResult result;
    AnalysisMeasurements measurements;
};

} // namespace tessaloom
