#pragma once

#include "common/SideBySide.h"
#include "io/BlockSource.h"
#include "pipeline/SampleChecks.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tessaloom
{

// The one way the engine goes over a file's samples: read a source from start
// to end in blocks, run every channel of a block through some steps, each
// perhaps followed by a check, and hand the block to taps (an accumulator, a
// writer, the spill). Memory: one block of the source's channels, plus what the
// steps and taps hold.
namespace pass
{
// Frames per channel in one block of every pass (2.7 s at 48 kHz, 512 KB of
// floats per channel): with 8,192 the hand-overs and reads cost a quarter more
// time than holding the whole file, with 32,768 a tenth, from 131,072 on a few
// per cent.
constexpr int kChainBlockFrames = 131072;

// A stage's processor behind one call per channel run.
using ChannelProcess = std::function<void (int channel, float* samples, int numSamples)>;

template <typename Processor>
ChannelProcess holding (std::shared_ptr<Processor> processor)
{
    return [processor] (int channel, float* samples, int n) { processor->processChannel (channel, samples, n); };
}

// One step of every channel of a block: the processor (none: it changes
// nothing), then the check of what it left (none: not checked here).
struct ChannelStep
{
    ChannelProcess process;
    sample_checks::ChannelTallies* check = nullptr;
};

// A step that links the channels, so it takes the frames of all of them at
// once; it may hold frames back (a lookahead) and give them at the end.
struct LinkedStep
{
    std::function<int (float* const* channels, int numFrames)> process; // the frames it gives at the start of the block
    std::function<int (float* const* channels)> flush;                 // the frames still inside, at the start of channels
    int latency = 0;                                                    // the most frames flush gives
};

// What sees each block once its channels are through the steps.
using Tap = std::function<void (juce::AudioBuffer<float>& block, int numFrames)>;

struct Pass
{
    std::vector<ChannelStep> steps;            // each channel through all of them in turn
    std::optional<LinkedStep> linked;          // then every channel at once
    std::vector<ChannelStep> afterLinked;      // then each channel of the frames it gave
    std::vector<Tap> taps;                     // then the block, in this order
    side_by_side::KeptHelper* helper = nullptr; // runs the channels side by side; none: one after another
};

// Runs the whole source through the pass. false at the first block the source
// could not read whole: the taps have then seen only the blocks before it, and
// the linked step is not flushed.
[[nodiscard]] bool run (AudioBlockSource& source, const Pass& pass);

// Where a lone channel's steps divide when its pass runs the taps beside them:
// steps [0, index) on the calling thread, the rest and the taps on the helper,
// so that the longer side takes the least time (from each step's time and the
// taps' on the first blocks).
int balancedSplit (const std::vector<double>& stepSeconds, double tapSeconds);
} // namespace pass

} // namespace tessaloom
