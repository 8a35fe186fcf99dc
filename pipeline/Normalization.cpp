#include "analysis/AudioAnalyzer.h"
#include "pipeline/AudioPipeline.h"
#include "pipeline/GainRules.h"
#include "common/SideBySide.h"
#include "pipeline/stages/DynamicsKernels.h"

std::optional<float> GainRules::normalizationDb (float targetLufs, float measuredLufs, int bypassStage)
{
    if (! isMeasured (measuredLufs) || bypassStage == 6)
        return std::nullopt;

    // No limit either way: the limiter that follows catches what a large boost raises.
    return targetLufs - measuredLufs;
}

void GainRules::normalizeToTarget (juce::AudioBuffer<float>& buffer, float targetLufs, float measuredLufs,
                                   int bypassStage)
{
    const auto tweakDb = normalizationDb (targetLufs, measuredLufs, bypassStage);
    if (! tweakDb)
        return;

    juce::Logger::writeToLog ("[AudioPipeline/Normalization] Current LUFS: " + juce::String (measuredLufs, 1)
                              + " -> Target: " + juce::String (targetLufs, 1) + " (Final tweak: "
                              + juce::String (*tweakDb, 1) + "dB)");
    AudioPipeline::applyMakeupGainDb (buffer, *tweakDb);
}

void GainRules::limitPeaks (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const int channels = buffer.getNumChannels();
    const int length = buffer.getNumSamples();

    if (channels > 0 && length > 0)
    {
        // The whole file is one block: the envelopes run through it unbroken and
        // the limiter's output gain is constant from the first sample. Its
        // channels are independent, so each runs through a limiter of its own,
        // side by side. The inline stages give what juce::dsp::Limiter gives:
        // two compressors, the make-up gain, then the clip at full scale.
        float* const* samples = buffer.getArrayOfWritePointers();
        side_by_side::forEachChannel (channels, length, [&] (int channel)
        {
            // After a loud passage the envelopes decay through the subnormal range
            // during silence and stay there; flushing them to zero keeps silence
            // as cheap as sound and changes no sample a 16-bit file can hold.
            // The flag belongs to the thread, so each channel sets it.
            const juce::ScopedNoDenormals noDenormals;

            dynamics_kernels::LimiterStages limiter (sampleRate, limiterThresholdDb, limiterReleaseMs);

            float* x = samples[channel];
            for (int n = 0; n < length; ++n)
                x[n] = limiter.processSample (x[n]);
            juce::FloatVectorOperations::multiply (x, limiter.outputGain, length);
            juce::FloatVectorOperations::clip (x, x, -1.0f, 1.0f, length);
        });
    }

    juce::Logger::writeToLog ("[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling="
                              + juce::String (limiterThresholdDb, 1) + " dBTP)");
}

float GainRules::trimToOutputPeak (juce::AudioBuffer<float>& buffer)
{
    if (buffer.hasBeenCleared() || buffer.getNumChannels() == 0)
        return 1.0f;

    float peak = 0.0f;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        peak = juce::jmax (peak, buffer.getMagnitude (c, 0, buffer.getNumSamples()));

    if (! (peak > outputTrimFloor))
        return 1.0f;

    const float gain = outputPeakTarget / peak;
    buffer.applyGain (gain);

    juce::Logger::writeToLog ("[AudioPipeline/OutputTrim] Dropped overall gain by "
                              + juce::String (juce::Decibels::gainToDecibels (gain, minusInfinityDb), 2)
                              + "dB to hit exact -5.5dB peak.");
    return gain;
}

void AudioPipeline::normalizeToTarget (juce::AudioBuffer<float>& buffer, double sampleRate, float targetLufs,
                                       int bypassStage)
{
    // Measured even when bypassed: the analyzer's report is part of the log.
    const auto analysis = AudioAnalyzer::analyze (buffer, sampleRate);
    GainRules::normalizeToTarget (buffer, targetLufs, (float) analysis.integratedLUFS, bypassStage);
}

void AudioPipeline::limitAndTrim (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    GainRules::limitPeaks (buffer, sampleRate);
    GainRules::trimToOutputPeak (buffer);
}
