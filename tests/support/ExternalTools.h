#pragma once

// Helpers for tests of the outside-tool runs: stand-in executables written as
// shell scripts.

#include "support/TestSupport.h"

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

namespace tessaloom
{

namespace testing_support
{
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

} // namespace tessaloom
