#pragma once

#include <juce_core/juce_core.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tessaloom
{

namespace progress
{
// A length of time as the progress line shows it: m:ss, or h:mm:ss from an hour on.
juce::String clock (double seconds);

// On a terminal, one line at the bottom that says how far the batch is: the
// log scrolls above it (each message clears it, is written, and the line is
// drawn again), and a ticker keeps its clock going while a file is silent.
// While it lives it is the current logger; it hands the log back when it goes.
class ProgressLine final : public juce::Logger
{
public:
    explicit ProgressLine (int numFiles);
    ~ProgressLine() override;

    void fileFinished (bool ok);

protected:
    void logMessage (const juce::String& message) override;

private:
    void draw(); // called with the lock held

    const int total;
    const double startMs;
    juce::Logger* const previous;
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    int done = 0, failed = 0;
    std::thread ticker;
};

// The line for a batch of numFiles, made only when standard error is a
// terminal; otherwise none, and nothing changes.
std::unique_ptr<ProgressLine> onTerminal (int numFiles);
} // namespace progress

} // namespace tessaloom
