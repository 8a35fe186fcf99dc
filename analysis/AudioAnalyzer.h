#pragma once

#include "analysis/AnalysisResult.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

// Offline measurements of a whole recording. Stateless; every operation is static.
// Every measurement logs its own line ("[AudioAnalyzer/...]"), one writeToLog call each.
class AudioAnalyzer
{
public:
    // Runs every measurement, logs them and the report block, returns the record.
    // Reads the buffer once per measurement (voice activity, SNR and crest
    // factor share one scan); allocates a few doubles per 20 ms, two
    // 4,096-sample run buffers and one FFT frame at a time, never a copy of
    // the buffer. Gives the values of the single operations below, bit for bit.
    // The measurements run side by side on this thread and one helper thread;
    // their lines are held and logged afterwards, in the order above.
    static AnalysisResult analyze (const juce::AudioBuffer<float>& buffer, double sampleRate);

    // The twelve-line results block (no final line feed) and the one-line JSON object.
    static juce::String formatReport (const AnalysisResult& result);
    static juce::String toJson (const AnalysisResult& result);

    // BS.1770 K-weighting in place, channel by channel: the recommendation's
    // coefficients in double at 48 kHz (within 1 Hz), JUCE-designed shelf and
    // high-pass in float at other rates (about 0.05 LU from BS.1770 at 44.1 kHz).
    static void applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate);
    // Gated integrated loudness in LUFS of a K-weighted buffer (400 ms blocks,
    // 75 % overlap, -70 LUFS and -10 LU gates); -144 when nothing passes or the
    // buffer is shorter than one block.
    static double measureIntegratedLoudness (const juce::AudioBuffer<float>& kWeighted, double sampleRate);
    // 4x-oversampled peak in dBTP, -144 for silence. The polyphase IIR
    // half-band filters read high (up to about 0.8 dB) on an abrupt
    // high-frequency onset and on content close to the Nyquist frequency.
    static double measureTruePeak (const juce::AudioBuffer<float>& buffer);
    // Sample peak over RMS of all channels in dB; 0 for silence.
    static double measureCrestFactor (const juce::AudioBuffer<float>& buffer);
    // One flag per block of blockSize samples (the last may be shorter): RMS
    // over all channels strictly above three times the tenth-percentile RMS.
    static std::vector<bool> detectVoiceActivity (const juce::AudioBuffer<float>& buffer, int blockSize);
    // Mean power of voiced over unvoiced blocks (dB), mean power of the unvoiced
    // blocks (dBFS, -144 if none has energy) and the voiced share (0 to 100).
    static void measureSnr (const juce::AudioBuffer<float>& buffer, const std::vector<bool>& voiced, int blockSize,
                            double& snrDb, double& noiseFloorDbfs, double& voicedPercent);
    // Slope in dB per octave of one FFT frame (up to 8,192 points) from the
    // start of the file, 100 Hz to a quarter of the rate; 0 below 256 samples.
    static double measureSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate);
    // Linear RMS and dBFS of the 5 to 8 kHz band over all channels; 0 and -144
    // below a 17 kHz sample rate.
    static void measureSibilance (const juce::AudioBuffer<float>& buffer, double sampleRate,
                                  double& sibilanceRms, double& sibilanceDbfs);
    // 50 Hz mains hum and harmonics in one FFT frame (up to 16,384 points) from
    // the start of the file; false below 4,096 samples.
    static bool detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate);
};
