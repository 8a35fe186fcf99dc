#include "app/ReportWriter.h"

#include "app/ReportSchema.h"

#include "common/Levels.h"
#include "io/InFlightFiles.h"
#include "io/NativeNames.h"
#include "pipeline/Delivery.h"
#include "pipeline/steps/Steps.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace tessaloom
{

namespace
{
namespace key = report_schema::key;

// JUCE writes BEL as \a, which JSON does not have: strict readers (jq, the
// scale-out merge) would refuse the whole line of a file whose name holds one.
// A name that is not UTF-8 (io/NativeNames.h) has its bytes written \udc80 to
// \udcff, from which Python's json.loads and os.fsencode give the name back.
juce::String quoted (const juce::String& text)
{
    constexpr juce::juce_wchar bell = 7;
    const auto special = [] (juce::juce_wchar c) { return c == bell || native_names::escapedByte (c) >= 0; };
    juce::String json ("\"");
    int from = 0, at = 0;
    for (auto p = text.getCharPointer();; ++p, ++at)
    {
        const auto c = *p;
        if (c != 0 && ! special (c))
            continue;
        json << juce::JSON::escapeString (text.substring (from, at));
        if (c == 0)
            break;
        json << (c == bell ? juce::String ("\\u0007") : "\\u" + juce::String::toHexString ((int) c));
        from = at + 1;
    }
    return json + "\"";
}

// Fixed point: the reader compares figures to hundredths of a dB, so three
// decimals keep the rounding out of the way.
juce::String number (double value, int decimals = 3)
{
    return juce::String (value, decimals);
}

template <typename T>
juce::String numberOrNull (const std::optional<T>& value, int decimals = 3)
{
    return value ? number ((double) *value, decimals) : juce::String ("null");
}

// Builds one flat JSON object in insertion order.
class Fields
{
public:
    Fields& add (const char* name, const juce::String& json)
    {
        text << (text.isEmpty() ? "{" : ",") << "\"" << name << "\":" << json;
        return *this;
    }
    juce::String close() const { return text.isEmpty() ? juce::String ("{}") : text + "}"; }

private:
    juce::String text;
};

// Each step of the chain writes its own keys (pipeline/steps/), quoted by the report's rule.
juce::String settingsJson (const PipelineConfig& config, const PipelineResult& r)
{
    return steps::settingsJson (config, r.mapping, r.settings, quoted);
}

// The preset's requirements against the written file; a file with no
// measured output fails them all (checks null).
// Why the noise-floor check could not pass, when the denoiser's limit fell short of what the floor needed.
std::optional<juce::String> floorNote (const RoomFindings* room)
{
    if (room == nullptr || ! room->denoiseLimitNeededDb || ! room->denoiseLimitDb
        || ! (*room->denoiseLimitNeededDb > *room->denoiseLimitDb))
        return std::nullopt;
    return "the noise floor needs " + juce::String (*room->denoiseLimitNeededDb, 1)
           + " dB of noise reduction; the recording's SNR allows " + juce::String (*room->denoiseLimitDb, 1) + " dB";
}

juce::String deliveryJson (const juce::String& presetName, const delivery::Preset* preset,
                           const std::optional<OutputMeasurement>& output, const RoomFindings* room = nullptr)
{
    Fields f;
    f.add (key::preset, quoted (presetName));
    if (preset == nullptr || ! output)
        return f.add (key::pass, "false").add (key::checks, "null").close();
    const auto verdict = delivery::check (*preset, *output);
    juce::StringArray checks;
    for (const auto& c : verdict.checks)
    {
        Fields check;
        check.add (key::requirement, quoted (c.requirement))
            .add (key::measured, number (c.measured))
            .add (key::min, numberOrNull (c.min))
            .add (key::max, numberOrNull (c.max))
            .add (key::pass, c.pass ? "true" : "false");
        if (const auto note = floorNote (room); note && ! c.pass && juce::String (c.requirement) == key::noiseFloorDbfs)
            check.add (key::note, quoted (*note));
        checks.add (check.close());
    }
    return f.add (key::pass, verdict.pass ? "true" : "false").add (key::checks, "[" + checks.joinIntoString (",") + "]").close();
}

juce::String deliveryJson (const juce::String& presetName, const std::optional<OutputMeasurement>& output,
                           const RoomFindings* room = nullptr)
{
    return deliveryJson (presetName, delivery::findPreset (presetName), output, room);
}

// A lossy delivery: the codec, the encodes, the correction before encoding (the most
// the codec's input was lowered anywhere, by the whole-file limiter and the local cuts,
// the loudness that cost, and the gain before them), and
// the decoded file's loudness and true peak (null when it was encoded once,
// without the search, as the peak-trim finish does).
juce::String encodeJson (const EncodedDelivery& e)
{
    const bool measured = e.decodedTruePeakDbtp > kNotMeasuredLufs;
    return Fields()
        .add (key::codec, quoted (codecName (e.format.codec)))
        .add (key::bitrateKbps, juce::String (e.format.bitrateKbps))
        .add (key::encodes, juce::String (e.encodes))
        .add (key::correctionDb, number (e.correctionDb))
        .add (key::correctionCostLu, number (e.correctionCostLu))
        .add (key::gainDb, number (e.gainDb))
        .add (key::decodedIntegratedLufs, measured ? number (e.decodedLufs) : juce::String ("null"))
        .add (key::decodedTruePeakDbtp, measured ? number (e.decodedTruePeakDbtp) : juce::String ("null"))
        .add (key::ceilingDbtp, measured ? number (e.ceilingDbtp) : juce::String ("null"))
        .add (key::ceilingMet, measured ? (e.ceilingMet ? "true" : "false") : juce::String ("null"))
        .close();
}

juce::String outputJson (const PipelineConfig& config, const OutputMeasurement& o)
{
    const auto& a = o.analysis;
    const bool measured = a.integratedLUFS > kNotMeasuredLufs;
    return Fields()
        .add (key::integratedLufs, number (a.integratedLUFS))
        .add (key::truePeakDbtp, number (o.truePeakDbtp))
        .add (key::samplePeakDbfs, number (o.samplePeakDbfs))
        .add (key::loudnessRangeLu, numberOrNull (o.loudnessRangeLu))
        .add (key::durationSeconds, number (a.durationSeconds))
        .add (key::numFrames, juce::String (o.numFrames))
        .add (key::sampleRate, juce::String (a.sampleRate, 0))
        .add (key::numChannels, juce::String (a.numChannels))
        .add (key::targetLufs, number (config.targetLufs))
        .add (key::offTargetLu, measured ? number (a.integratedLUFS - config.targetLufs) : "null")
        .add (key::noiseFloorDbfs, number (a.noiseFloorDBFS))
        .close();
}
// A number as short as it can be written at this precision: the curves'
// arrays are the bulk of a line.
void appendCompact (std::string& out, double value, int decimals)
{
    char text[32];
    const int n = std::snprintf (text, sizeof (text), "%.*f", decimals, std::isfinite (value) ? value : 0.0);
    int end = n;
    if (decimals > 0)
    {
        while (end > 0 && text[end - 1] == '0')
            --end;
        if (end > 0 && text[end - 1] == '.')
            --end;
    }
    if (end == 2 && text[0] == '-' && text[1] == '0')
    {
        out += '0';
        return;
    }
    out.append (text, (size_t) end);
}

juce::String compactArray (const std::vector<float>& values, int decimals)
{
    std::string out ("[");
    out.reserve (values.size() * 7 + 2);
    for (size_t i = 0; i < values.size(); ++i)
    {
        if (i > 0)
            out += ',';
        appendCompact (out, values[i], decimals);
    }
    out += ']';
    return juce::String (out);
}

// The pictures' data, one compact array per curve, so a page can be made again from the line.
juce::String overviewJson (const std::optional<SignalOverview>& o)
{
    if (! o)
        return "null";
    return Fields()
        .add (key::shortTermStepSeconds, number (o->shortTermStepSeconds, 1))
        .add (key::shortTermLufs, compactArray (o->shortTermLufs, 1))
        .add (key::waveformStepSeconds, number (o->waveformStepSeconds, 6))
        .add (key::waveformMin, compactArray (o->waveformMin, 3))
        .add (key::waveformMax, compactArray (o->waveformMax, 3))
        .close();
}
} // namespace

namespace
{
// The room: what was measured of it and done about it; null fields were not measured or not done.
juce::String roomJson (const RoomFindings& room)
{
    const auto int64OrNull = [] (const std::optional<juce::int64>& v) { return v ? juce::String (*v) : juce::String ("null"); };
    juce::String clipping ("null"), hum ("null"), limit ("null"), background ("null");
    if (const auto& c = room.clipping)
        clipping = Fields()
                       .add (key::runs, juce::String (c->runs))
                       .add (key::longestRun, juce::String (c->longestRun))
                       .add (key::clippedSamples, juce::String (c->clippedSamples))
                       .add (key::share, number (c->share, 8))
                       .add (key::declippedSamples, int64OrNull (room.declippedSamples))
                       .close();
    if (const auto& h = room.hum)
    {
        juce::StringArray lines;
        for (const auto& l : h->lines)
            lines.add (Fields()
                           .add (key::harmonic, juce::String (l.harmonic))
                           .add (key::hz, number (l.frequencyHz, 2))
                           .add (key::overNeighboursDb, number (l.overNeighboursDb, 1))
                           .close());
        std::vector<float> notched (room.humNotchedHz);
        hum = Fields()
                  .add (key::mainsHz, h->found() ? juce::String (h->mainsHz) : juce::String ("null"))
                  .add (key::fundamentalHz, h->found() ? number (h->fundamentalHz, 2) : juce::String ("null"))
                  .add (key::lines, "[" + lines.joinIntoString (",") + "]")
                  .add (key::notchedHz, compactArray (notched, 2))
                  .close();
    }
    if (room.denoiseLimitDb)
        limit = Fields()
                    .add (key::db, number (*room.denoiseLimitDb, 1))
                    .add (key::source, quoted (room.denoiseLimitSource))
                    .add (key::neededDb, room.denoiseLimitNeededDb ? number (*room.denoiseLimitNeededDb, 1) : juce::String ("null"))
                    .close();
    if (room.inputSpeechToPauseDb)
        background = Fields()
                         .add (key::inputSpeechToPauseDb, number (*room.inputSpeechToPauseDb, 2))
                         .add (key::outputSpeechToPauseDb, room.outputSpeechToPauseDb ? number (*room.outputSpeechToPauseDb, 2)
                                                                                   : juce::String ("null"))
                         .add (key::pausesLoweredDb, number (room.backgroundDuckDb, 1))
                         .add (key::shapePasses, juce::String (room.backgroundShapePasses))
                         .close();
    return Fields()
        .add (key::clipping, clipping)
        .add (key::hum, hum)
        .add (key::denoiseLimit, limit)
        .add (key::background, background)
        .close();
}
} // namespace

juce::String reportLine (const juce::File& input, const juce::File& output, const PipelineConfig& config,
                         const PipelineResult* r, const juce::String& error)
{
    const bool ok = r != nullptr && r->success;
    Fields f;
    f.add (key::inputPath, quoted (input.getFullPathName()))
        .add (key::outputPath, quoted (output.getFullPathName()))
        .add (key::success, ok ? "true" : "false")
        .add (key::error, ok ? juce::String ("null") : quoted (error));
    if (r == nullptr)
    {
        for (const auto* name : report_schema::nullWithoutResult)
            f.add (name, "null");
        if (config.deliveryPreset.isNotEmpty())
            f.add (key::delivery, deliveryJson (config.deliveryPreset, std::nullopt));
        return f.add (key::curves, "null").close();
    }

    f.add (key::denoiseEngine, r->denoiseEngine.isNotEmpty() ? quoted (r->denoiseEngine) : juce::String ("null"))
        // The denoiser whose result was used, as given, and whether it is the bundled one.
        .add (key::denoiserPath, r->room.denoiserPath.isNotEmpty() ? quoted (r->room.denoiserPath) : juce::String ("null"))
        .add (key::denoiserBundled, r->room.denoiserBundled ? juce::String (*r->room.denoiserBundled ? "true" : "false")
                                                         : juce::String ("null"))
        .add (key::processingTimeMs, number (r->processingTimeMs, 1))
        // The same object the program keeps as the Pass 1 analysis JSON.
        .add (key::inputAnalysis, r->analysisJson.isNotEmpty() ? r->analysisJson : juce::String ("null"))
        .add (key::settings, settingsJson (config, *r))
        .add (key::output, r->output ? outputJson (config, *r->output) : juce::String ("null"))
        .add (key::outputMeasureError, r->outputMeasureError.isNotEmpty() ? quoted (r->outputMeasureError) : juce::String ("null"))
        .add (key::outputMeasureMs, number (r->outputMeasureMs, 1));
    if (r->encode)
        f.add (key::encode, encodeJson (*r->encode));
    if (config.deliveryPreset.isNotEmpty())
        f.add (key::delivery, deliveryJson (config.deliveryPreset, ok ? r->output : std::nullopt, &r->room));
    f.add (key::room, roomJson (r->room));
    // The pictures' data last: the bulk of a line, after every figure a reader looks for.
    return f.add (key::curves, r->inputOverview || r->outputOverview
                                ? Fields()
                                      .add (key::input, overviewJson (r->inputOverview))
                                      .add (key::output, overviewJson (r->outputOverview))
                                      .close()
                                : juce::String ("null"))
        .close();
}

namespace
{
// One lock for the lines of every report: the interrupt path takes it for good.
std::timed_mutex& linesLock()
{
    static auto* lock = new std::timed_mutex();
    return *lock;
}

juce::String describeErrno (int errorNumber)
{
    return juce::String (std::strerror (errorNumber));
}
} // namespace

Outcome ReportWriter::create (const juce::File& file, std::unique_ptr<ReportWriter>& writer)
{
    // Close-on-exec: the tools the run starts have no business holding it.
    const int fd = file.isDirectory() ? -1
                                      : ::open (file.getFullPathName().toRawUTF8(),
                                                O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    writer.reset();
    if (fd < 0)
        return Outcome::failure ("Failed to create report file: " + file.getFullPathName());
    writer.reset (new ReportWriter (fd, file));
    return Outcome::success();
}

ReportWriter::~ReportWriter()
{
    if (fd >= 0)
        ::close (fd);
}

void ReportWriter::add (const juce::File& input, const juce::File& output, const PipelineConfig& config,
                        const PipelineResult* result, const juce::String& error)
{
    // Built outside the lock: only the write itself is shared.
    juce::String line;
    bool built = false;
    try
    {
        line = reportLine (input, output, config, result, error) + "\n";
        built = true;
    }
    catch (...)
    {
    }
    writeLine (line, built, &output);
}

void ReportWriter::addLine (const juce::String& line)
{
    juce::String withEnd;
    bool built = false;
    try
    {
        withEnd = line + "\n";
        built = true;
    }
    catch (...)
    {
    }
    writeLine (withEnd, built, nullptr);
}

void ReportWriter::writeLine (const juce::String& line, bool built, const juce::File* settledOutput)
{
    const std::lock_guard<std::timed_mutex> guard (linesLock());
    // The output came into place still in flight (AudioPipeline.h): from the
    // end of this call on, a stop keeps it, with its line when it could be
    // written. Under the lock the interrupt takes before it removes what is in flight.
    const struct Settled
    {
        const juce::File* output;
        ~Settled()
        {
            if (output != nullptr)
                in_flight_files::remove (*output);
        }
    } settled { settledOutput };
    if (failure.isNotEmpty() || ! built)
    {
        if (failure.isEmpty())
            failure = "out of memory for a line";
        ++linesLost;
        return;
    }

    const char* bytes = line.toRawUTF8();
    const size_t size = line.getNumBytesAsUTF8();
    size_t done = 0;
    while (done < size)
    {
        const auto n = ::write (fd, bytes + done, size - done);
        if (n > 0)
        {
            done += (size_t) n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;

        // A short write without an error is a full disk by another name.
        failure = describeErrno (n < 0 ? errno : ENOSPC);
        // What reached the file of this line is taken back, so the file ends
        // with its last whole line; nothing is written after it.
        if (done > 0 && ::ftruncate (fd, (off_t) wholeBytes) != 0)
            lastLineCut = true;
        ++linesLost;
        return;
    }
    wholeBytes += (juce::int64) size;
    ++linesWritten;
}

Outcome ReportWriter::finish()
{
    const std::lock_guard<std::timed_mutex> guard (linesLock());
    bool closeFailed = false;
    if (fd >= 0)
    {
        if (::close (fd) != 0 && failure.isEmpty())
        {
            failure = describeErrno (errno);
            closeFailed = true;
        }
        fd = -1;
    }
    if (failure.isEmpty())
        return Outcome::success();

    const auto path = file.getFullPathName();
    const juce::String unaffected (" The mastered files are not affected.");
    if (closeFailed)
        return Outcome::failure ("Failed to write report file: " + path + " (" + failure
                                 + " when closing it); it may not hold every line." + unaffected);
    return Outcome::failure ("Failed to write report file: " + path + " (" + failure + "); it holds the lines of "
                             + juce::String (linesWritten) + " of " + juce::String (linesWritten + linesLost) + " files"
                             + (lastLineCut ? ", and part of one more, cut short." : ".") + unaffected);
}

void ReportWriter::holdForExit()
{
    // Bounded: a report that is a pipe nobody reads must not hold the exit.
    [[maybe_unused]] const bool held = linesLock().try_lock_for (std::chrono::seconds (2));
}

juce::String checkReportLine (const juce::File& input, const delivery::Preset& limits, const OutputMeasurement* measured,
                              const juce::String& error, double processingTimeMs)
{
    Fields f;
    f.add (key::inputPath, quoted (input.getFullPathName()))
        .add (key::outputPath, "null")
        .add (key::check, "true")
        .add (key::success, measured != nullptr ? "true" : "false")
        .add (key::error, measured != nullptr ? juce::String ("null") : quoted (error))
        .add (key::processingTimeMs, number (processingTimeMs, 1));
    if (measured == nullptr)
        f.add (key::output, "null");
    else
    {
        const auto& a = measured->analysis;
        const bool loudnessChecked = limits.loudnessToleranceLu.has_value();
        const bool hasLoudness = a.integratedLUFS > kNotMeasuredLufs;
        f.add (key::output, Fields()
                             .add (key::integratedLufs, number (a.integratedLUFS))
                             .add (key::truePeakDbtp, number (measured->truePeakDbtp))
                             .add (key::samplePeakDbfs, number (measured->samplePeakDbfs))
                             .add (key::rmsDbfs, number (measured->rmsDbfs))
                             .add (key::quietestHalfSecondDbfs, number (measured->quietestHalfSecondDbfs))
                             .add (key::durationSeconds, number (a.durationSeconds))
                             .add (key::numFrames, juce::String (measured->numFrames))
                             .add (key::sampleRate, juce::String (a.sampleRate, 0))
                             .add (key::numChannels, juce::String (a.numChannels))
                             .add (key::targetLufs, loudnessChecked ? number (limits.targetLufs) : "null")
                             .add (key::offTargetLu, loudnessChecked && hasLoudness ? number (a.integratedLUFS - limits.targetLufs) : "null")
                             .close());
    }
    const auto m = measured != nullptr ? std::optional<OutputMeasurement> (*measured) : std::nullopt;
    return f.add (key::delivery, deliveryJson (limits.name, &limits, m)).add (key::curves, "null").close();
}

} // namespace tessaloom
