#include "app/ReportLineParser.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

namespace tessaloom
{

namespace report_line
{
namespace
{
class Parser
{
public:
    explicit Parser (std::string_view t) : text (t) {}

    Refusal run (juce::var& out)
    {
        skipSpace();
        if (! value (out, 0))
            return refusal;
        skipSpace();
        return at == text.size() ? Refusal::none : Refusal::notJson;
    }

private:
    bool fail (Refusal why = Refusal::notJson)
    {
        if (refusal == Refusal::none || why == Refusal::tooDeep)
            refusal = why;
        return false;
    }

    void skipSpace()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    }

    bool literal (std::string_view word)
    {
        if (text.substr (at, word.size()) != word)
            return false;
        at += word.size();
        return true;
    }

    bool value (juce::var& out, int depth)
    {
        if (at >= text.size())
            return fail();
        switch (text[at])
        {
            case '{': return object (out, depth + 1);
            case '[': return array (out, depth + 1);
            case '"':
            {
                juce::String s;
                if (! string (s))
                    return false;
                out = s;
                return true;
            }
            case 't': if (literal ("true"))  { out = true;  return true; } return fail();
            case 'f': if (literal ("false")) { out = false; return true; } return fail();
            case 'n': if (literal ("null"))  { out = juce::var(); return true; } return fail();
            default:  return number (out);
        }
    }

    bool object (juce::var& out, int depth)
    {
        if (depth > kMaxReportNesting)
            return fail (Refusal::tooDeep);
        ++at; // '{'
        auto* o = new juce::DynamicObject();
        out = juce::var (o);
        skipSpace();
        if (at < text.size() && text[at] == '}')
        {
            ++at;
            return true;
        }
        for (;;)
        {
            skipSpace();
            if (at >= text.size() || text[at] != '"')
                return fail();
            juce::String key;
            if (! string (key))
                return false;
            skipSpace();
            if (at >= text.size() || text[at] != ':')
                return fail();
            ++at;
            skipSpace();
            juce::var v;
            if (! value (v, depth))
                return false;
            if (key.isNotEmpty()) // no property can have an empty name; the report has none
                o->setProperty (juce::Identifier (key), std::move (v));
            skipSpace();
            if (at < text.size() && text[at] == ',')
            {
                ++at;
                continue;
            }
            if (at < text.size() && text[at] == '}')
            {
                ++at;
                return true;
            }
            return fail();
        }
    }

    bool array (juce::var& out, int depth)
    {
        if (depth > kMaxReportNesting)
            return fail (Refusal::tooDeep);
        ++at; // '['
        juce::Array<juce::var> items;
        skipSpace();
        if (at < text.size() && text[at] == ']')
        {
            ++at;
            out = std::move (items);
            return true;
        }
        for (;;)
        {
            skipSpace();
            juce::var v;
            if (! value (v, depth))
                return false;
            items.add (std::move (v));
            skipSpace();
            if (at < text.size() && text[at] == ',')
            {
                ++at;
                continue;
            }
            if (at < text.size() && text[at] == ']')
            {
                ++at;
                out = std::move (items);
                return true;
            }
            return fail();
        }
    }

    static void appendUtf8 (std::string& s, std::uint32_t c)
    {
        if (c < 0x80)
            s += (char) c;
        else if (c < 0x800)
            s += (char) (0xc0 | (c >> 6)), s += (char) (0x80 | (c & 0x3f));
        else if (c < 0x10000)
            s += (char) (0xe0 | (c >> 12)), s += (char) (0x80 | ((c >> 6) & 0x3f)), s += (char) (0x80 | (c & 0x3f));
        else
            s += (char) (0xf0 | (c >> 18)), s += (char) (0x80 | ((c >> 12) & 0x3f)),
                s += (char) (0x80 | ((c >> 6) & 0x3f)), s += (char) (0x80 | (c & 0x3f));
    }

