#pragma once

#include <juce_core/juce_core.h>

#include <memory>

namespace tessaloom
{

// The names a run writes in its output folder, held for the run's lifetime so
// that a second run writing any of the same names into the folder at the same
// time is refused: else each would replace the other's outputs and each report
// would describe files it no longer wrote. Runs writing other names into one
// folder (a scale-out's jobs, each with its own inputs) go on side by side.
//
// The hold is a byte-range lock per name (open file description locks, which
// the kernel drops when the process ends however it ends) in one empty file in
// the folder, kFileName. The run that ends last removes it; a run killed
// outright (SIGKILL) leaves it behind, empty and harmless.
class FolderClaim
{
public:
    static constexpr const char* kFileName = ".tessaloom-engine.lock";

    enum class Result
    {
        claimed,       ///< every name is ours until the object goes
        taken,         ///< another running process holds one of the names
        notAvailable   ///< the folder cannot hold the lock (no locks on its file system): nothing held
    };

    // Claims the names (compared without regard to case) in an existing folder.
    // On taken, takenName is the first name another run holds.
    static Result take (const juce::File& folder, const juce::StringArray& names,
                        std::unique_ptr<FolderClaim>& claim, juce::String& takenName);

    // Lets the names go, and removes the lock file when no other run holds a name in it.
    ~FolderClaim();

    // For a process about to end by a signal: removes the lock file of the
    // claim alive now as its destructor would. Async-signal-unsafe; called
    // from the clean-up thread.
    static void releaseForExit();

    FolderClaim (const FolderClaim&) = delete;
    FolderClaim& operator= (const FolderClaim&) = delete;

private:
    FolderClaim (int descriptor, juce::File lockPath);
    void release();

    int fd = -1;
    juce::File path;
};

} // namespace tessaloom
