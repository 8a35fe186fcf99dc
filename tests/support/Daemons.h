#pragma once

// Real daemons for the scale-out tests (an sshd, a one-node Slurm cluster),
// started and stopped through the scripts beside this file. Each lives in a
// folder of its own, listens on 127.0.0.1 only, and is stopped by the object's
// destructor when a test ends early; a watcher started with it stops it when
// the test process itself dies (crash, time-out kill), so nothing outlives a
// test.
// The test that includes this defines TESSALOOM_SOURCE_DIR (the source folder).
#include "TestSupport.h"

#include <unistd.h>

#include <string>

namespace tessaloom
{

namespace testing_support
{
class TestDaemon
{
public:
    // script: tests/support/<script>; folder: must not exist yet.
    TestDaemon (const std::string& script, const juce::File& folderToUse)
        : scriptPath (juce::File (TESSALOOM_SOURCE_DIR).getChildFile ("tests/support/" + script).getFullPathName().toStdString()),
          folder (folderToUse)
    {
        const auto run = runProcess ("/bin/bash", { scriptPath, "start", dir(), std::to_string (getpid()) });
        started = run.exitCode == 0;
        startLog = run.err;
    }

    ~TestDaemon()
    {
        if (running)
            stop();
    }

    TestDaemon (const TestDaemon&) = delete;
    TestDaemon& operator= (const TestDaemon&) = delete;

    bool ok() const { return started; }
    // Why it did not start (the script's own words and the daemons' logs).
    const std::string& whyNot() const { return startLog; }
    std::string dir() const { return folder.getFullPathName().toStdString(); }
    juce::File file (const juce::String& name) const { return folder.getChildFile (name); }

    // Stops everything it started and waits for it; returns what the stop
    // script said (empty when all went quietly).
    std::string stop()
    {
        running = false;
        const auto run = runProcess ("/bin/bash", { scriptPath, "stop", dir() });
        return run.err;
    }

    // Processes and listening ports of this daemon still there; empty when
    // none.
    std::string leftovers() const
    {
        const auto run = runProcess ("/bin/bash", { scriptPath, "leftovers", dir() });
        return run.out + run.err;
    }

private:
    std::string scriptPath;
    juce::File folder;
    bool started = false;
    bool running = true; // a start that failed half-way is stopped too
    std::string startLog;
};
} // namespace testing_support

} // namespace tessaloom
