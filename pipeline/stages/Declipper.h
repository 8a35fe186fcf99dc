#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tessaloom
{

// The declipper: rebuilds the flat runs a clipped recording holds at its clip
// level, before anything else touches the samples.
//
// How: least-squares autoregressive interpolation of the clipped samples
// (Janssen, Veldhuis and Vries, "Adaptive interpolation of discrete-time
// signals that can be modeled as autoregressive processes", IEEE Trans. ASSP
// 34(2), 1986): around each cluster of runs an AR model is fitted to the
// window, the clipped samples are chosen to minimise the model's prediction
// error over the window, and the model is fitted again to the filled window
// (four rounds). The rebuilt samples are held beyond the clip level on the
// side they were clipped on, as the constrained form of that interpolation
// does (Abel and Smith, "Restoring a clipped signal", ICASSP 1991): a sample
// the solution puts inside the level is fixed at it and the rest solved again.
//
// A rebuilt crest rises above the clip level, and a clip level at full scale
// would clip it again in a 16-bit file, so the declipper's whole output is
// lowered by a fixed headroom. The processor takes every channel of a block at
// once (one look-ahead for all, so the channels stay aligned), gives back
// `latency` fewer frames at the start and the rest at the flush; a channel's
// runs are rebuilt from that channel alone. Memory: the look-ahead and one
// block per channel, whatever the file's length.
namespace stages
{
struct DeclipperParameters
{
    std::vector<float> clipLevels; // linear, per channel: the level it clipped at; 0: not clipped
    float headroomDb = -12.0f;     // dB: the gain of the whole output, room for the rebuilt crests
};

struct DeclipperDesign
{
    std::vector<float> clipLevels;
    float headroom = 1.0f;  // linear
    int order = 32;         // of the AR model
    int context = 256;      // samples: the known samples either side of a cluster the model is fitted to
    int longestRun = 1920;  // samples: a longer run is left as it is (no model reaches across it)
    int minRun = 2;         // samples: a shorter stretch at the level is a crest, not a clip
    int rounds = 4;         // fits of the model and solves

    int clusterSpan = 256;  // samples: runs closer than the context join a cluster until it spans this many;
                            // a model fitted to a few tens of milliseconds of speech holds, not to more

    // Enough look-ahead that every cluster and its context lie inside what is
    // held, whatever the block lengths: the samples never depend on them.
    int latency() const noexcept { return clusterSpan + longestRun + 2 * context + 1; }
};

// Pure: the model order and spans for this rate (order one per 750 Hz of rate,
// context sixteen orders, runs up to 40 ms).
DeclipperDesign designDeclipper (const DeclipperParameters& parameters, double sampleRate);

struct DeclipperReport
{
    juce::int64 rebuiltSamples = 0; // clipped samples given new values
    juce::int64 rebuiltRuns = 0;
    juce::int64 leftRuns = 0;       // runs longer than the design's longestRun, left flat
    float headroomDb = 0.0f;
};

class Declipper
{
public:
    Declipper (const DeclipperDesign& design, int numChannels);

    // Takes numFrames of every channel; writes the frames it gives at the start
    // of the same arrays and returns how many (numFrames less the look-ahead still held).
    int process (float* const* channels, int numFrames);
    // The frames still held, at the start of channels (room for latency() frames); returns how many.
    int flush (float* const* channels);
    int latency() const noexcept { return design.latency(); }

    DeclipperReport report() const;

private:
    struct Channel
    {
        std::vector<float> held;       // samples from heldStart on
        juce::int64 heldStart = 0;
        juce::int64 handledTo = 0;     // runs starting before this were rebuilt or left
        int longRunSign = 0;           // the side of a run too long to rebuild that goes on past handledTo; 0: none
    };
    int give (float* const* channels, int capacity, bool atEnd);
    void handleRuns (Channel& c, float level, juce::int64 readyEnd, bool atEnd);
    void rebuild (Channel& c, float level, const std::vector<std::pair<juce::int64, juce::int64>>& runs);

    DeclipperDesign design;
    std::vector<Channel> state;
    juce::int64 emitted = 0;
    juce::int64 received = 0;
    DeclipperReport totals;
};
} // namespace stages

} // namespace tessaloom
