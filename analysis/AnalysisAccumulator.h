#pragma once

#include "analysis/Measurements.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>
#include <vector>

namespace tessaloom
{

// Measures a recording handed over in blocks of any length, in order: every
// measurement's stream takes each block, and finish() makes the records and
// the result record from them. Gives the same bits however the recording was
// cut into blocks, one block for the whole recording included. What it holds does not grow with the length but for
// the per-block lists: a double per 100 ms (loudness) and per 20 ms (levels),
// about 1.7 MB per hour of audio.
//
// Blocks of a few thousand frames and more are measured on the calling thread
// and one helper thread side by side; the helper is started by the first such
// block and lives as long as the accumulator.
class AnalysisAccumulator
{
public:
    AnalysisAccumulator (int numChannels, double sampleRate);
    ~AnalysisAccumulator();

    // The next numFrames frames of every channel (block has the accumulator's
    // channels, and at least numFrames frames).
    void add (const juce::AudioBuffer<float>& block, int numFrames);
    void add (const float* const* channels, int numFrames);

    // Every measurement of what was added and the result record. Call once.
    Analysis finish();

    // Frames added so far.
    juce::int64 numFrames() const noexcept;

    // The channels' weights in the integrated loudness (analysis_detail::
    // bs1770ChannelWeights); empty, the default, weighs each 1.0. Set before
    // the first block.
    void setLoudnessChannelWeights (std::vector<double> weights);

    // The bytes held beside the filter states: the per-block lists, the
    // unfinished 20 ms block and the frames kept from the start of the file.
    size_t sideDataBytes() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace tessaloom
