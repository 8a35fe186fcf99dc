/* Preloaded into the engine by tests to make the file system misbehave for
 * chosen files only, the way a full disk, a descriptor limit or a file cut
 * while it is read would, without racing anything:
 *
 *   IO_FAULT_CUT_PATH=<text>  IO_FAULT_CUT_AT=<bytes>
 *       reads of a file whose path contains <text> end at byte <bytes>, while
 *       its size still says more (a file truncated under the reader);
 *   IO_FAULT_NOSPACE_PATH=<text>
 *       writes to such a file fail with ENOSPC (a full disk);
 *   IO_FAULT_NOOPEN_PATH=<text>
 *       creating or opening such a file for writing fails with EMFILE;
 *   IO_FAULT_REWRITE_NOSPACE_PATH=<text>  IO_FAULT_REWRITE_NOSPACE_FROM=<bytes>
 *       positioned writes (pwrite) into such a file that reach past byte <bytes>
 *       fail with ENOSPC: writing over a file in place on a full disk, as a
 *       file system that copies on write refuses it.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int pathOfFdContains (int fd, const char* text)
{
    char link[64], target[4096];
    if (text == NULL || *text == 0)
        return 0;
    snprintf (link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink (link, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = 0;
    return strstr (target, text) != NULL;
}

ssize_t read (int fd, void* buffer, size_t count)
{
    static ssize_t (*real) (int, void*, size_t) = NULL;
    if (real == NULL)
        real = (ssize_t (*) (int, void*, size_t)) dlsym (RTLD_NEXT, "read");

    const char* cutPath = getenv ("IO_FAULT_CUT_PATH");
    if (cutPath != NULL && pathOfFdContains (fd, cutPath))
    {
        const long long cutAt = atoll (getenv ("IO_FAULT_CUT_AT") ? getenv ("IO_FAULT_CUT_AT") : "0");
        const off_t position = lseek (fd, 0, SEEK_CUR);
        if (position >= 0)
        {
            if (position >= cutAt)
                return 0;
            if ((long long) (position + (off_t) count) > cutAt)
                count = (size_t) (cutAt - position);
        }
    }
    return real (fd, buffer, count);
}

ssize_t write (int fd, const void* buffer, size_t count)
{
    static ssize_t (*real) (int, const void*, size_t) = NULL;
    if (real == NULL)
        real = (ssize_t (*) (int, const void*, size_t)) dlsym (RTLD_NEXT, "write");

    if (fd > 2 && pathOfFdContains (fd, getenv ("IO_FAULT_NOSPACE_PATH")))
    {
        errno = ENOSPC;
        return -1;
    }
    return real (fd, buffer, count);
}

static int refusesRewrite (int fd, size_t count, off_t offset)
{
    const char* from = getenv ("IO_FAULT_REWRITE_NOSPACE_FROM");
    return fd > 2 && from != NULL && pathOfFdContains (fd, getenv ("IO_FAULT_REWRITE_NOSPACE_PATH"))
           && (long long) offset + (long long) count > atoll (from);
}

typedef ssize_t (*PwriteFunction) (int, const void*, size_t, off_t);

// pwrite and pwrite64 alike: each keeps its own real function.
static ssize_t faultyPwrite (PwriteFunction* real, const char* name, int fd, const void* buffer, size_t count, off_t offset)
{
    if (*real == NULL)
        *real = (PwriteFunction) dlsym (RTLD_NEXT, name);
    if (refusesRewrite (fd, count, offset))
    {
        errno = ENOSPC;
        return -1;
    }
    return (*real) (fd, buffer, count, offset);
}

ssize_t pwrite (int fd, const void* buffer, size_t count, off_t offset)
{
    static PwriteFunction real = NULL;
    return faultyPwrite (&real, "pwrite", fd, buffer, count, offset);
}

ssize_t pwrite64 (int fd, const void* buffer, size_t count, off_t offset)
{
    static PwriteFunction real = NULL;
    return faultyPwrite (&real, "pwrite64", fd, buffer, count, offset);
}

static int refusesOpen (const char* path, int flags)
{
    const char* text = getenv ("IO_FAULT_NOOPEN_PATH");
    return text != NULL && *text != 0 && path != NULL && strstr (path, text) != NULL
           && (flags & (O_WRONLY | O_RDWR | O_CREAT)) != 0;
}

typedef int (*OpenFunction) (const char*, int, ...);

static int openUnlessRefused (OpenFunction real, const char* path, int flags, va_list args)
{
    const mode_t mode = (flags & O_CREAT) ? (mode_t) va_arg (args, int) : 0;
    if (refusesOpen (path, flags))
    {
        errno = EMFILE;
        return -1;
    }
    return real (path, flags, mode);
}

int open (const char* path, int flags, ...)
{
    static OpenFunction real = NULL;
    if (real == NULL)
        real = (OpenFunction) dlsym (RTLD_NEXT, "open");
    va_list args;
    va_start (args, flags);
    const int fd = openUnlessRefused (real, path, flags, args);
    va_end (args);
    return fd;
}

int open64 (const char* path, int flags, ...)
{
    static OpenFunction real = NULL;
    if (real == NULL)
        real = (OpenFunction) dlsym (RTLD_NEXT, "open64");
    va_list args;
    va_start (args, flags);
    const int fd = openUnlessRefused (real, path, flags, args);
    va_end (args);
    return fd;
}
