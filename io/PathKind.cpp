#include "io/PathKind.h"

#include "io/NativeNames.h"

#include <sys/stat.h>

namespace tessaloom
{

namespace
{
PathKind kindOf (mode_t mode)
{
    if (S_ISREG (mode))  return PathKind::file;
    if (S_ISDIR (mode))  return PathKind::folder;
    if (S_ISLNK (mode))  return PathKind::link;
    if (S_ISCHR (mode))  return PathKind::device;
    if (S_ISBLK (mode))  return PathKind::blockDevice;
    if (S_ISFIFO (mode)) return PathKind::pipe;
    if (S_ISSOCK (mode)) return PathKind::socket;
    return PathKind::unknown;
}
} // namespace

PathKind pathKindAt (const juce::File& path)
{
    struct stat info {};
    if (::lstat (native_names::toNativeBytes (path.getFullPathName()).c_str(), &info) != 0)
        return PathKind::nothing;
    return kindOf (info.st_mode);
}

PathKind pathKindBehind (const juce::File& path)
{
    struct stat info {};
    if (::stat (native_names::toNativeBytes (path.getFullPathName()).c_str(), &info) != 0)
        return PathKind::nothing;
    return kindOf (info.st_mode);
}

juce::String describePathKind (PathKind kind)
{
    switch (kind)
    {
        case PathKind::nothing:     return "nothing";
        case PathKind::file:        return "a file";
        case PathKind::folder:      return "a folder";
        case PathKind::link:        return "a symbolic link";
        case PathKind::device:      return "a device";
        case PathKind::blockDevice: return "a block device";
        case PathKind::pipe:        return "a named pipe";
        case PathKind::socket:      return "a socket";
        case PathKind::unknown:     break;
    }
    return "not a regular file";
}

} // namespace tessaloom
