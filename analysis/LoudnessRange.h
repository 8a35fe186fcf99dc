#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>
#include <optional>

// Loudness range (EBU Tech 3342) of a recording handed over in blocks of any
// length, in order: the spread between the 10th and 95th percentiles of the
// short-term loudness (3 s windows every 100 ms) that passes an absolute gate
// at -70 LUFS and a relative gate 20 LU below their mean power. Uses the
// integrated loudness's K-weighting and sums; holds a double per 100 ms.
class LoudnessRangeAccumulator
{
public:
    LoudnessRangeAccumulator (int numChannels, double sampleRate);
    ~LoudnessRangeAccumulator();

    void add (const float* const* channels, int numFrames);

    // The range in LU; empty when the recording is shorter than one window or
    // no window passes the gates.
    std::optional<double> finish() const;

private:
    struct State;
    std::unique_ptr<State> state;
};
