#include "common/SideBySide.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <exception>
#include <system_error>
#include <thread>

namespace tessaloom
{

namespace
{
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

struct side_by_side::KeptHelper::Shared
{
    ~Shared()
    {
        if (! thread.joinable())
            return;
        {
            const std::lock_guard<std::mutex> l (lock);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }

    void run (int count, const std::function<void (int)>& piece)
    {
        std::exception_ptr failure;
        if (count <= 1 || ! side_by_side::helperAvailable() || ! start())
        {
            std::atomic<int> inlineNext { 0 };
            drain (inlineNext, count, piece, failure);
        }
        else
        {
            {
                const std::lock_guard<std::mutex> l (lock);
                job = &piece;
                jobCount = count;
                next.store (0);
                helperFailure = nullptr;
                busy = true;
                ++generation;
            }
            wake.notify_one();
            drain (next, count, piece, failure);

            std::unique_lock<std::mutex> l (lock);
            done.wait (l, [this] { return ! busy; });
            if (failure == nullptr)
                failure = helperFailure;
        }
        if (failure != nullptr)
            std::rethrow_exception (failure);
    }

    bool start()
    {
        if (thread.joinable())
            return true;
        try
        {
            thread = std::thread ([this] { loop(); });
            return true;
        }
        catch (const std::system_error&)
        {
            return false; // no thread to be had: the caller measures alone
        }
    }

    void loop()
    {
        unsigned seen = 0;
        for (;;)
        {
            std::unique_lock<std::mutex> l (lock);
            wake.wait (l, [&] { return stopping || generation != seen; });
            if (stopping)
                return;
            seen = generation;
            const auto* piece = job;
            const int count = jobCount;
            l.unlock();

            std::exception_ptr failure;
            drain (next, count, *piece, failure);

            l.lock();
            helperFailure = failure;
            busy = false;
            l.unlock();
            done.notify_one();
        }
    }

    std::mutex lock;
    std::condition_variable wake, done;
    std::thread thread;
    bool stopping = false, busy = false;
    unsigned generation = 0;
    const std::function<void (int)>* job = nullptr;
    int jobCount = 0;
    std::atomic<int> next { 0 };
    std::exception_ptr helperFailure;
};

side_by_side::KeptHelper::KeptHelper() : shared (std::make_unique<Shared>()) {}

side_by_side::KeptHelper::~KeptHelper() = default;

void side_by_side::KeptHelper::run (int count, const std::function<void (int)>& piece)
{
    shared->run (count, piece);
}

} // namespace tessaloom
