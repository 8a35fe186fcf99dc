#include "analysis/AnalysisAccumulator.h"

// Holds the recording as it comes and measures it whole at the end.
struct AnalysisAccumulator::State
{
    double sampleRate = 0.0;
    juce::AudioBuffer<float> audio;
    int length = 0;
};

AnalysisAccumulator::AnalysisAccumulator (int numChannels, double sampleRate) : state (std::make_unique<State>())
{
    state->sampleRate = sampleRate;
    state->audio.setSize (numChannels, 0);
}

AnalysisAccumulator::~AnalysisAccumulator() = default;

void AnalysisAccumulator::add (const juce::AudioBuffer<float>& block, int numFrames)
{
    if (numFrames <= 0)
        return;
    auto& audio = state->audio;
    if (state->length + numFrames > audio.getNumSamples())
        audio.setSize (audio.getNumChannels(), juce::jmax (state->length + numFrames, 2 * audio.getNumSamples()), true,
                       false, true);
    for (int c = 0; c < audio.getNumChannels(); ++c)
        audio.copyFrom (c, state->length, block, c, 0, numFrames);
    state->length += numFrames;
}

Analysis AnalysisAccumulator::finish()
{
    auto& audio = state->audio;
    juce::AudioBuffer<float> whole (audio.getArrayOfWritePointers(), audio.getNumChannels(), state->length);
    return AudioAnalyzer::measure (whole, state->sampleRate);
}
