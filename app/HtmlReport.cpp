#include "app/HtmlReport.h"

#include "app/ReportLineParser.h"
#include "io/AudioFileIO.h"
#include "io/CodecFiles.h"
#include "io/NativeNames.h"
#include "io/PathKind.h"
#include "io/InFlightFiles.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

namespace
{
// A report line longer than this is refused (its number named) rather than
// read: the engine's own lines are a few kilobytes, curves included.
constexpr size_t kMaxReportLineBytes = (size_t) 4 << 20;

// Off the target by more than this, a file is marked as having missed it.
constexpr double kMissedTargetLu = 1.0;

// The pictures: drawn in a viewBox twice their size on screen, so whole
// numbers keep half-pixel detail and the page small.
constexpr int kPictureWidth = 480, kPictureHeight = 100;
constexpr double kLoudnessTop = -5.0, kLoudnessBottom = -60.0; // LUFS at the top and bottom edges

std::string escape (const juce::String& text)
{
    std::string out;
    // A name that is not UTF-8 is shown with its bytes spelled out, so it can be found again.
    for (const char c : native_names::withBytesSpelledOut (text).toStdString())
    {
        switch (c)
        {
            case '&':  out += "&amp;"; break;
            case '<':  out += "&lt;"; break;
            case '>':  out += "&gt;"; break;
            case '"':  out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:   out += c; break;
        }
    }
    return out;
}

std::optional<double> numberOf (const juce::var& v)
{
    if (v.isDouble() || v.isInt() || v.isInt64())
    {
        const double d = (double) v;
        if (std::isfinite (d))
            return d;
    }
    return std::nullopt;
}

std::string fixed (double value, int decimals)
{
    char text[48];
    std::snprintf (text, sizeof (text), "%.*f", decimals, value);
    if (std::string (text).find_first_not_of ("-0.") == std::string::npos)
        std::snprintf (text, sizeof (text), "%.*f", decimals, 0.0); // no "-0.0"
    return text;
}

std::string signedFixed (double value, int decimals)
{
    const auto text = fixed (value, decimals);
    return value > 0.0 && text.find_first_not_of ("0.") != std::string::npos ? "+" + text : text;
}

std::string cell (const std::optional<double>& value, int decimals, const char* unit = "")
{
    if (! value)
        return "<td class=\"num none\">&#8212;</td>";
    return "<td class=\"num\">" + fixed (*value, decimals) + unit + "</td>";
}

std::string duration (double seconds)
{
    if (! (seconds >= 0.0))
        seconds = 0.0;
    char text[64];
    const auto whole = (long long) std::llround (seconds);
    if (whole >= 3600)
        std::snprintf (text, sizeof (text), "%lld h %02lld min %02lld s", whole / 3600, (whole / 60) % 60, whole % 60);
    else if (whole >= 60)
        std::snprintf (text, sizeof (text), "%lld min %02lld s", whole / 60, whole % 60);
    else
        std::snprintf (text, sizeof (text), "%.1f s", seconds);
    return text;
}

//==============================================================================
// The pictures.
std::vector<double> numbersOf (const juce::var& array)
{
    std::vector<double> out;
    if (const auto* a = array.getArray())
    {
        out.reserve ((size_t) a->size());
        for (const auto& v : *a)
            out.push_back (numberOf (v).value_or (0.0));
    }
    return out;
}

struct Curve
{
    double step = 0.0;
    std::vector<double> values;
    double span() const { return step * (double) values.size(); }
};

struct Side
{
    Curve loudness, low, high;
    bool empty() const { return loudness.values.empty() && high.values.empty(); }
};

// A curve holds at most this many points on the page: the engine's own have
// 240 at most, and a picture 480 units wide shows no more than two a unit. A
// longer curve (a report made by hand or by another tool) is drawn thinned,
// each point standing for a run of the original's: the loudest, or for the
// waveform's lows the lowest, so the picture keeps its peaks.
constexpr size_t kMaxDrawnPoints = 2 * (size_t) kPictureWidth;

void thin (Curve& c, bool keepLowest)
{
    const auto n = c.values.size();
    if (n <= kMaxDrawnPoints)
        return;
    const size_t group = (n + kMaxDrawnPoints - 1) / kMaxDrawnPoints;
    std::vector<double> kept;
    kept.reserve (kMaxDrawnPoints);
    for (size_t i = 0; i < n; i += group)
    {
        const auto from = c.values.begin() + (std::ptrdiff_t) i;
        const auto to = c.values.begin() + (std::ptrdiff_t) std::min (n, i + group);
        kept.push_back (keepLowest ? *std::min_element (from, to) : *std::max_element (from, to));
    }
    c.values = std::move (kept);
    c.step *= (double) group;
}

Side sideOf (const juce::var& o)
{
    Side s;
    if (! o.isObject())
        return s;
    s.loudness = { numberOf (o["shortTermStepSeconds"]).value_or (1.0), numbersOf (o["shortTermLufs"]) };
    const double step = numberOf (o["waveformStepSeconds"]).value_or (0.0);
    s.low = { step, numbersOf (o["waveformMin"]) };
    s.high = { step, numbersOf (o["waveformMax"]) };
    if (s.low.values.size() != s.high.values.size())
        s.low.values.clear(), s.high.values.clear();
    thin (s.loudness, false);
    thin (s.high, false);
    thin (s.low, true);
    return s;
}

int xOf (double seconds, double total)
{
    return (int) std::lround (juce::jlimit (0.0, 1.0, total > 0.0 ? seconds / total : 0.0) * kPictureWidth);
}

int loudnessY (double lufs)
{
    const double f = (kLoudnessTop - juce::jlimit (kLoudnessBottom, kLoudnessTop, lufs)) / (kLoudnessTop - kLoudnessBottom);
    return (int) std::lround (f * kPictureHeight);
}

int amplitudeY (double value)
{
    return (int) std::lround ((1.0 - juce::jlimit (-1.0, 1.0, value)) * 0.5 * kPictureHeight);
}

void point (std::string& out, int x, int y)
{
    if (! out.empty() && out.back() != '"')
        out += ' ';
    out += std::to_string (x);
    out += ',';
    out += std::to_string (y);
}

std::string loudnessLine (const Curve& c, double total, const char* cssClass)
{
    if (c.values.empty())
        return {};
    std::string out = std::string ("<polyline class=\"") + cssClass + "\" points=\"";
    for (size_t i = 0; i < c.values.size(); ++i)
        point (out, xOf (c.step * (double) (i + 1), total), loudnessY (c.values[i]));
    return out + "\"/>";
}

// The envelope: along the highs, back along the lows, a point in the middle
// of each span (a span is about a pixel wide on screen).
std::string waveformShape (const Side& s, double total, const char* cssClass)
{
    const auto n = s.high.values.size();
    if (n == 0)
        return {};
    std::string out = std::string ("<polygon class=\"") + cssClass + "\" points=\"";
    const auto xAt = [&] (size_t i) { return xOf (std::min (s.high.step * ((double) i + 0.5), total), total); };
    for (size_t i = 0; i < n; ++i)
        point (out, xAt (i), amplitudeY (s.high.values[i]));
    for (size_t i = n; i-- > 0;)
        point (out, xAt (i), amplitudeY (s.low.values[i]));
    return out + "\"/>";
}

std::string svgOpen (const char* cssClass, const std::string& label)
{
    return std::string ("<svg class=\"") + cssClass + "\" viewBox=\"0 0 " + std::to_string (kPictureWidth) + " "
           + std::to_string (kPictureHeight) + "\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"" + label
           + "\"><title>" + label + "</title>";
}

std::string pictures (const juce::var& curves, std::optional<double> target, double durationSeconds)
{
    const auto before = sideOf (curves["input"]);
    const auto after = sideOf (curves["output"]);
    if (before.empty() && after.empty())
        return {};

    // Both on one time axis: the output has the input's length.
    double total = durationSeconds;
    for (const auto* c : { &before.loudness, &after.loudness, &before.high, &after.high })
        if (! (total > 0.0))
            total = c->span();
    std::string out;
    out += svgOpen ("loudness", "Short-term loudness before (grey) and after (blue)");
    out += "<line class=\"grid\" x1=\"0\" x2=\"" + std::to_string (kPictureWidth) + "\" y1=\"" + std::to_string (loudnessY (-20.0))
           + "\" y2=\"" + std::to_string (loudnessY (-20.0)) + "\"/>";
    if (target)
        out += "<line class=\"target\" x1=\"0\" x2=\"" + std::to_string (kPictureWidth) + "\" y1=\""
               + std::to_string (loudnessY (*target)) + "\" y2=\"" + std::to_string (loudnessY (*target)) + "\"/>";
    out += loudnessLine (before.loudness, total, "before");
    out += loudnessLine (after.loudness, total, "after");
    out += "</svg>";

    out += svgOpen ("waveform", "Waveform before (grey) and after (blue)");
    out += "<line class=\"grid\" x1=\"0\" x2=\"" + std::to_string (kPictureWidth) + "\" y1=\"" + std::to_string (kPictureHeight / 2)
           + "\" y2=\"" + std::to_string (kPictureHeight / 2) + "\"/>";
    // The mastered file is usually the larger: drawn first, so a quiet original stays in sight.
    out += waveformShape (after, total, "after");
    out += waveformShape (before, total, "before");
    out += "</svg>";
    return out;
}

// The words a person reads for each requirement the report names; a name the
// table does not know is shown as it is.
struct RequirementWords
{
    const char* key;
    const char* words;
    const char* unit;
};
constexpr RequirementWords kRequirementWords[] = {
    { "integratedLufs", "Loudness", " LUFS" },
    { "truePeakDbtp", "True peak", " dBTP" },
    { "rmsDbfs", "RMS level", " dBFS" },
    { "samplePeakDbfs", "Sample peak", " dBFS" },
    { "noiseFloorDbfs", "Noise floor", " dBFS" },
    { "decodedTruePeakDbtp", "True peak after decoding", " dBTP" },
    { "decodedIntegratedLufs", "Loudness after decoding", " LUFS" },
};

const RequirementWords* wordsOf (const juce::String& requirement)
{
    for (const auto& w : kRequirementWords)
        if (requirement == w.key)
            return &w;
    return nullptr;
}

std::string requirementName (const juce::String& requirement)
{
    const auto* w = wordsOf (requirement);
    return w != nullptr ? std::string (w->words) : escape (requirement);
}

//==============================================================================
// A file name that may wrap only between its parts: after a /, _, - or . (a
// <wbr> there), never inside a word.
std::string wrappableName (const juce::String& name)
{
    std::string out;
    for (const char c : escape (name))
    {
        out += c;
        if (c == '/' || c == '_' || c == '-' || c == '.')
            out += "<wbr>";
    }
    return out;
}

//==============================================================================
// The delivery checks of a line, when it has any: delivery.checks, one object
// per requirement with its measured value, its limits and whether it passed.
struct Check
{
    juce::String name;
    bool passed = false;
    juce::String detail;
};

std::vector<Check> checksOf (const juce::var& line)
{
    std::vector<Check> checks;
    const auto* list = line["delivery"]["checks"].getArray();
    if (list == nullptr)
        return checks;
    for (const auto& c : *list)
    {
        if (! c["pass"].isBool())
            continue;
        Check check { c["requirement"].toString(), (bool) c["pass"], {} };
        const auto* words = wordsOf (check.name);
        const juce::String unit = words != nullptr ? words->unit : "";
        if (const auto measured = numberOf (c["measured"]))
            check.detail << "measured " << fixed (*measured, 1) << unit;
        if (const auto low = numberOf (c["min"]))
            check.detail << ", at least " << fixed (*low, 1);
        if (const auto high = numberOf (c["max"]))
            check.detail << ", at most " << fixed (*high, 1);
        checks.push_back (check);
    }
    return checks;
}

juce::String fileNameOf (const juce::String& path)
{
    return path.fromLastOccurrenceOf ("/", false, false);
}

std::optional<double> levelOf (const juce::var& v)
{
    const auto n = numberOf (v);
    return n && *n > -140.0 ? n : std::nullopt;
}

// The codec an output's name says it is in: a WAV or FLAC output's line has
// no encode object, and the name is what the engine chose its writer by.
juce::String codecOfPath (const juce::String& path)
{
    OutputCodec codec;
    if (path.isEmpty() || ! codecForExtension (juce::File ("/" + fileNameOf (path)), codec))
        return {};
    return codecName (codec);
}

// The delivered format and, for a lossy one, what the decoded file measured.
std::string formatCell (const juce::var& line)
{
    const auto& encode = line["encode"];
    juce::String codec = encode["codec"].isString()           ? encode["codec"].toString()
                         : line["output"]["format"].isString() ? line["output"]["format"].toString()
                         : line["outputPath"].isString()       ? codecOfPath (line["outputPath"].toString())
                                                               : juce::String();
    std::string out;
    if (codec.isNotEmpty())
        out += escape (codec.toUpperCase());
    if (const auto kbps = numberOf (encode["bitrateKbps"]); kbps && *kbps > 0.0)
        out += " " + fixed (*kbps, 0) + " kbps";
    const auto lufs = levelOf (encode["decodedIntegratedLufs"]);
    const auto peak = levelOf (encode["decodedTruePeakDbtp"]);
    if (lufs || peak)
    {
        out += std::string (out.empty() ? "" : "<br>") + "decoded";
        if (lufs)
            out += " " + fixed (*lufs, 1) + " LUFS";
        if (peak)
            out += std::string (lufs ? "," : "") + " " + fixed (*peak, 1) + " dBTP";
    }
    return out.empty() ? "<td class=\"format none\">&#8212;</td>" : "<td class=\"format\">" + out + "</td>";
}

// The noise floor before (the input's analysis) and after (the output's, or a check run's quietest half-second).
std::string noiseFloorCell (const juce::var& line)
{
    const auto before = levelOf (line["inputAnalysis"]["noiseFloorDBFS"]);
    auto after = levelOf (line["output"]["noiseFloorDbfs"]);
    if (! after)
        after = levelOf (line["output"]["quietestHalfSecondDbfs"]);
    if (! before && ! after)
        return "<td class=\"num none\">&#8212;</td>";
    if (before && after)
        return "<td class=\"num\">" + fixed (*before, 1) + " &#8594; " + fixed (*after, 1) + "</td>";
    return "<td class=\"num\">" + fixed (before ? *before : *after, 1) + "</td>";
}

// Whether grid hum or clipping was found; nothing when the report does not say.
std::string foundCell (const juce::var& line)
{
    // The mains measurement (room.hum: mainsHz when a family stood out) where
    // the run made it, else the analysis's own 50 Hz check.
    std::optional<bool> hum;
    if (const auto& room = line["room"]["hum"]; room.isObject())
        hum = numberOf (room["mainsHz"]).has_value();
    else if (line["inputAnalysis"]["hasGridHum"].isBool())
        hum = (bool) line["inputAnalysis"]["hasGridHum"];
    std::optional<bool> clipping;
    if (const auto runs = numberOf (line["room"]["clipping"]["runs"]))
        clipping = *runs > 0.0;
    if (! hum && ! clipping)
        return "<td class=\"found none\">&#8212;</td>";
    std::vector<std::string> said;
    if (hum)
        said.push_back (*hum ? "hum" : "no hum");
    if (clipping)
        said.push_back (*clipping ? "clipping" : "no clipping");
    std::string out;
    for (const auto& w : said)
        out += (out.empty() ? "" : ", ") + w;
    return "<td class=\"found\">" + out + "</td>";
}

// A clipped input says so under its name: the share of its samples in flat runs, the counts in the tooltip.
std::string clippingNote (const juce::var& clipping)
{
    const auto runs = numberOf (clipping["runs"]);
    if (! runs || *runs <= 0.0)
        return {};
    return "<br><small class=\"clipped\" title=\"" + fixed (*runs, 0) + " clipped runs, the longest "
           + fixed (numberOf (clipping["longestRun"]).value_or (0.0), 0) + " samples\">clipped "
           + fixed (100.0 * numberOf (clipping["share"]).value_or (0.0), 2) + "%</small>";
}

struct Row
{
    juce::var line;
    juce::String inputPath;
    bool ok = false;
};

const char* const kStyle = R"CSS(
:root{--before:#9aa0a6;--after:#1a73e8;--fail:#c5221f;--warn:#b06000;--ok:#188038;--line:#dadce0}
*{box-sizing:border-box}
body{font:14px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;color:#202124;margin:24px;background:#fff}
h1{font-size:20px;margin:0 0 12px}
#summary{display:flex;flex-wrap:wrap;gap:8px 28px;margin:0 0 16px;padding:12px 16px;background:#f8f9fa;border:1px solid var(--line);border-radius:8px}
#summary div{min-width:120px}
#summary dt{font-size:12px;color:#5f6368}
#summary dd{margin:0;font-size:16px;font-weight:600}
#summary .failed dd{color:var(--fail)}
.legend{font-size:12px;color:#5f6368;margin:0 0 8px}
.legend i{display:inline-block;width:18px;height:0;border-top:3px solid;vertical-align:middle;margin:0 4px 0 12px}
.legend .b{border-color:var(--before)}.legend .a{border-color:var(--after)}.legend .t{border-top:2px dashed var(--fail)}
table{border-collapse:collapse;width:100%}
th,td{padding:6px 8px;border-bottom:1px solid var(--line);text-align:left;vertical-align:middle}
th{font-size:12px;color:#5f6368;font-weight:600;white-space:nowrap;position:sticky;top:0;background:#fff}
th[data-sort]{cursor:pointer;user-select:none}
th[data-sort]:hover{color:#202124}
th[aria-sort=ascending]::after{content:" \25B2"}
th[aria-sort=descending]::after{content:" \25BC"}
td.num{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
td.none{color:#9aa0a6}
td.name{font-weight:600;overflow-wrap:break-word;max-width:260px}
.status{display:inline-block;padding:1px 8px;border-radius:10px;font-size:12px;font-weight:600;white-space:nowrap}
tr.mastered .status{background:#e6f4ea;color:var(--ok)}
tr.missed .status{background:#fef7e0;color:var(--warn)}
tr.failed .status{background:#fce8e6;color:var(--fail)}
td.miss{color:var(--warn);font-weight:600}
td.error{color:var(--fail);word-break:break-word}
.checks span{display:inline-block;margin-right:4px;font-weight:700}
.checks .pass{color:var(--ok)}.checks .fail{color:var(--fail)}
.checks .why{color:var(--fail);font-size:12px;min-width:200px}
td.found,td.format{font-size:12px}
td.pictures{white-space:nowrap}
svg{width:240px;height:50px;margin-right:8px;background:#fafafa;border:1px solid #eee;vertical-align:middle}
svg .before{fill:none;stroke:var(--before);stroke-width:2}
svg .after{fill:none;stroke:var(--after);stroke-width:2}
svg polygon.before{fill:var(--before);fill-opacity:.55;stroke:none}
svg polygon.after{fill:var(--after);fill-opacity:.55;stroke:none}
svg .target{stroke:var(--fail);stroke-width:1.5;stroke-dasharray:6 4}
svg .grid{stroke:#e0e0e0;stroke-width:1}
)CSS";

// Sorting: a click on a header, or the address's #sort=KEY (#sort=-KEY the other
// way round), so a sorted view can be linked to. Rows without a value sort last.
const char* const kScript = R"JS(
(function(){
var body=document.querySelector('#files tbody');
var heads=document.querySelectorAll('#files th[data-sort]');
function value(row,key){
  if(key==='name')return row.getAttribute('data-name').toLowerCase();
  var v=row.getAttribute('data-'+key);
  return v===null||v===''?null:parseFloat(v);
}
function sortBy(key,descending){
  var rows=Array.prototype.slice.call(body.rows);
  rows.sort(function(a,b){
    var x=value(a,key),y=value(b,key);
    if(x===null||y===null)return (x===null)-(y===null)||0;
    var d=x<y?-1:x>y?1:0;
    if(d===0)d=a.getAttribute('data-name')<b.getAttribute('data-name')?-1:1;
    return descending?-d:d;
  });
  rows.forEach(function(r){body.appendChild(r);});
  Array.prototype.forEach.call(heads,function(h){
    if(h.getAttribute('data-sort')===key)h.setAttribute('aria-sort',descending?'descending':'ascending');
    else h.removeAttribute('aria-sort');
  });
}
function fromAddress(){
  var m=/^#sort=(-?)([a-z]+)$/.exec(location.hash);
  if(m)sortBy(m[2],m[1]==='-');
}
Array.prototype.forEach.call(heads,function(h){
  h.addEventListener('click',function(){
    var key=h.getAttribute('data-sort');
    var descending=h.getAttribute('aria-sort')==='ascending'||(h.getAttribute('aria-sort')!=='descending'&&h.hasAttribute('data-worst-first'));
    location.hash='sort='+(descending?'-':'')+key;
  });
});
window.addEventListener('hashchange',fromAddress);
fromAddress();
})();
)JS";
} // namespace

//==============================================================================
bool ReportLines::add (const juce::var& line)
{
    if (! line.isObject() || ! line["inputPath"].isString())
        return false;
    const auto key = line["inputPath"].toString();
    if (const auto found = byInput.find (key); found != byInput.end())
        lines[found->second] = line;
    else
    {
        byInput.emplace (key, lines.size());
        lines.push_back (line);
    }
    return true;
}

bool ReportLines::addFile (const juce::File& report, juce::StringArray& warnings, juce::String& error)
{
    juce::FileInputStream in (report);
    if (report.isDirectory() || ! in.openedOk())
    {
        error = "Failed to read report file: " + report.getFullPathName();
        return false;
    }
    // Read in large blocks and cut into lines here: a line is never longer in
    // memory than kMaxReportLineBytes, whatever the file holds.
    const auto where = report.getFullPathName();
    std::string line, block (1 << 20, '\0');
    bool tooLarge = false;
    int number = 0;
    const auto finishLine = [&]
    {
        ++number;
        if (tooLarge)
            warnings.add ("line " + juce::String (number) + " of " + where + " is larger than "
                          + juce::String (kMaxReportLineBytes >> 20) + " MiB");
        else if (line.find_first_not_of (" \t\r") != std::string::npos)
        {
            juce::var parsed;
            const auto refusal = report_line::parse (line, parsed);
            if (refusal == report_line::Refusal::tooDeep)
                warnings.add ("line " + juce::String (number) + " of " + where + " is nested more than "
                              + juce::String (report_line::kMaxReportNesting) + " deep");
            else if (refusal != report_line::Refusal::none || ! add (parsed))
                warnings.add ("line " + juce::String (number) + " of " + where + " is not a report line");
        }
        line.clear();
        tooLarge = false;
    };
    for (;;)
    {
        const int got = in.read (block.data(), (int) block.size());
        if (got <= 0)
            break;
        size_t from = 0;
        while (from < (size_t) got)
        {
            const auto* start = block.data() + from;
            const auto* newline = static_cast<const char*> (std::memchr (start, '\n', (size_t) got - from));
            const size_t length = newline != nullptr ? (size_t) (newline - start) : (size_t) got - from;
            if (! tooLarge && line.size() + length > kMaxReportLineBytes)
            {
                tooLarge = true;
                std::string().swap (line);
            }
            if (! tooLarge)
                line.append (start, length);
            from += length;
            if (newline != nullptr)
            {
                ++from;
                finishLine();
            }
        }
    }
    if (! line.empty() || tooLarge)
        finishLine();
    if (in.getStatus().failed())
    {
        error = "Failed to read report file: " + report.getFullPathName();
        return false;
    }
    return true;
}

std::string htmlReportPage (const std::vector<juce::var>& lines)
{
    std::vector<Row> rows;
    rows.reserve (lines.size());
    for (const auto& line : lines)
        rows.push_back ({ line, line["inputPath"].toString(), (bool) line["success"] });
    std::stable_sort (rows.begin(), rows.end(), [] (const Row& a, const Row& b) { return a.inputPath < b.inputPath; });

    // The summary.
    int mastered = 0, failed = 0, missed = 0, allPassed = 0;
    // A check-only run's page (every line a --check line) speaks of files checked, not mastered.
    const bool checkRun = ! rows.empty() && std::all_of (rows.begin(), rows.end(), [] (const Row& r)
                                                         { return r.line["check"].isBool() && (bool) r.line["check"]; });
    double audioSeconds = 0.0, processingMs = 0.0;
    std::set<std::string> targets, finishes, presets;
    std::vector<std::pair<juce::String, std::pair<int, int>>> checkTally; // name -> passed, checked (first-seen order)
    for (const auto& r : rows)
    {
        (r.ok ? mastered : failed)++;
        if (r.ok && r.line["delivery"]["pass"].isBool() && (bool) r.line["delivery"]["pass"])
            ++allPassed;
        if (const auto d = numberOf (r.line["inputAnalysis"]["durationSeconds"]))
            audioSeconds += *d;
        else if (const auto o = numberOf (r.line["output"]["durationSeconds"]))
            audioSeconds += *o;
        processingMs += numberOf (r.line["processingTimeMs"]).value_or (0.0);
        if (const auto t = numberOf (r.line["output"]["targetLufs"]))
            targets.insert (fixed (*t, 1) + " LUFS");
        const auto preset = r.line["delivery"]["preset"];
        if (preset.isString() && preset.toString().isNotEmpty())
            presets.insert (preset.toString().toStdString());
        const auto finish = r.line["settings"]["finish"];
        if (finish.isString() && finish.toString().isNotEmpty())
            finishes.insert (finish.toString().toStdString());
        const auto off = numberOf (r.line["output"]["offTargetLu"]);
        if (r.ok && off && std::abs (*off) > kMissedTargetLu)
            ++missed;
        for (const auto& c : checksOf (r.line))
        {
            auto found = std::find_if (checkTally.begin(), checkTally.end(), [&] (const auto& t) { return t.first == c.name; });
            if (found == checkTally.end())
                found = checkTally.insert (checkTally.end(), { c.name, { 0, 0 } });
            found->second.first += c.passed ? 1 : 0;
            found->second.second += 1;
        }
    }
    const auto joined = [] (const std::set<std::string>& items)
    {
        std::string out;
        for (const auto& i : items)
            out += (out.empty() ? "" : ", ") + i;
        return out.empty() ? std::string ("&#8212;") : escape (out);
    };

    std::string page;
    page.reserve (4096 + rows.size() * 12000);
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
            "script-src 'unsafe-inline'; img-src data:\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<title>";
    page += checkRun ? "Check report: " : "Mastering report: ";
    page += std::to_string (rows.size()) + (rows.size() == 1 ? " file" : " files") + "</title>\n<style>";
    page += kStyle;
    page += "</style>\n</head>\n<body>\n<h1>";
    page += checkRun ? "Check report" : "Mastering report";
    page += "</h1>\n<dl id=\"summary\">\n";
    const auto item = [&page] (const char* cssClass, const char* label, const std::string& value)
    {
        page += std::string ("<div class=\"") + cssClass + "\"><dt>" + label + "</dt><dd>" + value + "</dd></div>\n";
    };
    if (checkRun)
    {
        item ("mastered", "Passed every check", std::to_string (allPassed) + " of " + std::to_string (rows.size()));
        item (failed > 0 ? "failed" : "nofail", "Could not be read", std::to_string (failed));
    }
    else
    {
        item ("mastered", "Mastered", std::to_string (mastered) + " of " + std::to_string (rows.size()));
        item (failed > 0 ? "failed" : "nofail", "Failed", std::to_string (failed));
    }
    item ("missed", "Off target by more than 1 LU", std::to_string (missed));
    item ("audio", "Audio", duration (audioSeconds));
    item ("time", "Processing time (all files)", duration (processingMs / 1000.0));
    item ("target", "Target", joined (targets));
    if (! finishes.empty())
        item ("finish", "Finish", joined (finishes));
    if (! presets.empty())
        item ("preset", "Delivery preset", joined (presets));
    for (const auto& [name, tally] : checkTally)
        item ("check", ("Passed " + juce::String (requirementName (name)).toLowerCase().toStdString()).c_str(),
              std::to_string (tally.first) + " of " + std::to_string (tally.second));
    page += "</dl>\n<p class=\"legend\">Pictures:<i class=\"b\"></i>before<i class=\"a\"></i>after<i class=\"t\"></i>target"
            " &#8212; short-term loudness (-60 to -5 LUFS) and waveform, over the file's length.</p>\n";

    // The checks' column only when some file was checked against a delivery's requirements.
    const bool anyChecks = ! checkTally.empty();
    page += "<table id=\"files\">\n<thead><tr>"
            "<th data-sort=\"name\" aria-sort=\"ascending\">File</th>"
            "<th data-sort=\"status\">Status</th>"
            "<th class=\"num\">Input LUFS</th>"
            "<th class=\"num\" data-sort=\"loudness\">Output LUFS</th>"
            "<th class=\"num\">True peak dBTP</th>"
            "<th class=\"num\">LRA LU</th>"
            "<th class=\"num\" data-sort=\"offtarget\" data-worst-first>Off target LU</th>"
            "<th>Denoiser</th>"
            "<th>Format</th>"
            "<th class=\"num\">Noise floor dBFS</th>"
            "<th>Found</th>";
    page += anyChecks ? "<th>Checks</th>" : "";
    page += "<th>Loudness over time &#183; Waveform</th></tr></thead>\n<tbody>\n";

    for (const auto& r : rows)
    {
        const auto& line = r.line;
        const auto output = line["output"];
        const auto inputLufs = numberOf (line["inputAnalysis"]["integratedLUFS"]);
        const auto outLufs = numberOf (output["integratedLufs"]);
        const auto off = numberOf (output["offTargetLu"]);
        const auto checks = checksOf (line);
        // "Off target" is said only of the loudness; any other failed check is named as such.
        const bool loudnessMissed = (off && std::abs (*off) > kMissedTargetLu)
                                    || std::any_of (checks.begin(), checks.end(), [] (const Check& c)
                                                    { return ! c.passed && c.name == "integratedLufs"; });
        const bool otherCheckFailed = std::any_of (checks.begin(), checks.end(), [] (const Check& c)
                                                   { return ! c.passed && c.name != "integratedLufs"; });
        const bool miss = r.ok && (loudnessMissed || otherCheckFailed);
        const bool checkedOnly = line["check"].isBool() && (bool) line["check"];
        // Status order: failed, then missed (off target or a failed check), then mastered.
        const char* status = ! r.ok ? "failed" : miss ? "missed" : "mastered";
        const int statusRank = ! r.ok ? 0 : miss ? 1 : 2;
        const auto name = fileNameOf (r.inputPath);

        page += "<tr class=\"file " + std::string (status) + "\" data-name=\"" + escape (name) + "\" data-status=\""
                + std::to_string (statusRank) + "\" data-loudness=\""
                + (r.ok && outLufs && *outLufs > -140.0 ? fixed (*outLufs, 2) : "") + "\" data-offtarget=\""
                + (r.ok && off ? fixed (std::abs (*off), 2) : "") + "\">";
        page += "<td class=\"name\" title=\"" + escape (r.inputPath + "\n\xe2\x86\x92 " + line["outputPath"].toString()) + "\">"
                + wrappableName (name) + clippingNote (line["room"]["clipping"]) + "</td>";
        const char* words = ! r.ok            ? (checkedOnly ? "unreadable" : "failed")
                            : otherCheckFailed ? "check failed"
                            : loudnessMissed   ? "off target"
                            : checkedOnly      ? "passed"
                                               : "mastered";
        page += std::string ("<td><span class=\"status\">") + words + "</span></td>";
        page += cell (inputLufs && *inputLufs > -140.0 ? inputLufs : std::nullopt, 1);

        if (! r.ok)
        {
            const auto error = line["error"].isString() ? line["error"].toString() : juce::String ("Failed (no message)");
            page += std::string ("<td class=\"error\" colspan=\"") + (anyChecks ? "10" : "9") + "\">" + escape (error) + "</td></tr>\n";
            continue;
        }

        page += cell (outLufs && *outLufs > -140.0 ? outLufs : std::nullopt, 1);
        page += cell (numberOf (output["truePeakDbtp"]), 1);
        page += cell (numberOf (output["loudnessRangeLu"]), 1);
        if (off)
            page += std::string ("<td class=\"num") + (std::abs (*off) > kMissedTargetLu ? " miss" : "") + "\">"
                    + signedFixed (*off, 1) + "</td>";
        else
            page += cell (std::nullopt, 1);
        page += "<td>" + (line["denoiseEngine"].isString() ? escape (line["denoiseEngine"].toString()) : std::string ("&#8212;"))
                + "</td>";
        page += formatCell (line) + noiseFloorCell (line) + foundCell (line);
        if (anyChecks)
            page += "<td class=\"checks\">";
        for (const auto& c : checks)
            page += std::string ("<span class=\"") + (c.passed ? "pass" : "fail") + "\" title=\"" + requirementName (c.name)
                    + (c.detail.isNotEmpty() ? ": " + escape (c.detail) : std::string()) + (c.passed ? " (pass)" : " (fail)")
                    + "\">" + (c.passed ? "&#10003;" : "&#10007;") + "</span>";
        // A failed check is named in words in the row, not only on hover.
        for (const auto& c : checks)
            if (! c.passed)
                page += "<div class=\"why\">" + requirementName (c.name) + " failed"
                        + (c.detail.isNotEmpty() ? ": " + escape (c.detail) : std::string()) + "</div>";
        if (anyChecks)
            page += "</td>";
        page += "<td class=\"pictures\">"
                + pictures (line["curves"], numberOf (output["targetLufs"]),
                            numberOf (output["durationSeconds"]).value_or (0.0))
                + "</td></tr>\n";
    }

    page += "</tbody>\n</table>\n<script>";
    page += kScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
}

juce::String writeReportPage (const juce::File& page, const std::vector<juce::var>& lines)
{
    const auto text = htmlReportPage (lines);
    const auto failure = "Failed to write report page: " + page.getFullPathName();

    // A device or a pipe (/dev/stdout, a reader's fifo) is what the user means
    // the page to go to: written through, never replaced by a file.
    if (const auto behind = pathKindBehind (page); behind == PathKind::device || behind == PathKind::pipe)
    {
        // Not through JUCE's stream, which seeks to the end and so refuses a pipe.
        const int fd = ::open (page.getFullPathName().toRawUTF8(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return failure;
        size_t done = 0;
        while (done < text.size())
        {
            const auto n = ::write (fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += (size_t) n;
        }
        const bool closed = ::close (fd) == 0;
        return done == text.size() && closed ? juce::String() : failure;
    }
    const auto temp = temporarySiblingFor (page);
    const InFlightFiles::Scope inFlight (temp);
    {
        juce::FileOutputStream out (temp);
        if (! out.openedOk() || ! out.write (text.data(), text.size()))
        {
            temp.deleteFile();
            return failure;
        }
        out.flush();
        if (out.getStatus().failed())
        {
            temp.deleteFile();
            return failure;
        }
    }
    if (temp.getSize() != (juce::int64) text.size() || ! temp.replaceFileIn (page))
    {
        temp.deleteFile();
        return failure;
    }
    return {};
}
