#include "tools/SubprocessRunner.h"

#include <algorithm>
#include <memory>

namespace
{
// The child's output is drained through buffers of this size.
constexpr int readChunkBytes = 4096;
// The run polls the child this often; the time limit counts these rounds.
constexpr int pollIntervalMs = 50;
// After a kill (or an exit), how long the run waits for the child to be reaped
// and for its pipe to close before it gives up on the rest of the output.
constexpr int afterKillGraceMs = 2000;
// Output shorter than this is also written to the log.
constexpr int maxLoggedOutputChars = 2000;

// What the run and its reader thread share. The reader may outlive the run
// (a grandchild of the child can keep the pipe open after the child is gone),
// so it holds its own reference and the last owner frees the process.
struct ChildChannel
{
    juce::ChildProcess process;

    // Set by the run once `process` has started (or failed to); the reader
    // touches the process only after this.
    juce::WaitableEvent startDecided { true };
    bool started = false;

    juce::CriticalSection lock;
    juce::MemoryOutputStream bytes;

    // Signalled when the reader has seen the end of the pipe.
    juce::WaitableEvent readerDone { true };

    void append (const char* data, int size)
    {
        const juce::ScopedLock sl (lock);
        bytes.write (data, (size_t) size);
    }

    juce::String decodedOutput()
    {
        const juce::ScopedLock sl (lock);
        if (bytes.getDataSize() == 0)
            return {};
        return juce::String::fromUTF8 (static_cast<const char*> (bytes.getData()), (int) bytes.getDataSize());
    }
};

// Reads the child's merged output until the pipe ends. A read blocks until a
// whole chunk has arrived or the pipe closes, which is why it runs here and
// not on the polling thread: the time limit must hold for a child that stays
// alive without writing.
void drainChild (const std::shared_ptr<ChildChannel>& channel)
{
    channel->startDecided.wait();

    if (channel->started)
    {
        char chunk[readChunkBytes];
        for (;;)
        {
            const int numRead = channel->process.readProcessOutput (chunk, readChunkBytes);
            if (numRead <= 0)
                break;
            channel->append (chunk, numRead);
        }
    }

    channel->readerDone.signal();
}

// A path naming a file that is not there cannot be started. JUCE forks before
// it tries the executable and reports such a start as a success, so check the
// cases that can be seen from here. A bare name is left to the search path.
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
        result.errorMessage = "ERROR: Empty command arguments";
        return result;
    }

    juce::Logger::writeToLog ("[SubprocessRunner] Executing: " + arguments.joinIntoString (" "));

    const double startMs = juce::Time::getMillisecondCounterHiRes();
    auto startFailed = [&]
    {
        result.errorMessage = "ERROR: Failed to start process: " + arguments[0];
        result.elapsedMs = juce::Time::getMillisecondCounterHiRes() - startMs;
        juce::Logger::writeToLog ("[SubprocessRunner] " + result.errorMessage);
        return result;
    };

    if (! executableCanBeStarted (arguments[0]))
        return startFailed();

    // The reader is in place before the child exists, so a child is never
    // left running without anybody draining its pipe.
    auto channel = std::make_shared<ChildChannel>();
    if (! juce::Thread::launch ([channel] { drainChild (channel); }))
        return startFailed();

    channel->started = channel->process.start (arguments, juce::ChildProcess::wantStdOut
                                                               | juce::ChildProcess::wantStdErr);
    channel->startDecided.signal();

    if (! channel->started)
        return startFailed();

    auto& process = channel->process;
    int waitedMs = 0;

    if (process.isRunning())
    {
        do
        {
            waitedMs += pollIntervalMs;

            if (waitedMs >= timeoutMs)
            {
                result.timedOut = true;
                process.kill();
                juce::Logger::writeToLog ("[SubprocessRunner] Process timed out after " + juce::String (timeoutMs)
                                          + "ms");
                break;
            }

            juce::Thread::sleep (pollIntervalMs);
        }
        while (process.isRunning());
    }

    if (result.timedOut)
    {
        // Reap the killed child, then take whatever its pipe still held.
        process.waitForProcessToFinish (afterKillGraceMs);
        channel->readerDone.wait (afterKillGraceMs);
    }
    else
    {
        // The child has ended; its pipe closes with it unless something it
        // started still holds it open. Wait for the rest of the limit at most
        // (or the short grace, when that is longer), then keep what arrived.
        channel->readerDone.wait (std::max (afterKillGraceMs, timeoutMs - waitedMs));
    }

    result.exitCode = (int) process.getExitCode();
    result.output = channel->decodedOutput();
    result.elapsedMs = juce::Time::getMillisecondCounterHiRes() - startMs;

    juce::Logger::writeToLog ("[SubprocessRunner] Exit code: " + juce::String (result.exitCode) + " | Elapsed: "
                              + juce::String (result.elapsedMs, 1) + "ms");

    if (result.output.isNotEmpty() && result.output.length() < maxLoggedOutputChars)
        juce::Logger::writeToLog ("[SubprocessRunner] Output: " + result.output.trim());

    return result;
}
