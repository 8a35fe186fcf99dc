#include "app/ReportWriter.h"

#include "common/Levels.h"
#include "pipeline/Delivery.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace
{
// JUCE writes BEL as \a, which JSON does not have: strict readers (jq, the
// scale-out merge) would refuse the whole line of a file whose name holds one.
juce::String quoted (const juce::String& text)
{
    constexpr juce::juce_wchar bell = 7;
    juce::String json ("\"");
    for (int from = 0;;)
    {
        const int at = text.indexOfChar (from, bell);
        json << juce::JSON::escapeString (text.substring (from, at < 0 ? text.length() : at));
        if (at < 0)
            break;
        json << "\\u0007";
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

juce::String settingsJson (const PipelineConfig& config, const PipelineResult& r)
{
    const auto& s = r.settings;
    const auto& m = r.mapping;
    const juce::String eq = s.vocalEq ? Fields()
                                            .add ("voiceType", quoted (config.voiceType))
                                            .add ("airShelfDb", number (m.airShelfDb))
                                            .add ("presenceDb", number (m.presenceDb))
                                            .add ("mudCutDb", number (m.mudCutDb))
                                            .close()
                                      : juce::String ("null");
    return Fields()
        .add ("chainRan", s.ran ? "true" : "false")
        .add ("denoiseAttenuationLimitDb", config.denoise ? number (m.df3AttenLimitDb) : "null")
        .add ("preGainDb", numberOrNull (s.preGainDb))
        .add ("deEsserThresholdDbfs", numberOrNull (s.deEsserThresholdDb))
        .add ("expanderThresholdDbfs", numberOrNull (s.expanderThresholdDb))
        .add ("expanderRatio", numberOrNull (s.expanderRatio))
        .add ("eq", eq)
        .add ("compressorRatio", numberOrNull (s.compressorRatio))
        .add ("saturationDriveDb", numberOrNull (s.saturationDriveDb))
        .add ("normalizationMeasuredLufs", s.ran ? number (s.normalizationMeasuredLufs) : "null")
        .add ("normalizationGainDb", numberOrNull (s.normalizationGainDb))
        .add ("limiterCeilingDbfs", numberOrNull (s.limiterCeilingDb))
        .add ("outputTrimDb", numberOrNull (s.outputTrimDb))
        .add ("finish", quoted (config.finish == Finish::loudness ? "loudness" : "peak-trim"))
        .add ("truePeakCeilingDbtp", numberOrNull (s.truePeakCeilingDbtp))
        .add ("limiterMaxGainReductionDb", numberOrNull (s.limiterMaxGainReductionDb))
        .add ("limiterMeanGainReductionDb", numberOrNull (s.limiterMeanGainReductionDb))
        .add ("finishDriveDb", numberOrNull (s.finishDriveDb))
        .add ("finishGainDb", numberOrNull (s.finishGainDb))
        .add ("finishPasses", s.finishPasses > 0 ? juce::String (s.finishPasses) : juce::String ("null"))
        .close();
}

// The preset's requirements against the written file; a file with no
// measured output fails them all (checks null).
juce::String deliveryJson (const juce::String& presetName, const std::optional<OutputMeasurement>& output)
{
    const auto* preset = delivery::findPreset (presetName);
    Fields f;
    f.add ("preset", quoted (presetName));
    if (preset == nullptr || ! output)
        return f.add ("pass", "false").add ("checks", "null").close();
    const auto verdict = delivery::check (*preset, *output);
    juce::StringArray checks;
    for (const auto& c : verdict.checks)
        checks.add (Fields()
                        .add ("requirement", quoted (c.requirement))
                        .add ("measured", number (c.measured))
                        .add ("min", numberOrNull (c.min))
                        .add ("max", numberOrNull (c.max))
                        .add ("pass", c.pass ? "true" : "false")
                        .close());
    return f.add ("pass", verdict.pass ? "true" : "false").add ("checks", "[" + checks.joinIntoString (",") + "]").close();
}

// A lossy delivery: the codec, the encodes, the correction before encoding (how
// far under the ceiling the limiter before the encoder was set, and the gain into it), and
// the decoded file's loudness and true peak (null when it was encoded once,
// without the search, as the peak-trim finish does).
juce::String encodeJson (const EncodedDelivery& e)
{
    const bool measured = e.decodedTruePeakDbtp > kNotMeasuredLufs;
    return Fields()
        .add ("codec", quoted (codecName (e.format.codec)))
        .add ("bitrateKbps", juce::String (e.format.bitrateKbps))
        .add ("encodes", juce::String (e.encodes))
        .add ("correctionDb", number (e.correctionDb))
        .add ("gainDb", number (e.gainDb))
        .add ("decodedIntegratedLufs", measured ? number (e.decodedLufs) : juce::String ("null"))
        .add ("decodedTruePeakDbtp", measured ? number (e.decodedTruePeakDbtp) : juce::String ("null"))
        .add ("ceilingDbtp", measured ? number (e.ceilingDbtp) : juce::String ("null"))
        .add ("ceilingMet", measured ? (e.ceilingMet ? "true" : "false") : juce::String ("null"))
        .close();
}

juce::String outputJson (const PipelineConfig& config, const OutputMeasurement& o)
{
    const auto& a = o.analysis;
    const bool measured = a.integratedLUFS > kNotMeasuredLufs;
    return Fields()
        .add ("integratedLufs", number (a.integratedLUFS))
        .add ("truePeakDbtp", number (a.truePeakDBTP))
        .add ("samplePeakDbfs", number (o.samplePeakDbfs))
        .add ("loudnessRangeLu", numberOrNull (o.loudnessRangeLu))
        .add ("durationSeconds", number (a.durationSeconds))
        .add ("numFrames", juce::String (o.numFrames))
        .add ("sampleRate", juce::String (a.sampleRate, 0))
        .add ("numChannels", juce::String (a.numChannels))
        .add ("targetLufs", number (config.targetLufs))
        .add ("offTargetLu", measured ? number (a.integratedLUFS - config.targetLufs) : "null")
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
        .add ("shortTermStepSeconds", number (o->shortTermStepSeconds, 1))
        .add ("shortTermLufs", compactArray (o->shortTermLufs, 1))
        .add ("waveformStepSeconds", number (o->waveformStepSeconds, 6))
        .add ("waveformMin", compactArray (o->waveformMin, 3))
        .add ("waveformMax", compactArray (o->waveformMax, 3))
        .close();
}
} // namespace

juce::String reportLine (const juce::File& input, const juce::File& output, const PipelineConfig& config,
                         const PipelineResult* r, const juce::String& error)
{
    const bool ok = r != nullptr && r->success;
    Fields f;
    f.add ("inputPath", quoted (input.getFullPathName()))
        .add ("outputPath", quoted (output.getFullPathName()))
        .add ("success", ok ? "true" : "false")
        .add ("error", ok ? juce::String ("null") : quoted (error));
    if (r == nullptr)
    {
        f.add ("denoiseEngine", "null")
            .add ("processingTimeMs", "null")
            .add ("inputAnalysis", "null")
            .add ("settings", "null")
            .add ("output", "null");
        if (config.deliveryPreset.isNotEmpty())
            f.add ("delivery", deliveryJson (config.deliveryPreset, std::nullopt));
        return f.add ("curves", "null").close();
    }

    f.add ("denoiseEngine", r->denoiseEngine.isNotEmpty() ? quoted (r->denoiseEngine) : juce::String ("null"))
        .add ("processingTimeMs", number (r->processingTimeMs, 1))
        // The same object the program keeps as the Pass 1 analysis JSON.
        .add ("inputAnalysis", r->analysisJson.isNotEmpty() ? r->analysisJson : juce::String ("null"))
        .add ("settings", settingsJson (config, *r))
        .add ("output", r->output ? outputJson (config, *r->output) : juce::String ("null"))
        .add ("outputMeasureError", r->outputMeasureError.isNotEmpty() ? quoted (r->outputMeasureError) : juce::String ("null"))
        .add ("outputMeasureMs", number (r->outputMeasureMs, 1));
    if (r->encode)
        f.add ("encode", encodeJson (*r->encode));
    if (config.deliveryPreset.isNotEmpty())
        f.add ("delivery", deliveryJson (config.deliveryPreset, ok ? r->output : std::nullopt));
    // The pictures' data last: the bulk of a line, after every figure a reader looks for.
    return f.add ("curves", r->inputOverview || r->outputOverview
                                ? Fields()
                                      .add ("input", overviewJson (r->inputOverview))
                                      .add ("output", overviewJson (r->outputOverview))
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

std::unique_ptr<ReportWriter> ReportWriter::create (const juce::File& file, juce::String& error)
{
    // Close-on-exec: the tools the run starts have no business holding it.
    const int fd = file.isDirectory() ? -1
                                      : ::open (file.getFullPathName().toRawUTF8(),
                                                O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
    {
        error = "Failed to create report file: " + file.getFullPathName();
        return nullptr;
    }
    return std::unique_ptr<ReportWriter> (new ReportWriter (fd, file));
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

    const std::lock_guard<std::timed_mutex> guard (linesLock());
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

juce::String ReportWriter::finish()
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
        return {};

    const auto path = file.getFullPathName();
    const juce::String unaffected (" The mastered files are not affected.");
    if (closeFailed)
        return "Failed to write report file: " + path + " (" + failure
               + " when closing it); it may not hold every line." + unaffected;
    return "Failed to write report file: " + path + " (" + failure + "); it holds the lines of "
           + juce::String (linesWritten) + " of " + juce::String (linesWritten + linesLost) + " files"
           + (lastLineCut ? ", and part of one more, cut short." : ".") + unaffected;
}

void ReportWriter::holdForExit()
{
    // Bounded: a report that is a pipe nobody reads must not hold the exit.
    [[maybe_unused]] const bool held = linesLock().try_lock_for (std::chrono::seconds (2));
}
