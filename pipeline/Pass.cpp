#include "pipeline/Pass.h"

#include "pipeline/stages/StageShape.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace tessaloom
{

namespace pass
{
namespace
{
void throughSteps (const std::vector<ChannelStep>& steps, side_by_side::KeptHelper* helper,
                   juce::AudioBuffer<float>& block, int n)
{
    if (steps.empty())
        return;
    // Taken once: getWritePointer marks the buffer, which the threads must not do together.
    float* const* channels = block.getArrayOfWritePointers();
    const auto throughAll = [&] (int c)
    {
        for (const auto& step : steps)
        {
            if (step.process)
                step.process (c, channels[c], n);
            if (step.check != nullptr)
                step.check->add (c, channels[c], n);
        }
    };
    if (helper != nullptr)
        stages::forEachChannel (*helper, block.getNumChannels(), throughAll);
    else
        for (int c = 0; c < block.getNumChannels(); ++c)
            throughAll (c);
}
// The steps of a lone channel, as one list: the pass's steps, then those after
// the linked step (a pass with a lone channel here has none between them).
struct LoneChannelSteps
{
    const Pass& pass;
    int size() const { return (int) (pass.steps.size() + pass.afterLinked.size()); }
    const ChannelStep& operator[] (int i) const
    {
        return i < (int) pass.steps.size() ? pass.steps[(size_t) i] : pass.afterLinked[(size_t) i - pass.steps.size()];
    }
    // Steps [from, to) over the block's one channel; the seconds each took added into `seconds`, if given.
    void run (juce::AudioBuffer<float>& block, int n, int from, int to, std::vector<double>* seconds) const
    {
        float* const samples = block.getWritePointer (0);
        for (int i = from; i < to; ++i)
        {
            const auto started = std::chrono::steady_clock::now();
            const auto& step = (*this)[i];
            if (step.process)
                step.process (0, samples, n);
            if (step.check != nullptr)
                step.check->add (0, samples, n);
            if (seconds != nullptr)
                (*seconds)[(size_t) i] += std::chrono::duration<double> (std::chrono::steady_clock::now() - started).count();
        }
    }
};

// A lone channel leaves the helper thread idle while the steps run; instead,
// the taps of one block run there while the next block goes through the steps,
// and where the steps take longer than the taps, the last of them go there too.
// The first two blocks go through every step on this thread, timed, with the
// first one's taps beside the second one's steps; from the third on, the steps
// divide where the two sides take about as long. Every step and every tap still
// sees every block whole, in order, each after the one before (a step's part of
// one block is done before its part of the next begins); the cost is one more
// block of samples: the blocks are read into two buffers in turn.
bool tapsBesideSteps (AudioBlockSource& source, const Pass& pass)
{
    const auto length = source.lengthInFrames();
    const int size = (int) juce::jmin ((juce::int64) kChainBlockFrames, juce::jmax ((juce::int64) 1, length));
    juce::AudioBuffer<float> blocks[2] = { { source.numChannels(), size }, { source.numChannels(), size } };
    const LoneChannelSteps steps { pass };
    const int stepCount = steps.size();
    int current = 0;    // the buffer the next block is read into
    int heldFrames = 0; // the frames of the block in the other, not yet tapped
    int heldStepped = stepCount; // how many of the steps the held block has been through
    int split = stepCount;       // the steps a block goes through on this thread
    constexpr int kTimedBlocks = 2;
    int timedBlocks = 0;
    std::vector<double> stepSeconds ((size_t) stepCount, 0.0);
    double tapSeconds = 0.0;
    const auto finishHeld = [&] (bool timed)
    {
        auto& held = blocks[1 - current];
        steps.run (held, heldFrames, heldStepped, stepCount, nullptr);
        const auto started = std::chrono::steady_clock::now();
        for (const auto& tap : pass.taps)
            tap (held, heldFrames);
        if (timed)
            tapSeconds += std::chrono::duration<double> (std::chrono::steady_clock::now() - started).count();
    };
    for (juce::int64 start = 0; start < length; start += kChainBlockFrames)
    {
        const int n = (int) juce::jmin ((juce::int64) kChainBlockFrames, length - start);
        auto& block = blocks[current];
        if (! source.read (block, start, n))
        {
            // The blocks read whole before a failed read reach the taps, as they would one by one.
            if (heldFrames > 0)
                finishHeld (false);
            return false;
        }
        const bool timing = timedBlocks < kTimedBlocks;
        if (timedBlocks == kTimedBlocks)
        {
            // The steps were timed on both blocks, the taps on the first.
            for (auto& seconds : stepSeconds)
                seconds /= kTimedBlocks;
            split = balancedSplit (stepSeconds, tapSeconds);
            ++timedBlocks;
        }
        const int here = timing ? stepCount : split;
        if (heldFrames > 0)
            pass.helper->run (2, [&] (int piece)
            {
                if (piece == 0)
                    steps.run (block, n, 0, here, timing ? &stepSeconds : nullptr);
                else
                    finishHeld (timing);
            });
        else
            steps.run (block, n, 0, here, timing ? &stepSeconds : nullptr);
        if (timing)
            ++timedBlocks;
        heldFrames = n;
        heldStepped = here;
        current = 1 - current;
    }
    if (heldFrames > 0)
        finishHeld (false);
    return true;
}
} // namespace

int balancedSplit (const std::vector<double>& stepSeconds, double tapSeconds)
{
    const int count = (int) stepSeconds.size();
    double beside = tapSeconds;
    for (double s : stepSeconds)
        beside += s;
    double here = 0.0;
    int best = 0;
    double bestLonger = beside;
    for (int split = 1; split <= count; ++split)
    {
        here += stepSeconds[(size_t) split - 1];
        beside -= stepSeconds[(size_t) split - 1];
        if (const double longer = std::max (here, beside); longer < bestLonger)
        {
            bestLonger = longer;
            best = split;
        }
    }
    return best;
}

bool run (AudioBlockSource& source, const Pass& pass)
{
    // A pass with a linked step (its frames come out late, and at the end) keeps
    // to one block at a time.
    if (source.numChannels() == 1 && pass.helper != nullptr && ! pass.linked && ! pass.steps.empty() && ! pass.taps.empty()
        && side_by_side::helperAvailable())
        return tapsBesideSteps (source, pass);

    const auto deliver = [&] (juce::AudioBuffer<float>& block, int n)
    {
        throughSteps (pass.afterLinked, pass.helper, block, n);
        for (const auto& tap : pass.taps)
            tap (block, n);
    };
    const bool readWhole = block_source::forEachBlock (source, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
    {
        throughSteps (pass.steps, pass.helper, block, n);
        const int given = pass.linked ? pass.linked->process (block.getArrayOfWritePointers(), n) : n;
        if (given > 0)
            deliver (block, given);
    });
    if (! readWhole)
        return false;
    if (pass.linked)
    {
        juce::AudioBuffer<float> tail (source.numChannels(), pass.linked->latency);
        if (const int rest = pass.linked->flush (tail.getArrayOfWritePointers()); rest > 0)
            deliver (tail, rest);
    }
    return true;
}
} // namespace pass

} // namespace tessaloom
