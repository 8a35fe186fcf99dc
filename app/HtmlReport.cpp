#include "app/HtmlReport.h"

#include "app/ReportLineParser.h"
#include "app/ReportSchema.h"
#include "common/Levels.h"
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

namespace tessaloom
{

namespace
{
using report_schema::Curve;
using report_schema::ReportRow;

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
double span (const Curve& c)
{
    return c.stepSeconds * (double) c.values.size();
}

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
    c.stepSeconds *= (double) group;
}

Side sideOf (const report_schema::Overview& o)
{
    Side s;
    if (! o.present)
        return s;
    s.loudness = o.loudness;
    s.low = o.waveformMin;
    s.high = o.waveformMax;
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
        point (out, xOf (c.stepSeconds * (double) (i + 1), total), loudnessY (c.values[i]));
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
    const auto xAt = [&] (size_t i) { return xOf (std::min (s.high.stepSeconds * ((double) i + 0.5), total), total); };
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

std::string pictures (const ReportRow& row)
{
    const auto before = sideOf (report_schema::readOverview (row.inputCurves));
    const auto after = sideOf (report_schema::readOverview (row.outputCurves));
    if (before.empty() && after.empty())
        return {};

    // Both on one time axis: the output has the input's length.
    const auto target = row.output.targetLufs;
    double total = row.output.durationSeconds.value_or (0.0);
    for (const auto* c : { &before.loudness, &after.loudness, &before.high, &after.high })
        if (! (total > 0.0))
            total = span (*c);
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
// A delivery check in words: its measured value and limits, in the requirement's unit.
juce::String detailOf (const report_schema::Check& c)
{
    const auto* words = wordsOf (c.requirement);
    const juce::String unit = words != nullptr ? words->unit : "";
    juce::String detail;
    if (c.measured)
        detail << "measured " << fixed (*c.measured, 1) << unit;
    if (c.min)
        detail << ", at least " << fixed (*c.min, 1);
    if (c.max)
        detail << ", at most " << fixed (*c.max, 1);
    return detail;
}

juce::String fileNameOf (const juce::String& path)
{
    return path.fromLastOccurrenceOf ("/", false, false);
}

// A level that was measured: anything above the not-measured mark.
std::optional<double> levelOf (const std::optional<double>& n)
{
    return n && *n > kNotMeasuredLufs ? n : std::nullopt;
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
std::string formatCell (const ReportRow& row)
{
    const auto& encode = row.encode;
    const juce::String codec = encode.codec         ? *encode.codec
                               : row.output.format  ? *row.output.format
                               : row.outputPathIsText ? codecOfPath (row.outputPath)
                                                      : juce::String();
    std::string out;
    if (codec.isNotEmpty())
        out += escape (codec.toUpperCase());
    if (const auto kbps = encode.bitrateKbps; kbps && *kbps > 0.0)
        out += " " + fixed (*kbps, 0) + " kbps";
    const auto lufs = levelOf (encode.decodedIntegratedLufs);
    const auto peak = levelOf (encode.decodedTruePeakDbtp);
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
std::string noiseFloorCell (const ReportRow& row)
{
    const auto before = levelOf (row.input.noiseFloorDbfs);
    auto after = levelOf (row.output.noiseFloorDbfs);
    if (! after)
        after = levelOf (row.output.quietestHalfSecondDbfs);
    if (! before && ! after)
        return "<td class=\"num none\">&#8212;</td>";
    if (before && after)
        return "<td class=\"num\">" + fixed (*before, 1) + " &#8594; " + fixed (*after, 1) + "</td>";
    return "<td class=\"num\">" + fixed (before ? *before : *after, 1) + "</td>";
}

// Whether grid hum or clipping was found; nothing when the report does not say.
std::string foundCell (const ReportRow& row)
{
    // The mains measurement (room.hum: mainsHz when a family stood out) where
    // the run made it, else the analysis's own 50 Hz check.
    std::optional<bool> hum;
    if (row.room.humMeasured)
        hum = row.room.humFound;
    else
        hum = row.input.gridHum;
    std::optional<bool> clipping;
    if (const auto runs = row.room.clippingRuns)
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
std::string clippingNote (const ReportRow::Room& room)
{
    const auto runs = room.clippingRuns;
    if (! runs || *runs <= 0.0)
        return {};
    return "<br><small class=\"clipped\" title=\"" + fixed (*runs, 0) + " clipped runs, the longest "
           + fixed (room.clippingLongestRun.value_or (0.0), 0) + " samples\">clipped "
           + fixed (100.0 * room.clippingShare.value_or (0.0), 2) + "%</small>";
}

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

//==============================================================================
// The page: what the rows add up to, the summary that says it, and a row per file.

// What the summary says of the rows.
struct Tally
{
    int mastered = 0, failed = 0, missed = 0, allPassed = 0;
    bool checkRun = false; // every line a --check line: the page speaks of files checked, not mastered
    double audioSeconds = 0.0, processingMs = 0.0;
    std::set<std::string> targets, finishes, presets;
    std::vector<std::pair<juce::String, std::pair<int, int>>> checks; // name -> passed, checked (first-seen order)
};

void countChecks (Tally& t, const std::vector<report_schema::Check>& checks)
{
    for (const auto& c : checks)
    {
        auto found = std::find_if (t.checks.begin(), t.checks.end(), [&] (const auto& e) { return e.first == c.requirement; });
        if (found == t.checks.end())
            found = t.checks.insert (t.checks.end(), { c.requirement, { 0, 0 } });
        found->second.first += c.pass ? 1 : 0;
        found->second.second += 1;
    }
}

Tally tallyOf (const std::vector<ReportRow>& rows)
{
    Tally t;
    t.checkRun = ! rows.empty() && std::all_of (rows.begin(), rows.end(), [] (const ReportRow& r) { return r.checkOnly; });
    for (const auto& r : rows)
    {
        (r.success ? t.mastered : t.failed)++;
        if (r.success && r.delivery.passed)
            ++t.allPassed;
        if (const auto d = r.input.durationSeconds)
            t.audioSeconds += *d;
        else if (const auto o = r.output.durationSeconds)
            t.audioSeconds += *o;
        t.processingMs += r.processingTimeMs.value_or (0.0);
        if (const auto target = r.output.targetLufs)
            t.targets.insert (fixed (*target, 1) + " LUFS");
        if (r.delivery.preset)
            t.presets.insert (r.delivery.preset->toStdString());
        if (r.finish)
            t.finishes.insert (r.finish->toStdString());
        const auto off = r.output.offTargetLu;
        if (r.success && off && std::abs (*off) > kMissedTargetLu)
            ++t.missed;
        countChecks (t, r.delivery.checks);
    }
    return t;
}

std::string pageHead (const Tally& t, size_t files)
{
    std::string head = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
                       "script-src 'unsafe-inline'; img-src data:\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>";
    head += t.checkRun ? "Check report: " : "Mastering report: ";
    head += std::to_string (files) + (files == 1 ? " file" : " files") + "</title>\n<style>";
    head += kStyle;
    head += "</style>\n</head>\n<body>\n<h1>";
    head += t.checkRun ? "Check report" : "Mastering report";
    return head + "</h1>\n";
}

std::string joined (const std::set<std::string>& items)
{
    std::string out;
    for (const auto& i : items)
        out += (out.empty() ? "" : ", ") + i;
    return out.empty() ? std::string ("&#8212;") : escape (out);
}

std::string summary (const Tally& t, size_t files)
{
    std::string out = "<dl id=\"summary\">\n";
    const auto item = [&out] (const char* cssClass, const std::string& label, const std::string& value)
    { out += std::string ("<div class=\"") + cssClass + "\"><dt>" + label + "</dt><dd>" + value + "</dd></div>\n"; };
    const auto ofAll = [files] (int n) { return std::to_string (n) + " of " + std::to_string (files); };
    item ("mastered", t.checkRun ? "Passed every check" : "Mastered", ofAll (t.checkRun ? t.allPassed : t.mastered));
    item (t.failed > 0 ? "failed" : "nofail", t.checkRun ? "Could not be read" : "Failed", std::to_string (t.failed));
    item ("missed", "Off target by more than 1 LU", std::to_string (t.missed));
    item ("audio", "Audio", duration (t.audioSeconds));
    item ("time", "Processing time (all files)", duration (t.processingMs / 1000.0));
    item ("target", "Target", joined (t.targets));
    if (! t.finishes.empty())
        item ("finish", "Finish", joined (t.finishes));
    if (! t.presets.empty())
        item ("preset", "Delivery preset", joined (t.presets));
    for (const auto& [name, tally] : t.checks)
        item ("check", "Passed " + juce::String (requirementName (name)).toLowerCase().toStdString(),
              std::to_string (tally.first) + " of " + std::to_string (tally.second));
    return out + "</dl>\n<p class=\"legend\">Pictures:<i class=\"b\"></i>before<i class=\"a\"></i>after<i class=\"t\"></i>target"
                 " &#8212; short-term loudness (-60 to -5 LUFS) and waveform, over the file's length.</p>\n";
}

// The checks' column only when some file was checked against a delivery's requirements.
std::string tableHead (bool anyChecks)
{
    return std::string ("<table id=\"files\">\n<thead><tr>"
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
                        "<th>Found</th>")
           + (anyChecks ? "<th>Checks</th>" : "") + "<th>Loudness over time &#183; Waveform</th></tr></thead>\n<tbody>\n";
}

// How a row stands: failed, then missed (off target or a failed check), then mastered.
struct Verdict
{
    bool loudnessMissed = false, otherCheckFailed = false, miss = false;
    const char* status = "mastered";
    int rank = 2;
    const char* words = "mastered";
};

Verdict verdictOf (const ReportRow& r)
{
    Verdict v;
    const auto& checks = r.delivery.checks;
    const auto off = r.output.offTargetLu;
    const auto failed = [] (const report_schema::Check& c) { return ! c.pass && c.requirement == report_schema::key::integratedLufs; };
    // "Off target" is said only of the loudness; any other failed check is named as such.
    v.loudnessMissed = (off && std::abs (*off) > kMissedTargetLu) || std::any_of (checks.begin(), checks.end(), failed);
    v.otherCheckFailed = std::any_of (checks.begin(), checks.end(), [] (const report_schema::Check& c)
                                      { return ! c.pass && c.requirement != report_schema::key::integratedLufs; });
    v.miss = r.success && (v.loudnessMissed || v.otherCheckFailed);
    v.status = ! r.success ? "failed" : v.miss ? "missed" : "mastered";
    v.rank = ! r.success ? 0 : v.miss ? 1 : 2;
    v.words = ! r.success            ? (r.checkOnly ? "unreadable" : "failed")
              : v.otherCheckFailed   ? "check failed"
              : v.loudnessMissed     ? "off target"
              : r.checkOnly          ? "passed"
                                     : "mastered";
    return v;
}

// The row's opening: its sort keys, its name (the paths on hover) and its status.
std::string rowStart (const ReportRow& r, const Verdict& v)
{
    const auto outLufs = r.output.integratedLufs;
    const auto off = r.output.offTargetLu;
    const auto name = fileNameOf (r.inputPath);
    return "<tr class=\"file " + std::string (v.status) + "\" data-name=\"" + escape (name) + "\" data-status=\""
           + std::to_string (v.rank) + "\" data-loudness=\""
           + (r.success && levelOf (outLufs) ? fixed (*outLufs, 2) : "") + "\" data-offtarget=\""
           + (r.success && off ? fixed (std::abs (*off), 2) : "") + "\">"
           + "<td class=\"name\" title=\"" + escape (r.inputPath + "\n\xe2\x86\x92 " + r.outputPath) + "\">"
           + wrappableName (name) + clippingNote (r.room) + "</td>"
           + "<td><span class=\"status\">" + v.words + "</span></td>" + cell (levelOf (r.input.integratedLufs), 1);
}

// The figures of a mastered (or checked) file, from its output loudness to what was found.
std::string figureCells (const ReportRow& r)
{
    std::string out = cell (levelOf (r.output.integratedLufs), 1);
    out += cell (r.output.truePeakDbtp, 1);
    out += cell (r.output.loudnessRangeLu, 1);
    if (const auto off = r.output.offTargetLu)
        out += std::string ("<td class=\"num") + (std::abs (*off) > kMissedTargetLu ? " miss" : "") + "\">"
               + signedFixed (*off, 1) + "</td>";
    else
        out += cell (std::nullopt, 1);
    out += "<td>" + (r.denoiseEngine ? escape (*r.denoiseEngine) : std::string ("&#8212;")) + "</td>";
    return out + formatCell (r) + noiseFloorCell (r) + foundCell (r);
}

// Each check marked, its figures on hover; a failed one also named in words in the row.
std::string checkMarks (const std::vector<report_schema::Check>& checks)
{
    std::string out;
    for (const auto& c : checks)
    {
        const auto detail = detailOf (c);
        out += std::string ("<span class=\"") + (c.pass ? "pass" : "fail") + "\" title=\"" + requirementName (c.requirement)
               + (detail.isNotEmpty() ? ": " + escape (detail) : std::string()) + (c.pass ? " (pass)" : " (fail)")
               + "\">" + (c.pass ? "&#10003;" : "&#10007;") + "</span>";
    }
    for (const auto& c : checks)
        if (! c.pass)
        {
            const auto detail = detailOf (c);
            out += "<div class=\"why\">" + requirementName (c.requirement) + " failed"
                   + (detail.isNotEmpty() ? ": " + escape (detail) : std::string()) + "</div>";
        }
    return out;
}

std::string fileRow (const ReportRow& r, bool anyChecks)
{
    std::string out = rowStart (r, verdictOf (r));
    if (! r.success)
        return out + "<td class=\"error\" colspan=\"" + (anyChecks ? "10" : "9") + "\">"
               + escape (r.error.value_or ("Failed (no message)")) + "</td></tr>\n";
    out += figureCells (r);
    if (anyChecks)
        out += "<td class=\"checks\">" + checkMarks (r.delivery.checks) + "</td>";
    return out + "<td class=\"pictures\">" + pictures (r) + "</td></tr>\n";
}

//==============================================================================
// Reads a stream in large blocks and hands it on line by line, cut here: a
// line is never longer in memory than kMaxReportLineBytes, whatever the file
// holds (a longer one is handed on empty, marked too large).
template <typename Take>
void forEachLine (juce::InputStream& in, Take&& take)
{
    std::string line, block (1 << 20, '\0');
    bool tooLarge = false;
    const auto finishLine = [&]
    {
        take (line, tooLarge);
        line.clear();
        tooLarge = false;
    };
    for (int got; (got = in.read (block.data(), (int) block.size())) > 0;)
        for (size_t from = 0; from < (size_t) got;)
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
    if (! line.empty() || tooLarge)
        finishLine();
}

// Why a line of a report is not read, in the words after "line N of FILE is";
// empty when it is parsed.
juce::String refusalOf (const std::string& line, bool tooLarge, juce::var& parsed)
{
    if (tooLarge)
        return "larger than " + juce::String (kMaxReportLineBytes >> 20) + " MiB";
    const auto refusal = report_line::parse (line, parsed);
    if (refusal == report_line::Refusal::tooDeep)
        return "nested more than " + juce::String (report_line::kMaxReportNesting) + " deep";
    if (refusal != report_line::Refusal::none)
        return "not a report line";
    return {};
}
} // namespace

//==============================================================================
bool ReportLines::add (const juce::var& line)
{
    const auto& inputPath = line[report_schema::key::inputPath];
    if (! line.isObject() || ! inputPath.isString())
        return false;
    if (const auto found = byInput.find (inputPath.toString()); found != byInput.end())
        lines[found->second] = line;
    else
    {
        byInput.emplace (inputPath.toString(), lines.size());
        lines.push_back (line);
    }
    return true;
}

Outcome ReportLines::addFile (const juce::File& report, juce::StringArray& warnings)
{
    juce::FileInputStream in (report);
    if (report.isDirectory() || ! in.openedOk())
        return Outcome::failure ("Failed to read report file: " + report.getFullPathName());
    const auto where = report.getFullPathName();
    int number = 0;
    forEachLine (in, [&] (const std::string& line, bool tooLarge)
    {
        ++number;
        if (! tooLarge && line.find_first_not_of (" \t\r") == std::string::npos)
            return;
        juce::var parsed;
        auto refused = refusalOf (line, tooLarge, parsed);
        if (refused.isEmpty() && ! add (parsed))
            refused = "not a report line";
        if (refused.isNotEmpty())
            warnings.add ("line " + juce::String (number) + " of " + where + " is " + refused);
    });
    if (in.getStatus().failed())
        return Outcome::failure ("Failed to read report file: " + report.getFullPathName());
    return Outcome::success();
}

std::string htmlReportPage (const std::vector<juce::var>& lines)
{
    std::vector<ReportRow> rows;
    rows.reserve (lines.size());
    for (const auto& line : lines)
        rows.push_back (report_schema::readRow (line));
    std::stable_sort (rows.begin(), rows.end(), [] (const ReportRow& a, const ReportRow& b) { return a.inputPath < b.inputPath; });

    const auto tally = tallyOf (rows);
    const bool anyChecks = ! tally.checks.empty();
    std::string page;
    page.reserve (4096 + rows.size() * 12000);
    page += pageHead (tally, rows.size());
    page += summary (tally, rows.size());
    page += tableHead (anyChecks);
    for (const auto& r : rows)
        page += fileRow (r, anyChecks);
    page += "</tbody>\n</table>\n<script>";
    page += kScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
}

Outcome writeReportPage (const juce::File& page, const std::vector<juce::var>& lines)
{
    const auto text = htmlReportPage (lines);
    const auto failure = Outcome::failure ("Failed to write report page: " + page.getFullPathName());

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
        return done == text.size() && closed ? Outcome::success() : failure;
    }
    const auto temp = temporarySiblingFor (page);
    const in_flight_files::Scope inFlight (temp);
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
    return Outcome::success();
}

} // namespace tessaloom
