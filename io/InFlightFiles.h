#pragma once

#include <juce_core/juce_core.h>

// Files and folders that exist only while a run works on them: the hidden
// temporaries of the atomic writes and the private work folders. When a run is
// interrupted they mean nothing, and removeAllFromDisk takes them away, so an
// interrupted batch leaves its output folder as a finished one would.
namespace InFlightFiles
{
void add (const juce::File& fileOrFolder);
void remove (const juce::File& fileOrFolder);

// Deletes every registered file and folder (folders with what they hold) and
// forgets them. Returns how many were there.
int removeAllFromDisk();

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
} // namespace InFlightFiles
