#pragma once

#include "analysis/AnalysisResult.h"
#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_dsp/juce_dsp.h>

// Masters one file. Every operation is static; calls share no state, so
// several files may be processed at once on different threads.
// Each stage works in place on the whole buffer, channel by channel.
class AudioPipeline
{
public:
    static PipelineResult processFile (const juce::File& input, const juce::File& output,
                                       const PipelineConfig& config);

    // Stage 1.5: 90 Hz high-pass, and 50/100/150 Hz notches when hum was found.
    static void applyPreFilter (juce::AudioBuffer<float>& buffer, double sampleRate, bool hasGridHum);

    // Stage 1.6: analyses the buffer, levels it toward targetLufs (+12 dB at most)
    // unless bypassStage is 1, and returns the analysis for the re-referencing.
    static AnalysisResult applyPreGainLeveling (juce::AudioBuffer<float>& buffer, double sampleRate,
                                                float targetLufs, int bypassStage);

    // Stage 1.7: LR crossover at 5 kHz, the upper band compressed 4:1.
    static void applyDeEsser (juce::AudioBuffer<float>& buffer, double sampleRate, float sibilanceLevelDb);

    // Stage 1.8: 2:1 downward expansion below thresholdDb (dBFS).
    static void applyExpander (juce::AudioBuffer<float>& buffer, double sampleRate, float thresholdDb);

    // Stage 3: voice-type band limits, thickness, mud cut, presence and air.
    static void applyVocalEQ (juce::AudioBuffer<float>& buffer, double sampleRate, const juce::String& voiceType,
                              float airShelfDb, float presenceDb, float mudCutDb);

    // Stage 2: fixed 3:1 compressor at -18 dBFS.
    static void applyLeveler (juce::AudioBuffer<float>& buffer, double sampleRate);

    // Stage 4: soft clipper with driveDb of drive, then a -1 dB high shelf.
    static void applySaturation (juce::AudioBuffer<float>& buffer, double sampleRate, float driveDb);

    // Multiplies every sample by 10^(gainDb/20) (0 at -100 dB and below) and logs it.
    static void applyMakeupGainDb (juce::AudioBuffer<float>& buffer, float gainDb);

    // Stage 5: analyses the buffer and applies target - measured loudness
    // unless bypassStage is 6.
    static void normalizeToTarget (juce::AudioBuffer<float>& buffer, double sampleRate,
                                   float targetLufs, int bypassStage);

    // Stage 6: -1 dB limiter, then a trim that sets the sample peak to -5.5 dBFS.
    static void limitAndTrim (juce::AudioBuffer<float>& buffer, double sampleRate);
};

// Runs one second-order section over every channel, each from zero state.
// Does nothing when coefficients is null.
void applyFilterToAllChannels (juce::AudioBuffer<float>& buffer,
                               const juce::dsp::IIR::Coefficients<float>::Ptr& coefficients);

// Highest design frequency allowed at this rate: max(0.45 * rate, 1000) Hz.
float frequencyCeiling (double sampleRate);
