#pragma once

#include "common/SideBySide.h"

#include <functional>

namespace tessaloom
{

// What every stage's processor offers, and how the chain hands a block's
// channels to the threads.
//
// A processor is made from its stage's design for a number of channels and
// keeps one state per channel. processChannel (channel, samples, numSamples)
// runs any number of samples of one channel and carries the state on, so a file
// run in one block, sample by sample or in blocks of any lengths gives the same
// samples bit for bit. Channels never share state, so they may run on different
// threads at the same time. The chain (pipeline/Chain.cpp) runs every stage
// this way over the blocks of a file; nothing in the program holds a whole file.
namespace stages
{
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
} // namespace stages

} // namespace tessaloom
