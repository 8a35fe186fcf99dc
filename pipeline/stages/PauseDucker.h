#pragma once

#include <juce_core/juce_core.h>

#include <vector>

namespace tessaloom
{

// The pause ducker: lowers the stretches of a recording its analysis found
// without speech by a fixed amount, so the chain's leveling cannot bring the
// background closer to the voice than it was. Used only by the background
// guard (with a preset), which sets the amount from what the shaping did to the
// speech-to-pause ratio. The gain moves over a short ramp that ends where the
// speech begins and starts where it ends (the blocks are known in advance), so
// no word's onset or tail is touched.
namespace stages
{
struct PauseDuckerParameters
{
    std::vector<bool> speechBlocks; // per block of blockFrames: speech
    int blockFrames = 960;
    float duckDb = 0.0f;   // dB, at least 0: how far the pauses go down
    float rampMs = 15.0f;  // ms: from full depth to none, next to speech
};

struct PauseDuckerDesign
{
    // Per block: the frame where the last speech up to it ended and where the next begins (-1: none).
    std::vector<juce::int64> speechEndBefore, speechStartAfter;
    int blockFrames = 960;
    double duckGain = 1.0;
    double rampFrames = 1.0;
    // The gain a whole number of frames from speech, for each distance inside
    // the ramp (up to a bound: a longer ramp computes the rest as it goes).
    std::vector<double> rampGains;
};

PauseDuckerDesign designPauseDucker (const PauseDuckerParameters& parameters, double sampleRate);

class PauseDucker
{
public:
    PauseDucker (const PauseDuckerDesign& design, int numChannels);
    void processChannel (int channel, float* samples, int numSamples) noexcept;

private:
    double rampGain (double distance) const noexcept;

    PauseDuckerDesign design;
    std::vector<juce::int64> positions; // per channel: the frame the next sample is
};
} // namespace stages

} // namespace tessaloom
