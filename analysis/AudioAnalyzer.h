#pragma once

#include "analysis/AnalysisResult.h"
#include "common/Levels.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

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

// Every measurement of one buffer, as analyze takes them.
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

//==============================================================================
// Offline measurements of a whole recording. Stateless; every operation is static.
// Only analyze writes to the log; the single measurements return their records,
// and analysis/AnalysisLog.h formats them as analyze logs them.
class AudioAnalyzer
{
public:
    // Runs every measurement, logs a line for each and the report block,
    // returns the record. Reads the buffer once per measurement (voice
    // activity, SNR and crest factor share one scan); allocates a few doubles
    // per 20 ms, two 4,096-sample run buffers, the first 16,384 frames and one
    // FFT frame at a time, never a copy of the buffer. Gives the values of the
    // single operations below, bit for bit, and is AnalysisAccumulator fed the
    // buffer as one block. The measurements run side by side on this thread
    // and one helper thread; their lines are written afterwards, in a fixed order.
    static AnalysisResult analyze (const juce::AudioBuffer<float>& buffer, double sampleRate);

    // analyze without the log: every measurement and the result record.
    static Analysis measure (const juce::AudioBuffer<float>& buffer, double sampleRate);

    // Writes the lines analyze writes for an analysis: the opening lines, a
    // line per measurement and the report block.
    static void writeLog (const Analysis& analysis);

    // The result record of a set of measurements of numSamples frames per channel.
    static AnalysisResult resultOf (const AnalysisMeasurements& measurements, int numChannels, int numSamples,
                                    double sampleRate);

    // The twelve-line results block (no final line feed) and the one-line JSON object.
    static juce::String formatReport (const AnalysisResult& result);
    static juce::String toJson (const AnalysisResult& result);

    // BS.1770 K-weighting in place, channel by channel: the recommendation's
    // coefficients in double at 48 kHz (within 1 Hz), JUCE-designed shelf and
    // high-pass in float at other rates (about 0.05 LU from BS.1770 at 44.1 kHz).
    static void applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate);
    // Gated integrated loudness in LUFS of a K-weighted buffer (400 ms blocks,
    // 75 % overlap, -70 LUFS and -10 LU gates); -144 when nothing passes or the
    // buffer is shorter than one block. Allocates two doubles per block.
    static LoudnessMeasurement measureIntegratedLoudness (const juce::AudioBuffer<float>& kWeighted, double sampleRate);
    // 4x-oversampled peak in dBTP, -144 for silence. The polyphase IIR
    // half-band filters read high (up to about 0.8 dB) on an abrupt
    // high-frequency onset and on content close to the Nyquist frequency.
    static TruePeakMeasurement measureTruePeak (const juce::AudioBuffer<float>& buffer);
    // Sample peak over RMS of all channels in dB; 0 for silence. Each channel's
    // squares are summed in sample order and the channels' sums added in
    // channel order, so that a recording taken in blocks gives the same bits.
    static CrestFactorMeasurement measureCrestFactor (const juce::AudioBuffer<float>& buffer);
    // One flag per block of blockSize samples (the last may be shorter): RMS
    // over all channels strictly above three times the tenth-percentile RMS.
    static VoiceActivityMeasurement detectVoiceActivity (const juce::AudioBuffer<float>& buffer, int blockSize);
    // Mean power of voiced over unvoiced blocks (dB), mean power of the unvoiced
    // blocks (dBFS, -144 if none has energy) and the voiced share (0 to 100).
    static SnrMeasurement measureSnr (const juce::AudioBuffer<float>& buffer, const std::vector<bool>& voiced, int blockSize);
    // Slope in dB per octave of one FFT frame (up to 8,192 points) from the
    // start of the file, 100 Hz to a quarter of the rate; 0 below 256 samples.
    static SpectralTiltMeasurement measureSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate);
    // Linear RMS and dBFS of the 5 to 8 kHz band over all channels; 0 and -144
    // below a 17 kHz sample rate. The squares are summed as the crest factor's.
    static SibilanceMeasurement measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate);
    // 50 Hz mains hum and harmonics in one FFT frame (up to 16,384 points) from
    // the start of the file; not detected below 4,096 samples.
    static GridHumMeasurement detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate);
};
