#include "tools/SubprocessRunner.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace tessaloom
{

// juce::ChildProcess starts its child in the caller's process group, with the
// caller's standard input, and offers no way to change either; what the child
// starts in turn can then be neither found nor stopped. So the child is started
// here, with fork and exec as ChildProcess does (same argument list, no shell,
// a search of the PATH for a bare name, standard output and standard error
// merged into one pipe), plus a process group of its own.

namespace
{
// The child's output is read through buffers of this size.
constexpr int readChunkBytes = 4096;
// The run polls the child this often; the time limit counts these rounds.
constexpr int pollIntervalMs = 50;
// Once the child has ended (by itself or killed at the limit), how long the
// run waits for its pipe to close. Only something the child started can hold
// it open by then, and that is killed with the child's group after this.
constexpr int afterExitGraceMs = 2000;
// Output shorter than this is also written to the log.
constexpr int maxLoggedOutputChars = 2000;
// Of a child's output only this much of its start and of its end is kept: a
// tool that writes without end must not fill the memory, nor the log.
constexpr size_t keptOutputBytes = 64 * 1024;
// The most groups the watchdog keeps; more children at once than any pool runs.
constexpr int watchdogMaxGroups = 4096;

double nowMs()
{
    return juce::Time::getMillisecondCounterHiRes();
}

// The process groups of the children started and not yet reaped (each child
// leads its own group, so the group id is the child's pid). A child is reaped
// only under the lock, after it has left the list: an id on the list is always
// a group of this run's, never a stranger that got the same number again.
struct LiveChildren
{
    std::mutex lock;
    std::set<pid_t> groups;
    bool closed = false;
    // This side of the socket to the watchdog; -1 when there is none.
    int watchdog = -1;
    bool watchdogTried = false;
};

LiveChildren& liveChildren()
{
    // Never destroyed: the interrupt path uses it while the process ends.
    static auto* children = new LiveChildren();
    return *children;
}

#if defined(__linux__)
// The watchdog: a process forked with the first child, which hears of every
// group started ('+' and the id) and reaped ('-' and the id) over a socket.
// When the socket ends, this process has ended: normally there is nothing
// left to kill then; killed outright, the groups it left running go with it.
// Its own process group, so a signal to the run's group does not take it
// before it has done this. Only async-signal-safe calls: it is forked from a
// process with threads.
[[noreturn]] void runWatchdog (int socket)
{
    ::setpgid (0, 0);
    for (int s = 1; s < NSIG; ++s)
    {
        struct sigaction standard {};
        standard.sa_handler = (s == SIGINT || s == SIGHUP || s == SIGTERM || s == SIGPIPE) ? SIG_IGN : SIG_DFL;
        sigemptyset (&standard.sa_mask);
        ::sigaction (s, &standard, nullptr);
    }
    sigset_t none;
    sigemptyset (&none);
    ::sigprocmask (SIG_SETMASK, &none, nullptr);

    // Holds nothing of the run's open: no pipe of a child, no output file, no
    // terminal a caller waits on.
    const int null = ::open ("/dev/null", O_RDWR);
    for (int fd = 0; fd <= STDERR_FILENO; ++fd)
        if (null >= 0 && null != fd)
            ::dup2 (null, fd);
    const int highest = (int) ::sysconf (_SC_OPEN_MAX);
    for (int fd = STDERR_FILENO + 1; fd < (highest > 0 && highest < 65536 ? highest : 65536); ++fd)
        if (fd != socket)
            ::close (fd);

    static pid_t groups[watchdogMaxGroups];
    int count = 0;
    unsigned char message[1 + sizeof (pid_t)];
    size_t filled = 0;
    for (;;)
    {
        const auto n = ::read (socket, message + filled, sizeof (message) - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += (size_t) n;
        if (filled < sizeof (message))
            continue;
        filled = 0;
        pid_t group = 0;
        ::memcpy (&group, message + 1, sizeof (group));
        if (message[0] == '+' && count < watchdogMaxGroups)
            groups[count++] = group;
        else if (message[0] == '-')
            for (int i = 0; i < count; ++i)
                if (groups[i] == group)
                {
                    groups[i] = groups[--count];
                    break;
                }
    }
    for (int i = 0; i < count; ++i)
        ::kill (-groups[i], SIGKILL);
    ::_exit (0);
}

// Under the lock of the live children: starts the watchdog once.
void startWatchdog (LiveChildren& live)
{
    if (live.watchdogTried)
        return;
    live.watchdogTried = true;
    int ends[2] = { -1, -1 };
    if (::socketpair (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    sigset_t all, previous;
    sigfillset (&all);
    ::pthread_sigmask (SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0)
        runWatchdog (ends[1]);
    ::pthread_sigmask (SIG_SETMASK, &previous, nullptr);
    ::close (ends[1]);
    if (pid > 0)
        live.watchdog = ends[0];
    else
        ::close (ends[0]);
}

// Under the lock of the live children: tells the watchdog of a group.
void tellWatchdog (LiveChildren& live, char what, pid_t group)
{
    if (live.watchdog < 0)
        return;
    unsigned char message[1 + sizeof (pid_t)];
    message[0] = (unsigned char) what;
    ::memcpy (message + 1, &group, sizeof (group));
    ssize_t n = -1;
    do
        n = ::send (live.watchdog, message, sizeof (message), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n != (ssize_t) sizeof (message))
    {
        // A watchdog that is gone (or a short write) is given up, not retried.
        ::close (live.watchdog);
        live.watchdog = -1;
    }
}
#else
void startWatchdog (LiveChildren&) {}
void tellWatchdog (LiveChildren&, char, pid_t) {}
#endif

// In the forked child: only async-signal-safe calls from here to exec.
[[noreturn]] void becomeChild (char* const* argv, int input, int output, pid_t parent, const sigset_t& mask)
{
    ::setpgid (0, 0);

#if defined(__linux__)
    // Should the program be killed outright (SIGKILL), without its clean-up,
    // the child still does not run on for nobody.
    ::prctl (PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit (127);
#else
    (void) parent;
#endif

    // The program's own handlers (the interrupt clean-up) must not run in the
    // child before exec; signals were blocked over the fork for this.
    for (int s = 1; s < NSIG; ++s)
    {
        struct sigaction current {};
        if (::sigaction (s, nullptr, &current) == 0 && current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)
        {
            struct sigaction standard {};
            standard.sa_handler = SIG_DFL;
            sigemptyset (&standard.sa_mask);
            ::sigaction (s, &standard, nullptr);
        }
    }
    ::sigprocmask (SIG_SETMASK, &mask, nullptr);

    // Moved above the standard descriptors first, so dup2 never meets itself
    // (which would leave close-on-exec set).
    const int in = input > STDERR_FILENO ? input : ::fcntl (input, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int out = output > STDERR_FILENO ? output : ::fcntl (output, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (in < 0 || out < 0 || ::dup2 (in, STDIN_FILENO) < 0 || ::dup2 (out, STDOUT_FILENO) < 0
        || ::dup2 (out, STDERR_FILENO) < 0)
        ::_exit (127);

    ::execvp (argv[0], argv);
    // What an executable that cannot be loaded has always given.
    ::_exit (255);
}

struct StartedChild
{
    pid_t pid = -1;
    // The read end of the merged output pipe, non-blocking.
    int outputFd = -1;
};

// Starts the child in a process group of its own, standard input /dev/null
// (a tool in a group of its own that touched the terminal would be stopped),
// standard output and error into one pipe. pid -1 when it could not be started.
StartedChild startChild (const juce::StringArray& arguments)
{
    // Everything the child needs is made before the fork.
    std::vector<std::string> strings;
    for (const auto& a : arguments)
        strings.push_back (a.toStdString());
    std::vector<char*> argv;
    for (auto& s : strings)
        argv.push_back (s.data());
    argv.push_back (nullptr);

    // Close-on-exec, so that children started at the same time by other
    // workers never hold each other's pipes open.
    int pipeEnds[2] = { -1, -1 };
    if (::pipe2 (pipeEnds, O_CLOEXEC) != 0)
        return {};
    const int nullInput = ::open ("/dev/null", O_RDONLY | O_CLOEXEC);

    pid_t pid = -1;
    if (nullInput >= 0)
    {
        auto& live = liveChildren();
        const std::lock_guard<std::mutex> hold (live.lock);
        if (! live.closed)
        {
            startWatchdog (live);
            sigset_t all, previous;
            sigfillset (&all);
            ::pthread_sigmask (SIG_SETMASK, &all, &previous);
            const pid_t parent = ::getpid();
            pid = ::fork();
            if (pid == 0)
                becomeChild (argv.data(), nullInput, pipeEnds[1], parent, previous);
            if (pid > 0)
            {
                // Also from this side, so the group exists before anyone signals it.
                ::setpgid (pid, pid);
                live.groups.insert (pid);
                tellWatchdog (live, '+', pid);
            }
            ::pthread_sigmask (SIG_SETMASK, &previous, nullptr);
        }
        ::close (nullInput);
    }
    ::close (pipeEnds[1]);

    if (pid <= 0)
    {
        ::close (pipeEnds[0]);
        return {};
    }
    ::fcntl (pipeEnds[0], F_SETFL, ::fcntl (pipeEnds[0], F_GETFL) | O_NONBLOCK);
    return { pid, pipeEnds[0] };
}

// Whether the child has ended, without reaping it: until it is reaped its pid
// (and so its group id) cannot be given to another process.
bool hasEnded (pid_t pid)
{
    siginfo_t info {};
    if (::waitid (P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno != EINTR;
    return info.si_pid != 0;
}

void waitUntilEnded (pid_t pid, int limitMs)
{
    const double until = nowMs() + limitMs;
    while (! hasEnded (pid) && nowMs() < until)
        juce::Thread::sleep (5);
}

void killGroup (pid_t pid)
{
    ::kill (-pid, SIGKILL);
}

struct Ending
{
    int exitCode = 0;
    int signal = 0;
};

// Takes the child off the list and reaps it. The exit code is reported as it
// always was: the child's own code, and 0 when a signal ended it; the signal
// is reported apart.
Ending reap (pid_t pid)
{
    auto& live = liveChildren();
    const std::lock_guard<std::mutex> hold (live.lock);
    live.groups.erase (pid);
    tellWatchdog (live, '-', pid);
    int status = 0;
    pid_t reaped = -1;
    do
        reaped = ::waitpid (pid, &status, WNOHANG);
    while (reaped < 0 && errno == EINTR);
    if (reaped != pid)
        return {};
    if (WIFEXITED (status))
        return { WEXITSTATUS (status), 0 };
    return { 0, WIFSIGNALED (status) ? WTERMSIG (status) : 0 };
}

// Appends the UTF-8 sequence at text[i] (its length is returned) when it is a
// well-formed one (no overlong form, no surrogate, nothing past U+10FFFF);
// 0 when it is not.
size_t validSequenceAt (const std::string& text, size_t i)
{
    const auto byte = [&] (size_t k) { return (unsigned char) text[k]; };
    const unsigned char lead = byte (i);
    size_t length = 0;
    std::uint32_t point = 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2, point = lead & 0x1fu;
    else if (lead >= 0xe0 && lead <= 0xef)
        length = 3, point = lead & 0x0fu;
    else if (lead >= 0xf0 && lead <= 0xf4)
        length = 4, point = lead & 0x07u;
    else
        return 0;
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
    {
        if ((byte (i + k) & 0xc0u) != 0x80u)
            return 0;
        point = (point << 6) | (byte (i + k) & 0x3fu);
    }
    const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    if (overlong || (point >= 0xd800 && point <= 0xdfff) || point > 0x10ffff)
        return 0;
    return length;
}

// The bytes as text a log can show: newline and tab stay, every other control
// character (C0, DEL, and C1 such as the one-byte CSI) and every byte that is
// not part of well-formed UTF-8 is written as an escape.
juce::String loggable (const std::string& bytes)
{
    std::string text;
    text.reserve (bytes.size());
    char escaped[12];
    for (size_t i = 0; i < bytes.size();)
    {
        const auto c = (unsigned char) bytes[i];
        if (c < 0x80)
        {
            if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7f))
                text += (char) c;
            else
            {
                std::snprintf (escaped, sizeof (escaped), "\\x%02x", c);
                text += escaped;
            }
            ++i;
            continue;
        }
        if (const auto length = validSequenceAt (bytes, i); length > 0)
        {
            if (c == 0xc2 && (unsigned char) bytes[i + 1] < 0xa0)
            {
                std::snprintf (escaped, sizeof (escaped), "\\u%04x", (unsigned char) bytes[i + 1]);
                text += escaped;
            }
            else
                text.append (bytes, i, length);
            i += length;
            continue;
        }
        std::snprintf (escaped, sizeof (escaped), "\\x%02x", c);
        text += escaped;
        ++i;
    }
    return juce::String::fromUTF8 (text.data(), (int) text.size());
}

// The child's merged output, read as it arrives so the child never blocks on a
// full pipe and the run never blocks on a quiet child.
class OutputPipe
{
public:
    explicit OutputPipe (int readEnd) : fd (readEnd) {}
    ~OutputPipe()
    {
        if (fd >= 0)
            ::close (fd);
    }
    OutputPipe (const OutputPipe&) = delete;
    OutputPipe& operator= (const OutputPipe&) = delete;

    // Reads for the whole of waitMs (or just what is there, for 0).
    void readFor (double waitMs)
    {
        const double until = nowMs() + waitMs;
        for (;;)
        {
            readPending();
            const double left = until - nowMs();
            if (left <= 0.0)
                return;
            if (fd < 0)
            {
                juce::Thread::sleep ((int) std::ceil (left));
                return;
            }
            waitForData (left);
        }
    }

    // Reads until the pipe closes, for waitMs at most.
    void readUntilClosed (double waitMs)
    {
        const double until = nowMs() + waitMs;
        for (;;)
        {
            readPending();
            const double left = until - nowMs();
            if (fd < 0 || left <= 0.0)
                return;
            waitForData (left);
        }
    }

    // What was kept, for a log: the start, a line saying how much was left
    // out, and the end.
    juce::String decoded() const
    {
        if (leftOut == 0)
            return loggable (head);
        std::string tail;
        tail.reserve (end.size());
        if (end.size() < keptOutputBytes)
            tail = end;
        else
            tail.append (end, endNext, std::string::npos).append (end, 0, endNext);
        return loggable (head) + "\n[... " + juce::String ((juce::int64) leftOut) + " bytes left out ...]\n"
               + loggable (tail);
    }

private:
    void waitForData (double waitMs)
    {
        pollfd p { fd, POLLIN, 0 };
        ::poll (&p, 1, (int) std::ceil (waitMs));
    }

    // What the pipe holds now; a bounded amount, so that a child writing
    // without pause cannot keep the run from its clock.
    void readPending()
    {
        char chunk[readChunkBytes];
        for (int i = 0; i < 64 && fd >= 0; ++i)
        {
            const auto n = ::read (fd, chunk, sizeof (chunk));
            if (n > 0)
            {
                keep (chunk, (size_t) n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            // The end of the pipe (or an error, after which nothing more comes).
            ::close (fd);
            fd = -1;
        }
    }

    // The first keptOutputBytes in head; after that the last keptOutputBytes
    // in `end`, a ring whose oldest byte is at endNext once it is full.
    void keep (const char* data, size_t n)
    {
        const size_t toHead = std::min (n, keptOutputBytes - head.size());
        head.append (data, toHead);
        for (size_t i = toHead; i < n; ++i)
        {
            if (end.size() < keptOutputBytes)
                end.push_back (data[i]);
            else
            {
                ++leftOut;
                end[endNext] = data[i];
                endNext = (endNext + 1) % keptOutputBytes;
            }
        }
    }

    int fd = -1;
    std::string head, end;
    size_t endNext = 0;
    std::uint64_t leftOut = 0;
};

// A path naming a file that is not there cannot be started. The child is
// forked before the executable is tried, so check what can be seen from here;
// a bare name is left to the search of the PATH.
bool executableCanBeStarted (const juce::String& path)
{
    if (path.isEmpty())
        return false;

    if (! path.containsChar (juce::File::getSeparatorChar()))
        return true;

    return juce::File::getCurrentWorkingDirectory().getChildFile (path).existsAsFile();
}
} // namespace

SubprocessResult SubprocessRunner::run (const juce::StringArray& arguments, int timeoutMs)
{
    SubprocessResult result;

    if (arguments.isEmpty())
    {
        result.outcome = Outcome::failure ("ERROR: Empty command arguments");
        return result;
    }

    juce::Logger::writeToLog ("[SubprocessRunner] Executing: " + arguments.joinIntoString (" "));

    const double startMs = nowMs();
    auto startFailed = [&]
    {
        result.outcome = Outcome::failure ("ERROR: Failed to start process: " + arguments[0]);
        result.elapsedMs = nowMs() - startMs;
        juce::Logger::writeToLog ("[SubprocessRunner] " + result.outcome.message);
        return result;
    };

    if (! executableCanBeStarted (arguments[0]))
        return startFailed();

    const auto child = startChild (arguments);
    if (child.pid <= 0)
        return startFailed();

    OutputPipe pipe (child.outputFd);
    int waitedMs = 0;

    if (! hasEnded (child.pid))
    {
        do
        {
            pipe.readFor (0.0);
            waitedMs += pollIntervalMs;

            if (waitedMs >= timeoutMs)
            {
                result.timedOut = true;
                killGroup (child.pid);
                juce::Logger::writeToLog ("[SubprocessRunner] Process timed out after " + juce::String (timeoutMs)
                                          + "ms");
                break;
            }

            pipe.readFor (pollIntervalMs);
        }
        while (! hasEnded (child.pid));
    }

    if (result.timedOut)
        waitUntilEnded (child.pid, afterExitGraceMs);

    // The child has ended. Its pipe closes with it unless something it started
    // holds it open: that gets a short grace, then goes with the child's group,
    // and the run keeps what arrived.
    pipe.readUntilClosed (afterExitGraceMs);
    killGroup (child.pid);
    pipe.readUntilClosed (afterExitGraceMs);

    const auto ending = reap (child.pid);
    result.exitCode = ending.exitCode;
    result.signal = ending.signal;
    result.output = pipe.decoded();
    result.elapsedMs = nowMs() - startMs;

    // A child that ended on a signal (a crash, a kill) has no exit code; the
    // signal is what it ended with, and a caller must not take its work. (A
    // child killed at the time limit has its line about that already.)
    if (result.signal != 0 && ! result.timedOut)
        juce::Logger::writeToLog ("[SubprocessRunner] Ended by signal " + juce::String (result.signal) + " ("
                                  + signalName (result.signal) + ") | Elapsed: " + juce::String (result.elapsedMs, 1)
                                  + "ms");
    else
        juce::Logger::writeToLog ("[SubprocessRunner] Exit code: " + juce::String (result.exitCode) + " | Elapsed: "
                                  + juce::String (result.elapsedMs, 1) + "ms");

    if (result.output.isNotEmpty() && result.output.length() < maxLoggedOutputChars)
        juce::Logger::writeToLog ("[SubprocessRunner] Output: " + result.output.trim());

    return result;
}

juce::String SubprocessRunner::signalName (int signal)
{
    switch (signal)
    {
        case SIGHUP:  return "SIGHUP";
        case SIGINT:  return "SIGINT";
        case SIGQUIT: return "SIGQUIT";
        case SIGILL:  return "SIGILL";
        case SIGTRAP: return "SIGTRAP";
        case SIGABRT: return "SIGABRT";
        case SIGBUS:  return "SIGBUS";
        case SIGFPE:  return "SIGFPE";
        case SIGKILL: return "SIGKILL";
        case SIGUSR1: return "SIGUSR1";
        case SIGSEGV: return "SIGSEGV";
        case SIGUSR2: return "SIGUSR2";
        case SIGPIPE: return "SIGPIPE";
        case SIGALRM: return "SIGALRM";
        case SIGTERM: return "SIGTERM";
        case SIGXCPU: return "SIGXCPU";
        case SIGXFSZ: return "SIGXFSZ";
        case SIGSYS:  return "SIGSYS";
        default:      return "signal " + juce::String (signal);
    }
}

int SubprocessRunner::stopAllForExit()
{
    static std::atomic<bool> stopped { false };
    if (stopped.exchange (true))
        return 0;

    auto& live = liveChildren();
    // Held until the process ends: no child is started, and none is reaped
    // (so every id on the list stays this run's) from here on.
    live.lock.lock();
    live.closed = true;
    for (const auto group : live.groups)
        killGroup (group);

    // A killed child may still be finishing the call it was in; its work
    // folder is removed only after it has ended.
    const double until = nowMs() + afterExitGraceMs;
    for (const auto group : live.groups)
        while (! hasEnded (group) && nowMs() < until)
            juce::Thread::sleep (5);

    return (int) live.groups.size();
}

} // namespace tessaloom
