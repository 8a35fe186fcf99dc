#pragma once

// Helpers for tests of the outside-tool runs: stand-in executables written as
// shell scripts, and a logger that keeps what the code under test wrote.

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

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

    juce::String joined() const { return lines().joinIntoString ("\n"); }

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

// Writes an executable /bin/sh script and returns its file.
inline juce::File writeScript (const juce::File& file, const juce::String& body)
{
    file.getParentDirectory().createDirectory();
    EXPECT_TRUE (file.replaceWithText ("#!/bin/sh\n" + body + "\n", false, false, "\n"));
    EXPECT_TRUE (file.setExecutePermission (true));
    return file;
}

// Shell single-quoting for paths baked into scripts.
inline juce::String shellQuote (const juce::String& text)
{
    return "'" + text.replace ("'", "'\\''") + "'";
}
} // namespace testing_support
