#include "pipeline/Pass.h"

#include "pipeline/stages/StageShape.h"

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
} // namespace

bool run (AudioBlockSource& source, const Pass& pass)
{
    const auto deliver = [&] (juce::AudioBuffer<float>& block, int n)
    {
        throughSteps (pass.afterLinked, pass.helper, block, n);
        for (const auto& tap : pass.taps)
            tap (block, n);
    };
    const bool readWhole = forEachBlock (source, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
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
