#pragma once

#include "analysis/AudioAnalyzer.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>

// Measures a recording handed over in blocks of any length, in order. finish()
// gives what AudioAnalyzer::measure gives for the whole recording in one
// buffer, bit for bit, however the recording was cut into blocks.
class AnalysisAccumulator
{
public:
    AnalysisAccumulator (int numChannels, double sampleRate);
    ~AnalysisAccumulator();

    // The next numFrames frames of every channel (block has the accumulator's channels).
    void add (const juce::AudioBuffer<float>& block, int numFrames);

    // Every measurement of what was added. Call once.
    Analysis finish();

private:
    struct State;
    std::unique_ptr<State> state;
};
