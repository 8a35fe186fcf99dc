#include "io/InFlightFiles.h"

#include "io/NativeNames.h"
#include "io/PathKind.h"

#include <cstdio>

#include <mutex>
#include <set>

namespace tessaloom
{

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

namespace in_flight_files
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
        else if (native_names::hasEscapedBytes (path)) // an output whose name is not UTF-8
            removed += pathKindAt (f) == PathKind::file && native_names::removeFile (f) ? 1 : 0;
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

bool renameIntoPlace (const juce::File& source, const juce::File& target, Target after)
{
    const std::lock_guard<std::mutex> hold (registryLock());
    if (closed)
        return false;
    if (const auto kind = pathKindAt (target); kind != PathKind::nothing && kind != PathKind::file)
        return false;
    if (std::rename (native_names::toNativeBytes (source.getFullPathName()).c_str(),
                     native_names::toNativeBytes (target.getFullPathName()).c_str()) != 0)
        return false;
    if (after == Target::staysInFlight)
        registry().insert (target.getFullPathName());
    return true;
}
} // namespace in_flight_files

} // namespace tessaloom
