#pragma once

#include <juce_core/juce_core.h>

#include <memory>

namespace tessaloom
{

// Files and folders that exist only while a run works on them: the hidden
// temporaries of the atomic writes and the private work folders. When a run is
// interrupted they mean nothing, and removeAllFromDisk takes them away, so an
// interrupted batch leaves its output folder as a finished one would.
namespace in_flight_files
{
void add (const juce::File& fileOrFolder);
void remove (const juce::File& fileOrFolder);

// Deletes every registered file and folder (folders with what they hold) and
// closes the registry: from then on nothing is created through createDirectory
// or createFile, so a worker still running cannot bring back what was removed.
// Returns how many were there.
int removeAllFromDisk();

// Creates a folder (and its parents), unless the run is being stopped.
bool createDirectory (const juce::File& folder);

// Creates (or empties) a file and opens it for writing, unless the run is being
// stopped; nullptr then, or when it cannot be opened.
std::unique_ptr<juce::FileOutputStream> createFile (const juce::File& file, size_t bufferSize);

// What a finished file is once renamed into place.
enum class Target
{
    settled,      ///< a product of the run from the rename on
    staysInFlight ///< in flight until its owner removes it: an output whose report line is still to be written
};

// Renames a finished file over its target in one step, unless the run is being
// stopped or the target is anything but a regular file or nothing (the rename
// would replace a device, a pipe, a folder or a link). With staysInFlight the
// target is registered in the same step, so a stop right after the rename takes
// it away with the rest; a stop never falls between the two. false, and nothing
// touched, when the rename was not done.
bool renameIntoPlace (const juce::File& source, const juce::File& target, Target after);

// Registers a path for the lifetime of the object; the path may come into
// being later, or never.
class Scope
{
public:
    explicit Scope (juce::File f) : file (std::move (f)) { add (file); }
    ~Scope() { remove (file); }
    Scope (const Scope&) = delete;
    Scope& operator= (const Scope&) = delete;

private:
    juce::File file;
};
} // namespace in_flight_files

} // namespace tessaloom
