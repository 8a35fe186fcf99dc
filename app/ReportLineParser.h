#pragma once

#include <juce_core/juce_core.h>

#include <string_view>

namespace tessaloom
{

// One line of a JSON Lines report read into a juce::var, as JUCE's own JSON
// reader would give it (objects, arrays, strings, true/false/null; a number
// with neither fraction nor exponent is an int, or an int64 when it does not
// fit, any other a double), but bounded: a line nested deeper than
// kMaxReportNesting is refused rather than read by recursion without end, and
// the work is linear in the line's length. A \u escape pair for a character
// outside the Basic Multilingual Plane gives that one character; a lone half,
// or bytes that are not UTF-8, give U+FFFD.
namespace report_line
{
// The report's own lines nest five deep; this leaves room for what a later
// version adds, and none for a stack overflow.
constexpr int kMaxReportNesting = 64;

enum class Refusal
{
    none,
    notJson,
    tooDeep
};

// Parses the whole of `text` (surrounding white space allowed) into `parsed`.
Refusal parse (std::string_view text, juce::var& parsed);
} // namespace report_line

} // namespace tessaloom
