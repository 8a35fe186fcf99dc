#include "app/StderrLogger.h"

#include "io/NativeNames.h"

#include <iostream>
#include <mutex>

namespace tessaloom
{

namespace
{
std::mutex& stderrMutex()
{
    static std::mutex m;
    return m;
}
} // namespace

StderrLogger::~StderrLogger()
{
    if (juce::Logger::getCurrentLogger() == this)
        juce::Logger::setCurrentLogger (nullptr);
}

void StderrLogger::logMessage (const juce::String& message)
{
    const std::lock_guard<std::mutex> lock (stderrMutex());
    // A file name that is not UTF-8 shows its bytes as U+FFFD: the log stays valid text.
    std::cerr << native_names::shownText (message).toStdString() << std::endl;
}

} // namespace tessaloom