    bool hex4 (std::uint32_t& v)
    {
        if (at + 4 > text.size())
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
        {
            const char c = text[at++];
            v <<= 4;
            if (c >= '0' && c <= '9')      v |= (std::uint32_t) (c - '0');
            else if (c >= 'a' && c <= 'f') v |= (std::uint32_t) (c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= (std::uint32_t) (c - 'A' + 10);
            else return false;
        }
        return true;
    }

    // The length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
    size_t utf8Length() const
    {
        const auto b = [&] (size_t k) { return (unsigned char) text[at + k]; };
        const unsigned char lead = b (0);
        size_t n = 0;
        std::uint32_t c = 0;
        if (lead >= 0xc2 && lead <= 0xdf)      n = 2, c = lead & 0x1fu;
        else if (lead >= 0xe0 && lead <= 0xef) n = 3, c = lead & 0x0fu;
        else if (lead >= 0xf0 && lead <= 0xf4) n = 4, c = lead & 0x07u;
        else return 0;
        if (at + n > text.size())
            return 0;
        for (size_t k = 1; k < n; ++k)
        {
            if ((b (k) & 0xc0u) != 0x80u)
                return 0;
            c = (c << 6) | (b (k) & 0x3fu);
        }
        if ((n == 3 && c < 0x800) || (n == 4 && c < 0x10000) || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff)
            return 0;
        return n;
    }

    // The character of a \u escape (at is past the u), a surrogate pair joined.
    bool unicodeEscape (std::string& s)
    {
        std::uint32_t unit = 0;
        if (! hex4 (unit))
            return fail();
        if (unit >= 0xd800 && unit <= 0xdbff && text.substr (at, 2) == "\\u")
        {
            const auto back = at;
            at += 2;
            std::uint32_t low = 0;
            if (hex4 (low) && low >= 0xdc00 && low <= 0xdfff)
                unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
            else
                at = back;
        }
        // A lone half is no character, but U+DC80..U+DCFF is how a
        // report spells a byte of a file name that is not UTF-8: it
        // stays, so the page can show the byte (io/NativeNames.h).
        const bool nameByte = unit >= 0xdc80 && unit <= 0xdcff;
        appendUtf8 (s, (unit >= 0xd800 && unit <= 0xdfff && ! nameByte) ? 0xfffd : unit);
        return true;
    }

    // An escape in a string (at is on its backslash).
    bool escaped (std::string& s)
    {
        if (++at >= text.size())
            return fail();
        switch (text[at++])
        {
            case '"':  s += '"'; return true;
            case '\\': s += '\\'; return true;
            case '/':  s += '/'; return true;
            case 'b':  s += '\b'; return true;
            case 'f':  s += '\f'; return true;
            case 'n':  s += '\n'; return true;
            case 'r':  s += '\r'; return true;
            case 't':  s += '\t'; return true;
            case 'u':  return unicodeEscape (s);
            default:   return fail();
        }
    }

    bool string (juce::String& out)
    {
        ++at; // '"'
        std::string s;
        for (;;)
        {
            const auto start = at;
            while (at < text.size() && text[at] != '"' && text[at] != '\\' && (unsigned char) text[at] >= 0x20
                   && (unsigned char) text[at] < 0x80)
                ++at;
            s.append (text.data() + start, at - start);
            if (at >= text.size())
                return fail();
            const auto c = (unsigned char) text[at];
            if (c == '"')
            {
                ++at;
                break;
            }
            if (c < 0x20)
                return fail();
            if (c >= 0x80)
            {
                if (const auto n = utf8Length(); n > 0)
                {
                    s.append (text.data() + at, n);
                    at += n;
                }
                else
                {
                    appendUtf8 (s, 0xfffd);
                    ++at;
                }
                continue;
            }
            // A backslash.
            if (! escaped (s))
                return false;
        }
        out = juce::String::fromUTF8 (s.data(), (int) s.size());
        return true;
    }

    bool number (juce::var& out)
    {
        const auto start = at;
        if (at < text.size() && text[at] == '-')
            ++at;
        const auto digitsFrom = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        if (at == digitsFrom)
            return fail();
        bool whole = true;
        if (at < text.size() && text[at] == '.')
        {
            whole = false;
            const auto fraction = ++at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9')
                ++at;
            if (at == fraction)
                return fail();
        }
        if (at < text.size() && (text[at] == 'e' || text[at] == 'E'))
        {
            whole = false;
            ++at;
            if (at < text.size() && (text[at] == '+' || text[at] == '-'))
                ++at;
            const auto exponent = at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9')
                ++at;
            if (at == exponent)
                return fail();
        }
        const std::string digits (text.data() + start, at - start);
        if (whole)
        {
            errno = 0;
            const long long v = std::strtoll (digits.c_str(), nullptr, 10);
            if (errno == 0)
            {
                if (v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max())
                    out = (int) v;
                else
                    out = (juce::int64) v;
                return true;
            }
        }
        out = std::strtod (digits.c_str(), nullptr);
        return true;
    }

    std::string_view text;
    size_t at = 0;
    Refusal refusal = Refusal::none;
};
} // namespace

Refusal parse (std::string_view text, juce::var& parsed)
{
    Parser parser (text);
    juce::var out;
    const auto refusal = parser.run (out);
    if (refusal == Refusal::none)
        parsed = std::move (out);
    return refusal;
}
} // namespace report_line

} // namespace tessaloom
