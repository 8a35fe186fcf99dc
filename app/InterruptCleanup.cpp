#include "app/InterruptCleanup.h"

#include "app/ReportWriter.h"
#include "io/FolderClaim.h"
#include "io/InFlightFiles.h"
#include "tools/SubprocessRunner.h"

#include <juce_core/juce_core.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace tessaloom
{

namespace
{
int wakePipe[2] = { -1, -1 };

// Only an async-signal-safe write here; the cleaning is done by a thread.
extern "C" void onInterrupt (int signalNumber)
{
    const auto byte = (unsigned char) signalNumber;
    const auto savedErrno = errno;
    [[maybe_unused]] const auto written = ::write (wakePipe[1], &byte, 1);
    errno = savedErrno;
}

void cleanWhenWoken()
{
    unsigned char signalNumber = 0;
    for (;;)
    {
        const auto got = ::read (wakePipe[0], &signalNumber, 1);
        if (got == 1)
            break;
        if (got < 0 && errno == EINTR)
            continue;
        return;
    }

    // The tools the run started go first, with whatever they started: they
    // would outlive the run, and would write into the folders about to be removed.
    SubprocessRunner::stopAllForExit();

    // The report ends with a whole line: one being written is finished, no other
    // begun. Held before the files go, so that a file whose intermediates are
    // removed under it is never reported as failed: it was stopped, not failed.
    ReportWriter::holdForExit();

    const int removed = in_flight_files::removeAllFromDisk();
    juce::Logger::writeToLog ("[System] Interrupted: removed " + juce::String (removed)
                              + " unfinished file(s) and work folder(s).");
    FolderClaim::releaseForExit();

    std::signal (signalNumber, SIG_DFL);
    ::kill (::getpid(), signalNumber);
}
} // namespace

void removeUnfinishedFilesOnInterrupt()
{
    if (wakePipe[0] >= 0 || ::pipe (wakePipe) != 0)
        return;
    // Neither end belongs in the tools the run starts.
    ::fcntl (wakePipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl (wakePipe[1], F_SETFD, FD_CLOEXEC);

    std::thread (cleanWhenWoken).detach();

    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset (&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : { SIGINT, SIGTERM, SIGHUP })
    {
        struct sigaction previous {};
        if (::sigaction (signalNumber, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            ::sigaction (signalNumber, &action, nullptr);
    }
}

} // namespace tessaloom
