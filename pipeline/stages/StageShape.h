#pragma once

#include "common/SideBySide.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_dsp/juce_dsp.h>

#include <functional>

// What every stage's processor offers, and the one loop that runs a processor
// over a whole buffer.
//
// A processor is made from its stage's design for a number of channels and
// keeps one state per channel. processChannel (channel, samples, numSamples)
// runs any number of samples of one channel and carries the state on, so a file
// run in one block, sample by sample or in blocks of any lengths gives the same
// samples bit for bit. Channels never share state, so they may run on different
// threads at the same time.
namespace stages
{
// Runs a juce::dsp block through the processor, channel after channel.
template <typename Processor>
void processBlock (Processor& processor, const juce::dsp::AudioBlock<float>& block) noexcept
{
    for (size_t channel = 0; channel < block.getNumChannels(); ++channel)
        processor.processChannel ((int) channel, block.getChannelPointer (channel), (int) block.getNumSamples());
}

// Calls perChannel for each of a block's channels, side by side on the
// calling thread and the helper kept for the file's blocks when there are
// several (the channels of a stage never share state).
inline void forEachChannel (side_by_side::KeptHelper& helper, int numChannels,
                            const std::function<void (int)>& perChannel)
{
    if (numChannels == 1)
        perChannel (0);
    else
        helper.run (numChannels, perChannel);
}

// Runs a whole buffer through the processor as one block per channel, the
// channels side by side when there are several and the file is long enough to
// pay for a thread.
template <typename Processor>
void processWholeBuffer (Processor& processor, juce::AudioBuffer<float>& buffer)
{
    const int numSamples = buffer.getNumSamples();
    if (buffer.getNumChannels() == 0 || numSamples <= 0)
        return;

    // Taken once here: getWritePointer marks the buffer, which the threads must not do together.
    float* const* channels = buffer.getArrayOfWritePointers();
    side_by_side::forEachChannel (buffer.getNumChannels(), numSamples,
                                  [&] (int channel) { processor.processChannel (channel, channels[channel], numSamples); });
}
} // namespace stages
