#include "common/SideBySide.h"

#include <atomic>
#include <exception>
#include <system_error>
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
        // A plain thread, joined the moment it ends: the chain hands its blocks
        // over a thousand times a minute of audio, and a join that polls would
        // add its polling interval to every one of them.
        std::exception_ptr helperFailure;
        std::thread helper;
        try
        {
            helper = std::thread ([&] { drain (next, count, piece, helperFailure); });
        }
        catch (const std::system_error&)
        {
            // No thread to be had: this thread takes every piece.
        }
        drain (next, count, piece, failure);
        if (helper.joinable())
            helper.join();
        if (failure == nullptr)
            failure = helperFailure;
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
