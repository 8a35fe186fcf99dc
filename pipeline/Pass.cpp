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
// the cost is one more block of samples, a copy the taps read.
bool tapsBesideSteps (AudioBlockSource& source, const Pass& pass)
{
    juce::AudioBuffer<float> held;
    int heldFrames = 0;
    const auto tapHeld = [&]
    {
        for (const auto& tap : pass.taps)
            tap (held, heldFrames);
    };
    const auto steps = [&] (juce::AudioBuffer<float>& block, int n)
    {
        throughSteps (pass.steps, nullptr, block, n);
        throughSteps (pass.afterLinked, nullptr, block, n); // no linked step between them
    };
    const bool readWhole = block_source::forEachBlock (source, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
    {
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

        if (held.getNumSamples() < block.getNumSamples())
            held.setSize (block.getNumChannels(), block.getNumSamples());
        for (int c = 0; c < block.getNumChannels(); ++c)
            held.copyFrom (c, 0, block, c, 0, n);
        heldFrames = n;
    });
    // The blocks read whole before a failed read reach the taps, as they would one by one.
    if (heldFrames > 0)
        tapHeld();
    return readWhole;
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
