#pragma once

#include <juce_core/juce_core.h>

namespace tessaloom
{

// What lies at a path, looked at without following a link there. The run
// writes its files under a temporary name and renames them into place, which
// would replace whatever is at the target: a device node, a named pipe or a
// symbolic link would be swapped for a regular file. Targets are looked at
// with this before anything runs, and once more at the rename.
enum class PathKind
{
    nothing,   ///< no entry at the path
    file,      ///< a regular file
    folder,
    link,      ///< a symbolic link (to anything, or to nothing)
    device,    ///< a character device (/dev/null, a terminal)
    blockDevice,
    pipe,      ///< a named pipe
    socket,
    unknown
};

// The entry at the path itself (lstat).
PathKind pathKindAt (const juce::File& path);

// The entry a path leads to, links followed (stat); nothing for a link to nothing.
PathKind pathKindBehind (const juce::File& path);

// "a folder", "a symbolic link", "a device", ... for messages.
juce::String describePathKind (PathKind kind);

} // namespace tessaloom
