#pragma once

// Clipping: the flat runs a recording holds at its own peak level, where a
// converter or a gain stage ran out of range. Measured in one pass over blocks
// of any length; holds a few numbers per channel.

#include <juce_core/juce_core.h>

#include <vector>

namespace tessaloom
{

struct ClippingMeasurement
{
    juce::int64 runs = 0;           // flat runs of at least kMinClippedRun samples at the clip level, every channel
    juce::int64 longestRun = 0;     // samples
    juce::int64 clippedSamples = 0; // samples inside those runs
    double share = 0.0;             // clippedSamples over every sample of every channel
    // Per channel: the clip level (the channel's peak magnitude) when it holds runs, else 0.
    std::vector<float> clipLevels;

    bool clipped() const noexcept { return runs > 0; }
};

namespace clipping
{
// A run this long at the peak is a clip: two equal samples at a peak happen in
// unclipped sound (the two sides of a crest quantised alike); three rarely do.
constexpr int kMinClippedRun = 3;
// How close to the channel's peak a sample must be to sit at the clip level:
// a 16-bit converter clips at +32767 and -32768, 3e-5 apart relative.
constexpr float kClipLevelTolerance = 1.0e-4f;

// True when |x| sits at the clip level `level`.
inline bool atLevel (float x, float level) noexcept
{
    return level > 0.0f && std::abs (x) >= level * (1.0f - kClipLevelTolerance);
}

// The scan: runs at the running peak of each channel; a new, higher peak
// starts the channel's count again (what lay under it was not the clip level).
class Scan
{
public:
    explicit Scan (int numChannels);

    void add (const float* const* channels, int numFrames);
    ClippingMeasurement finish() const;

private:
    struct Channel
    {
        float peak = 0.0f;
        int sign = 0;           // of the open run
        juce::int64 open = 0;   // samples in the open run at the peak
        juce::int64 runs = 0, longest = 0, samples = 0;
    };
    static void close (Channel& c) noexcept;

    std::vector<Channel> state;
    juce::int64 frames = 0;
};
} // namespace clipping

} // namespace tessaloom
