#include "io/FolderClaim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tessaloom
{

namespace
{
// Where a name's lock byte lies: a 62-bit FNV-1a hash of its lower-case UTF-8
// form, so names that one file system takes for one file share a byte.
off_t lockOffsetOf (const juce::String& name)
{
    std::uint64_t hash = 14695981039346656037ull;
    // Held for the loop: the bytes belong to the string.
    const auto lower = name.toLowerCase();
    for (auto* p = lower.toRawUTF8(); *p != 0; ++p)
    {
        hash ^= (unsigned char) *p;
        hash *= 1099511628211ull;
    }
    return (off_t) (hash & 0x3fffffffffffffffull);
}

bool lockRange (int fd, off_t start, off_t length)
{
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = length;
    return ::fcntl (fd, F_OFD_SETLK, &range) == 0;
}

bool heldByAnother (int fd, off_t at)
{
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = at;
    range.l_len = 1;
    return ::fcntl (fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

// The one claim alive in the process, for the clean-up on a signal.
std::mutex liveLock;
FolderClaim* live = nullptr;
} // namespace

FolderClaim::FolderClaim (int descriptor, juce::File lockPath) : fd (descriptor), path (std::move (lockPath))
{
    const std::lock_guard<std::mutex> hold (liveLock);
    live = this;
}

FolderClaim::~FolderClaim()
{
    const std::lock_guard<std::mutex> hold (liveLock);
    release();
    if (live == this)
        live = nullptr;
}

void FolderClaim::release()
{
    if (fd < 0)
        return;
    // The whole file locks only when no other run holds a byte of it; holding
    // it, the file can go: a run that opened it meanwhile finds it unlinked
    // once its locks are set, and starts again with a new one.
    if (lockRange (fd, 0, 0))
        ::unlink (path.getFullPathName().toRawUTF8());
    ::close (fd);
    fd = -1;
}

void FolderClaim::releaseForExit()
{
    const std::lock_guard<std::mutex> hold (liveLock);
    if (live != nullptr)
        live->release();
}

FolderClaim::Result FolderClaim::take (const juce::File& folder, const juce::StringArray& names,
                                       std::unique_ptr<FolderClaim>& claim, juce::String& takenName)
{
    claim.reset();
    // Taken in one order by every run, so of two runs started together that
    // want some of the same names one always gets them all: a run that is refused
    // at a name holds only names before it, which the other has not reached yet.
    std::vector<std::pair<off_t, juce::String>> ordered;
    for (const auto& name : names)
        ordered.emplace_back (lockOffsetOf (name), name);
    std::sort (ordered.begin(), ordered.end());

    const auto lockPath = folder.getChildFile (kFileName);
    const auto raw = lockPath.getFullPathName();
    // A few rounds at most: each one lost means another run removed the file in between.
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        // Never through a link: the file is unlinked at the end.
        const int fd = ::open (raw.toRawUTF8(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return Result::notAvailable;

        for (const auto& name : ordered)
            if (! lockRange (fd, name.first, 1))
            {
                const int error = errno;
                if (error == EAGAIN || error == EACCES)
                {
                    // Named as the caller listed them (outputs before feeds), not in lock order.
                    takenName = name.second;
                    for (const auto& given : names)
                        if (heldByAnother (fd, lockOffsetOf (given)))
                        {
                            takenName = given;
                            break;
                        }
                    ::close (fd);
                    return Result::taken;
                }
                ::close (fd);
                return Result::notAvailable;
            }

        struct stat held {}, atPath {};
        if (::fstat (fd, &held) == 0 && ::stat (raw.toRawUTF8(), &atPath) == 0 && held.st_nlink > 0
            && held.st_ino == atPath.st_ino && held.st_dev == atPath.st_dev)
        {
            claim.reset (new FolderClaim (fd, lockPath));
            return Result::claimed;
        }
        ::close (fd);
    }
    return Result::notAvailable;
}

} // namespace tessaloom
