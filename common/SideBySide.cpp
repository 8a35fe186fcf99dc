#include "common/SideBySide.h"

#include <atomic>
#include <exception>
#include <thread>

namespace
{
// Below this many frames a channel costs less than starting a thread.
constexpr int kMinFramesPerChannel = 1 << 16;

// Takes piece indices until none are left; the first exception stops this
// thread's share and is kept for the caller.
void drain (std::atomic<int>& next, int count, const std::function<void (int)>& piece, std::exception_ptr& failure)
{
    try
    {
        for (int i = next.fetch_add (1); i < count; i = next.fetch_add (1))
            piece (i);
    }
    catch (...)
    {
        failure = std::current_exception();
        next.store (count); // the other thread takes no new piece
    }
}

class Helper : public juce::Thread
{
public:
    Helper (std::atomic<int>& nextIn, int countIn, const std::function<void (int)>& pieceIn)
        : juce::Thread ("side by side"), next (nextIn), count (countIn), piece (pieceIn)
    {
    }

    void run() override { drain (next, count, piece, failure); }

    std::exception_ptr failure;

private:
    std::atomic<int>& next;
    const int count;
    const std::function<void (int)>& piece;
};
} // namespace

bool side_by_side::helperAvailable()
{
    static const bool available = std::thread::hardware_concurrency() != 1;
    return available;
}

void side_by_side::run (int count, const std::function<void (int)>& piece)
{
    std::atomic<int> next { 0 };
    std::exception_ptr failure;

    if (count <= 1 || ! helperAvailable())
    {
        drain (next, count, piece, failure);
    }
    else
    {
        Helper helper (next, count, piece);
        const bool started = helper.startThread();
        drain (next, count, piece, failure);
        if (started)
            helper.stopThread (-1); // no timeout: the pieces finish on their own
        if (failure == nullptr)
            failure = helper.failure;
    }

    if (failure != nullptr)
        std::rethrow_exception (failure);
}

void side_by_side::forEachChannel (int numChannels, int numSamples, const std::function<void (int)>& perChannel)
{
    if (numSamples < kMinFramesPerChannel)
    {
        for (int c = 0; c < numChannels; ++c)
            perChannel (c);
        return;
    }
    run (numChannels, perChannel);
}
