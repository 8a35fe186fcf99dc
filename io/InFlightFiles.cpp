#include "io/InFlightFiles.h"

#include <mutex>
#include <set>

namespace
{
std::mutex& registryLock()
{
    static std::mutex lock;
    return lock;
}

std::set<juce::String>& registry()
{
    static std::set<juce::String> paths;
    return paths;
}

bool closed = false; // under registryLock
} // namespace

namespace InFlightFiles
{
void add (const juce::File& fileOrFolder)
{
    const std::lock_guard<std::mutex> hold (registryLock());
    registry().insert (fileOrFolder.getFullPathName());
}

void remove (const juce::File& fileOrFolder)
{
    const std::lock_guard<std::mutex> hold (registryLock());
    registry().erase (fileOrFolder.getFullPathName());
}

int removeAllFromDisk()
{
    const std::lock_guard<std::mutex> hold (registryLock());
    int removed = 0;
    for (const auto& path : registry())
    {
        const juce::File f (path);
        if (f.isDirectory())
            removed += f.deleteRecursively() ? 1 : 0;
        else if (f.existsAsFile())
            removed += f.deleteFile() ? 1 : 0;
    }
    // Kept, not forgotten: the workers are still running until the process ends.
    closed = true;
    return removed;
}

bool createDirectory (const juce::File& folder)
{
    const std::lock_guard<std::mutex> hold (registryLock());
    return ! closed && folder.createDirectory().wasOk();
}

std::unique_ptr<juce::FileOutputStream> createFile (const juce::File& file, size_t bufferSize)
{
    const std::lock_guard<std::mutex> hold (registryLock());
    if (closed)
        return nullptr;
    auto stream = std::make_unique<juce::FileOutputStream> (file, bufferSize);
    if (stream->failedToOpen() || ! stream->setPosition (0) || ! stream->truncate().wasOk())
        return nullptr;
    return stream;
}
} // namespace InFlightFiles
