#include "io/NativeNames.h"

#include <unistd.h>

namespace tessaloom
{

namespace native_names
{
namespace
{
// The length of the valid UTF-8 sequence at p (1 to 4), or 0: overlong forms,
// surrogates and code points past U+10FFFF are not valid.
int validSequenceAt (const unsigned char* p)
{
    const auto b = p[0];
    if (b < 0x80)
        return 1;
    const auto cont = [&] (int i) { return (p[i] & 0xc0) == 0x80; };
    if (b >= 0xc2 && b <= 0xdf)
        return cont (1) ? 2 : 0;
    if (b >= 0xe0 && b <= 0xef)
    {
        if (! cont (1) || ! cont (2))
            return 0;
        if (b == 0xe0 && p[1] < 0xa0) return 0; // overlong
        if (b == 0xed && p[1] >= 0xa0) return 0; // surrogate
        return 3;
    }
    if (b >= 0xf0 && b <= 0xf4)
    {
        if (! cont (1) || ! cont (2) || ! cont (3))
            return 0;
        if (b == 0xf0 && p[1] < 0x90) return 0;
        if (b == 0xf4 && p[1] >= 0x90) return 0;
        return 4;
    }
    return 0;
}

template <typename Each>
juce::String mapEscaped (const juce::String& text, Each&& replacement)
{
    if (! hasEscapedBytes (text))
        return text;
    juce::String out;
    for (auto p = text.getCharPointer(); ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (const int byte = escapedByte (c); byte >= 0)
            out << replacement (byte);
        else
            out += juce::String::charToString (c);
    }
    return out;
}
} // namespace

bool isValidUtf8 (const char* bytes)
{
    for (auto* q = reinterpret_cast<const unsigned char*> (bytes); *q != 0;)
    {
        const int n = validSequenceAt (q);
        if (n == 0)
            return false;
        q += n;
    }
    return true;
}

juce::String fromNativeBytes (const char* bytes)
{
    if (isValidUtf8 (bytes))
        return juce::String::fromUTF8 (bytes);
    const auto* p = reinterpret_cast<const unsigned char*> (bytes);

    juce::String out;
    while (*p != 0)
    {
        if (const int n = validSequenceAt (p); n > 0)
        {
            out += juce::String::fromUTF8 (reinterpret_cast<const char*> (p), n);
            p += n;
        }
        else
        {
            out += juce::String::charToString ((juce::juce_wchar) (0xdc00 + *p));
            ++p;
        }
    }
    return out;
}

std::string toNativeBytes (const juce::String& text)
{
    if (! hasEscapedBytes (text))
        return text.toStdString();
    std::string out;
    for (auto p = text.getCharPointer(); ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (const int byte = escapedByte (c); byte >= 0)
            out += (char) byte;
        else
        {
            char utf8[8] = {};
            juce::CharPointer_UTF8 (utf8).write (c);
            out += utf8;
        }
    }
    return out;
}

bool hasEscapedBytes (const juce::String& text)
{
    // An escaped byte is held as the 3-byte form of U+DC80..U+DCFF: ED B2 xx or ED B3 xx.
    for (auto* p = reinterpret_cast<const unsigned char*> (text.toRawUTF8()); *p != 0; ++p)
        if (p[0] == 0xed && (p[1] == 0xb2 || p[1] == 0xb3))
            return true;
    return false;
}

bool removeFile (const juce::File& file)
{
    return ::unlink (toNativeBytes (file.getFullPathName()).c_str()) == 0;
}

juce::String shownText (const juce::String& text)
{
    return mapEscaped (text, [] (int) { return juce::String::charToString ((juce::juce_wchar) 0xfffd); });
}

juce::String withBytesSpelledOut (const juce::String& text)
{
    return mapEscaped (text, [] (int byte) { return "\\x" + juce::String::toHexString (byte).toUpperCase(); });
}
} // namespace native_names

} // namespace tessaloom
