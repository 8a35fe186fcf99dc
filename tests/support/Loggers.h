#pragma once

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

namespace tessaloom
{

// The two loggers the tests and benchmarks install in place of the program's:
// one that keeps every line, one that drops them. Each installs itself as
// JUCE's current logger for its lifetime. Header-only, so the benchmarks use
// them without the test library.
namespace testing_support
{
// Collects every log message while it is installed as JUCE's current logger.
class CapturingLogger : public juce::Logger
{
public:
    CapturingLogger() { juce::Logger::setCurrentLogger (this); }
    ~CapturingLogger() override { juce::Logger::setCurrentLogger (nullptr); }

    juce::StringArray lines() const
    {
        const juce::ScopedLock sl (lock);
        return messages;
    }

    bool contains (const juce::String& line) const { return lines().contains (line); }

    // Lines that start with the prefix.
    juce::StringArray linesStartingWith (const juce::String& prefix) const
    {
        juce::StringArray found;
        for (const auto& line : lines())
            if (line.startsWith (prefix))
                found.add (line);
        return found;
    }

    // The first line that starts with the prefix, or empty.
    std::string firstLineStartingWith (const juce::String& prefix) const
    {
        const auto found = linesStartingWith (prefix);
        return found.isEmpty() ? std::string() : found[0].toStdString();
    }

    juce::String joined() const { return lines().joinIntoString ("\n"); }

    std::vector<std::string> stdLines() const
    {
        std::vector<std::string> out;
        for (const auto& line : lines())
            out.push_back (line.toStdString());
        return out;
    }

    // true when some line holds the text anywhere.
    bool mentions (const juce::String& text) const
    {
        for (const auto& line : lines())
            if (line.contains (text))
                return true;
        return false;
    }

    void clear()
    {
        const juce::ScopedLock sl (lock);
        messages.clear();
    }

protected:
    void logMessage (const juce::String& message) override
    {
        const juce::ScopedLock sl (lock);
        messages.add (message);
    }

private:
    juce::CriticalSection lock;
    juce::StringArray messages;
};

// Drops every log message while it is installed.
class SilentLogger : public juce::Logger
{
public:
    SilentLogger() { juce::Logger::setCurrentLogger (this); }
    ~SilentLogger() override { juce::Logger::setCurrentLogger (nullptr); }

protected:
    void logMessage (const juce::String&) override {}
};
} // namespace testing_support

} // namespace tessaloom
