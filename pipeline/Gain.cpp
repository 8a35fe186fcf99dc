#include "analysis/AudioAnalyzer.h"
#include "pipeline/AudioPipeline.h"
#include "pipeline/GainRules.h"
#include "common/Levels.h"

bool GainRules::isMeasured (float lufs)
{
    return lufs > (float) kNotMeasuredLufs;
}

float GainRules::gainFactor (float gainDb)
{
    return juce::Decibels::decibelsToGain (gainDb, minusInfinityDb);
}

std::optional<float> GainRules::preGainDb (float targetLufs, float measuredLufs, int bypassStage)
{
    if (! isMeasured (measuredLufs) || bypassStage == 1)
        return std::nullopt;

    // Boosts are capped so a near-silent file is not blown up before the
    // dynamics stages; a file louder than the target comes down all the way.
    return juce::jmin (maxPreGainBoostDb, targetLufs - measuredLufs);
}

void GainRules::levelToTarget (juce::AudioBuffer<float>& buffer, float targetLufs, float measuredLufs,
                               int bypassStage)
{
    const auto gainDb = preGainDb (targetLufs, measuredLufs, bypassStage);
    if (! gainDb)
        return;

    juce::Logger::writeToLog ("[AudioPipeline/PreGain] Input LUFS: " + juce::String (measuredLufs, 1)
                              + " -> Applying " + juce::String (*gainDb, 1) + "dB");
    AudioPipeline::applyMakeupGainDb (buffer, *gainDb);
}

void AudioPipeline::applyMakeupGainDb (juce::AudioBuffer<float>& buffer, float gainDb)
{
    const float gain = GainRules::gainFactor (gainDb);
    buffer.applyGain (gain); // exactly 1 leaves the samples alone, 0 clears them

    juce::Logger::writeToLog ("[AudioPipeline/Gain] Applied makeup gain: " + juce::String (gainDb > 0.0f ? "+" : "")
                              + juce::String (gainDb, 1) + "dB (x" + juce::String (gain, 3) + ")");
}

AnalysisResult AudioPipeline::applyPreGainLeveling (juce::AudioBuffer<float>& buffer, double sampleRate,
                                                    float targetLufs, int bypassStage)
{
    auto analysis = AudioAnalyzer::analyze (buffer, sampleRate);
    GainRules::levelToTarget (buffer, targetLufs, (float) analysis.integratedLUFS, bypassStage);
    return analysis;
}
