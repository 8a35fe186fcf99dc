#include "support/WholeBuffer.h"

#include "common/SideBySide.h"

namespace tessaloom
{

namespace
{
// Below this many frames a channel costs less than starting a thread.
constexpr int kMinFramesPerChannel = 1 << 16;
} // namespace

void side_by_side::run (int count, const std::function<void (int)>& piece)
{
    // The helper the program keeps for a file's blocks, kept here for one call:
    // the same hand-over, exceptions and fall-back when no thread can be had.
    KeptHelper helper;
    helper.run (count, piece);
}

void side_by_side::forEachChannel (int numChannels, int numSamples, const std::function<void (int)>& perChannel)
{
    if (numSamples < kMinFramesPerChannel)
    {
        for (int c = 0; c < numChannels; ++c)
            perChannel (c);
        return;
    }
    run (numChannels, perChannel);
}

namespace stages
{
PreFilterReport applyPreFilter (juce::AudioBuffer<float>& buffer, double sampleRate,
                                const PreFilterParameters& parameters)
{
    BiquadCascade filter (designPreFilter (parameters, sampleRate), buffer.getNumChannels());
    processWholeBuffer (filter, buffer);
    return describePreFilter (parameters);
}

void applyPauseDucker (juce::AudioBuffer<float>& buffer, double sampleRate, const PauseDuckerParameters& parameters)
{
    PauseDucker ducker (designPauseDucker (parameters, sampleRate), buffer.getNumChannels());
    processWholeBuffer (ducker, buffer);
}

void applyGain (juce::AudioBuffer<float>& buffer, const std::optional<GainSetting>& setting)
{
    if (! setting)
        return;
    Gain gain (setting->factor);
    processWholeBuffer (gain, buffer);
}

PreGainReport applyPreGain (juce::AudioBuffer<float>& buffer, const PreGainParameters& parameters)
{
    const auto setting = designPreGain (parameters);
    applyGain (buffer, setting);
    return { parameters.measuredLufs, setting };
}

DeEsserReport applyDeEsser (juce::AudioBuffer<float>& buffer, double sampleRate, const DeEsserParameters& parameters)
{
    const auto design = designDeEsser (parameters, sampleRate);
    DeEsser deEsser (design, buffer.getNumChannels());
    processWholeBuffer (deEsser, buffer);
    return { design.thresholdDb };
}

ExpanderReport applyExpander (juce::AudioBuffer<float>& buffer, double sampleRate, const ExpanderParameters& parameters)
{
    const auto design = designExpander (parameters, sampleRate);
    Expander expander (design, buffer.getNumChannels());
    processWholeBuffer (expander, buffer);
    return { design.thresholdDb, design.ratio };
}

VocalEqReport applyVocalEq (juce::AudioBuffer<float>& buffer, double sampleRate, const VocalEqParameters& parameters)
{
    BiquadCascade eq (designVocalEq (parameters, sampleRate), buffer.getNumChannels());
    processWholeBuffer (eq, buffer);
    return describeVocalEq (parameters);
}

LevelerReport applyLeveler (juce::AudioBuffer<float>& buffer, double sampleRate, const LevelerParameters& parameters)
{
    Leveler leveler (designLeveler (parameters, sampleRate), buffer.getNumChannels());
    processWholeBuffer (leveler, buffer);
    return {};
}

SaturationReport applySaturation (juce::AudioBuffer<float>& buffer, double sampleRate,
                                  const SaturationParameters& parameters)
{
    Saturation saturation (designSaturation (parameters, sampleRate), buffer.getNumChannels());
    processWholeBuffer (saturation, buffer);
    return { parameters.driveDb };
}

NormalizationReport applyNormalizationGain (juce::AudioBuffer<float>& buffer,
                                            const NormalizationParameters& parameters)
{
    const auto setting = designNormalizationGain (parameters);
    applyGain (buffer, setting);
    return { parameters.measuredLufs, parameters.targetLufs, setting };
}

LimiterReport applyLimiter (juce::AudioBuffer<float>& buffer, double sampleRate, const LimiterParameters& parameters)
{
    Limiter limiter (designLimiter (parameters, sampleRate), buffer.getNumChannels());
    processWholeBuffer (limiter, buffer);
    return { parameters.ceilingDb };
}

float measureSamplePeak (const juce::AudioBuffer<float>& buffer)
{
    float peak = 0.0f;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        peak = juce::jmax (peak, buffer.getMagnitude (c, 0, buffer.getNumSamples()));
    return peak;
}

OutputTrimReport applyOutputTrim (juce::AudioBuffer<float>& buffer)
{
    const auto setting = designOutputTrim ({ measureSamplePeak (buffer) });
    applyGain (buffer, setting);
    return { setting };
}

TruePeakLimiterReport applyTruePeakLimiter (juce::AudioBuffer<float>& buffer, double sampleRate,
                                            const TruePeakLimiterParameters& parameters)
{
    TruePeakLimiter limiter (designTruePeakLimiter (parameters, sampleRate), buffer.getNumChannels());
    const int n = buffer.getNumSamples(), channels = buffer.getNumChannels();
    if (channels == 0 || n == 0)
        return { parameters.ceilingDbtp };
    float* const* samples = buffer.getArrayOfWritePointers();
    const int written = limiter.process (samples, n);
    juce::AudioBuffer<float> tail (channels, limiter.latency());
    const int rest = limiter.flush (tail.getArrayOfWritePointers());
    for (int c = 0; c < channels; ++c)
        buffer.copyFrom (c, written, tail, c, 0, rest);
    return limiter.report();
}
} // namespace stages

int sample_checks::countNonFinite (const juce::AudioBuffer<float>& buffer)
{
    std::int64_t count = 0;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        count += countNonFinite (buffer.getReadPointer (c), buffer.getNumSamples());
    return saturatingCount (count);
}

float sample_checks::peakLevelDbfs (const juce::AudioBuffer<float>& buffer)
{
    float peak = 0.0f;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        peak = juce::jmax (peak, peakMagnitude (buffer.getReadPointer (c), buffer.getNumSamples()));
    return peakLevelDbfs (peak, buffer.getNumChannels());
}

} // namespace tessaloom
