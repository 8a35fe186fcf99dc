#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

namespace tessaloom
{

// Runs independent pieces of one file's work side by side: on the calling
// thread and on one helper thread. The batch pool uses half of the logical
// processors, so one helper per job fills the other half without
// oversubscribing the machine. Pieces are taken in index order by whichever
// thread is free; each piece must write only its own results. An exception
// thrown by a piece (an allocation failure) is rethrown on the calling thread
// after both threads have stopped. The chain (its stages' channels, block by
// block) and the analysis (its measurements of each block) keep one helper for
// a whole file, so a file pays for one thread start (tens of microseconds).
namespace side_by_side
{
// True when this machine has a second logical processor to use.
bool helperAvailable();

// One helper thread kept for many calls: the chain and the analysis hand
// their work over block by block (thousands of times for an hour of audio),
// so starting a thread per call would cost more than the work. The thread
// starts with the first call that has several pieces and stops with the object.
class KeptHelper
{
public:
    KeptHelper();
    ~KeptHelper();
    KeptHelper (const KeptHelper&) = delete;
    KeptHelper& operator= (const KeptHelper&) = delete;

    // Calls piece (i) for every i in [0, count): on this thread and, when a
    // helper is available and count > 1, on the kept thread too.
    void run (int count, const std::function<void (int)>& piece);

private:
    struct Shared;
    std::unique_ptr<Shared> shared;
};
} // namespace side_by_side

} // namespace tessaloom
