#include "app/StderrLogger.h"

#include <iostream>
#include <mutex>

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
    std::cerr << message.toStdString() << std::endl;
}
