#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>
#include <vector>

namespace tessaloom
{

// What a person wants to see of a recording at a glance: its short-term
// loudness over time and a min/max picture of its waveform. Small whatever the
// length: each holds at most a fixed number of points, and a long recording
// gets coarser points rather than more of them.
struct SignalOverview
{
    // Short-term loudness (the K-weighted power of the last 3 s, or of what
    // there is of the recording before 3 s) every shortTermStepSeconds, the
    // first point one step into the recording. In LUFS, -70 at most down
    // (the absolute gate of the integrated loudness: below it is silence).
    double shortTermStepSeconds = 1.0;
    std::vector<float> shortTermLufs;

    // The lowest and highest sample of all channels in consecutive spans of
    // waveformStepSeconds (the last one may be shorter), full scale +-1.
    double waveformStepSeconds = 0.0;
    std::vector<float> waveformMin, waveformMax;
};

// Builds a SignalOverview from a recording handed over in blocks of any length,
// in order, as the engine reads it anyway. Holds a few hundred numbers.
class OverviewTap
{
public:
    static constexpr int kMaxPoints = 240;
    static constexpr float kFloorLufs = -70.0f;

    OverviewTap (int numChannels, double sampleRate, int maxPoints = kMaxPoints);
    ~OverviewTap();

    void add (const float* const* channels, int numFrames);
    void add (const juce::AudioBuffer<float>& block, int numFrames) { add (block.getArrayOfReadPointers(), numFrames); }

    SignalOverview finish();

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace tessaloom
