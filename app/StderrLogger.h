#pragma once

#include <juce_core/juce_core.h>

namespace tessaloom
{

// Writes every log message as one UTF-8 line to standard error. Text and line
// end go out under one lock so lines of concurrent workers never mix.
class StderrLogger : public juce::Logger
{
public:
    StderrLogger() = default;
    ~StderrLogger() override;

protected:
    void logMessage (const juce::String& message) override;
};

} // namespace tessaloom
