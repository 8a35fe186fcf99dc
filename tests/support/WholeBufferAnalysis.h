#pragma once

// The analyzer's measurements of one whole buffer, for the tests, the
// benchmarks and the fuzzer. The engine measures a recording only in blocks
// (AnalysisAccumulator); each operation here feeds a measurement's stream the
// buffer as one block, or runs its kernels over it, and gives the values of
// the engine's streams bit for bit. They live in a namespace of their own:
// the engine has no such operations.

#include "analysis/AudioAnalyzer.h"
#include "analysis/LevelScan.h"
#include "analysis/Loudness.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tessaloom
{

namespace whole_buffer_analysis
{
// Runs every measurement, logs a line for each and the report block, returns
// the record: AnalysisAccumulator fed the buffer as one block, then writeLog.
AnalysisResult analyze (const juce::AudioBuffer<float>& buffer, double sampleRate);

// analyze without the log: every measurement and the result record.
Analysis measure (const juce::AudioBuffer<float>& buffer, double sampleRate);

// BS.1770 K-weighting in place, channel by channel: the recommendation's
// coefficients in double at 48 kHz (within 1 Hz), JUCE-designed shelf and
// high-pass in float at other rates (about 0.05 LU from BS.1770 at 44.1 kHz).
void applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate);
// Gated integrated loudness in LUFS of a K-weighted buffer (400 ms blocks,
// 75 % overlap, -70 LUFS and -10 LU gates); -144 when nothing passes or the
// buffer is shorter than one block.
LoudnessMeasurement measureIntegratedLoudness (const juce::AudioBuffer<float>& kWeighted, double sampleRate);
// 4x-oversampled peak in dBTP, -144 for silence.
TruePeakMeasurement measureTruePeak (const juce::AudioBuffer<float>& buffer);
// Sample peak over RMS of all channels in dB; 0 for silence.
CrestFactorMeasurement measureCrestFactor (const juce::AudioBuffer<float>& buffer);
// One flag per block of blockSize samples (the last may be shorter).
VoiceActivityMeasurement detectVoiceActivity (const juce::AudioBuffer<float>& buffer, int blockSize);
// Voiced over unvoiced blocks of blockSize samples.
SnrMeasurement measureSnr (const juce::AudioBuffer<float>& buffer, const std::vector<bool>& voiced, int blockSize);
// The tilt of one FFT frame from the start of the buffer.
SpectralTiltMeasurement measureSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate);
// The 5 to 8 kHz band over all channels.
SibilanceMeasurement measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate);
// 50 Hz mains hum and harmonics in one FFT frame from the start of the buffer.
GridHumMeasurement detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate);

// The gating-block powers of the unweighted buffer (LoudnessStream in one block).
std::vector<double> kWeightedBlockPowers (const juce::AudioBuffer<float>& buffer, double sampleRate);

// The level scan of the whole buffer (LevelStream in one block, the last block scanned in place).
analysis_detail::LevelScan scanLevels (const juce::AudioBuffer<float>& buffer, int blockSize, bool withCrest);
} // namespace whole_buffer_analysis

} // namespace tessaloom
