#pragma once

#include <juce_core/juce_core.h>

#include <string>

namespace tessaloom
{

// File names are bytes; JUCE's File works on UTF-8 Strings. A name that is not
// valid UTF-8 (a Latin-1 "lat1\xe9t\xe9.wav" from an old system or a camera) is
// carried through the program losslessly by the convention Python calls
// surrogateescape: each byte that is not part of a valid UTF-8 sequence becomes
// the character U+DC80..U+DCFF (0x80..0xff), which no valid name holds. Such a
// String is not the file's path to JUCE, so the few places that touch a file
// by its given name (opening an input, renaming an output into place,
// removing it, looking at what is there) go through toNativeBytes; every name
// the program makes from it (temporaries, work folders) is made with
// shownText, which is valid UTF-8.
namespace native_names
{
// The String for a name or path as the system gives it (argv, readdir). A valid
// UTF-8 text becomes what juce::String::fromUTF8 makes of it.
juce::String fromNativeBytes (const char* bytes);

// Whether the bytes are valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool isValidUtf8 (const char* bytes);

// The bytes the system knows the path by.
std::string toNativeBytes (const juce::String& text);

// Whether the text holds an escaped byte (a name that is not UTF-8).
bool hasEscapedBytes (const juce::String& text);

// Escaped bytes as U+FFFD, for logs and for names made from the name.
juce::String shownText (const juce::String& text);

// Escaped bytes written \xE9, for a page that names the file so it can be found again.
juce::String withBytesSpelledOut (const juce::String& text);

// Removes a file by the name the system knows it as.
bool removeFile (const juce::File& file);

// The escaped byte a character stands for, or -1.
inline int escapedByte (juce::juce_wchar c)
{
    return c >= 0xdc80 && c <= 0xdcff ? (int) (c - 0xdc00) : -1;
}
} // namespace native_names

} // namespace tessaloom
