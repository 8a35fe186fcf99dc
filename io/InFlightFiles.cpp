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
    registry().clear();
    return removed;
}
} // namespace InFlightFiles
