#include "pipeline/Pass.h"

#include "pipeline/stages/StageShape.h"

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
// A lone channel leaves the helper thread idle while the steps run; instead,
// the taps of one block run there while the next block goes through the steps.
// The taps still see every block whole, in order, each after the one before;
// the cost is one more block of samples: the blocks are read into two buffers
// in turn, the taps reading the one the steps are done with.
bool tapsBesideSteps (AudioBlockSource& source, const Pass& pass)
{
    const auto length = source.lengthInFrames();
    const int size = (int) juce::jmin ((juce::int64) kChainBlockFrames, juce::jmax ((juce::int64) 1, length));
    juce::AudioBuffer<float> blocks[2] = { { source.numChannels(), size }, { source.numChannels(), size } };
    int current = 0;    // the buffer the next block is read into
    int heldFrames = 0; // the frames of the block in the other, not yet tapped
    const auto tapHeld = [&]
    {
        for (const auto& tap : pass.taps)
            tap (blocks[1 - current], heldFrames);
    };
    const auto steps = [&] (juce::AudioBuffer<float>& block, int n)
    {
        throughSteps (pass.steps, nullptr, block, n);
        throughSteps (pass.afterLinked, nullptr, block, n); // no linked step between them
    };
    for (juce::int64 start = 0; start < length; start += kChainBlockFrames)
    {
        const int n = (int) juce::jmin ((juce::int64) kChainBlockFrames, length - start);
        auto& block = blocks[current];
        if (! source.read (block, start, n))
        {
            // The blocks read whole before a failed read reach the taps, as they would one by one.
            if (heldFrames > 0)
                tapHeld();
            return false;
        }
        if (heldFrames > 0)
            pass.helper->run (2, [&] (int piece)
            {
                if (piece == 0)
                    steps (block, n);
                else
                    tapHeld();
            });
        else
            steps (block, n);
        heldFrames = n;
        current = 1 - current;
    }
    if (heldFrames > 0)
        tapHeld();
    return true;
}
} // namespace

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
