#include "app/CommandLine.h"

#include "pipeline/Delivery.h"

#include <cmath>
#include <optional>

namespace tessaloom
{

namespace
{
constexpr float kLowestCeilingDbtp = -30.0f;
// The targets a file can be mastered onto: nothing quieter than the absolute
// gate of the loudness measurement (below it there is nothing to measure the
// result by), nothing louder than full scale.
constexpr float kLowestTargetLufs = -70.0f, kHighestTargetLufs = 0.0f;

// "true" and "1" switch an option on; every other text switches it off.
bool parseBool (const juce::String& value)
{
    return value == "true" || value == "1";
}

// The same reading, with a warning for a text that is none of the four spellings
// (yes, on, TRUE...): the meaning stays, but the user learns it.
bool parseBool (const juce::String& name, const juce::String& value, juce::StringArray& warnings)
{
    const bool on = parseBool (value);
    if (! on && value != "false" && value != "0")
        warnings.add ("WARNING: " + name + " \"" + value + "\" is read as false (the values are true, 1, false and 0)");
    return on;
}

// The options beyond the original set: each also takes its value as --name=value.
bool takesJoinedValue (const juce::String& name)
{
    static const juce::StringArray names { "--report", "--report-html", "--render-report", "--finish", "--true-peak",
                                           "--preset", "--hum", "--declip", "--denoise-limit", "--outputs-only",
                                           "--lufs-tolerance", "--output-format", "--bitrate", "--bit-depth",
                                           "--all-formats" };
    return names.contains (name);
}

// The switches among them: given alone (last, or before another option) they mean true.
bool isSwitch (const juce::String& name)
{
    return name == "--declip" || name == "--outputs-only" || name == "--all-formats";
}

juce::String presetNames()
{
    juce::StringArray names;
    for (const auto& p : delivery::presets())
        names.add (p.name);
    return names.joinIntoString (", ");
}

// The range --denoise-limit takes, dB: from no reduction to the denoiser's deepest.
constexpr float kLowestDenoiseLimitDb = 0.0f;
constexpr float kHighestDenoiseLimitDb = 60.0f;

// The bit rates each lossy encoder takes, kbps: LAME's MPEG-1 to -2.5 rates,
// FFmpeg's AAC encoder's useful range, and libopus's.
bool bitrateAllowed (OutputCodec codec, int kbps)
{
    switch (codec)
    {
        case OutputCodec::mp3:  return kbps >= 8 && kbps <= 320;
        case OutputCodec::aac:  return kbps >= 16 && kbps <= 512;
        case OutputCodec::opus: return kbps >= 6 && kbps <= 510;
        default:                return false;
    }
}

// A relative path is taken from the working directory; an empty one stays empty.
juce::File parsePath (const juce::String& value)
{
    if (value.isEmpty())
        return {};
    return juce::File::getCurrentWorkingDirectory().getChildFile (value);
}
// --check: the limits are the preset's, each given on its own replacing its
// own (--target-lufs with --lufs-tolerance, default 1 LU, checks the loudness;
// --true-peak the true peak). Sets isValid or errorMessage.
void checkLimitsFrom (CommandLineOptions& options, const juce::String& presetName, std::optional<float> targetLufs,
                      std::optional<float> truePeakDbtp, std::optional<float> toleranceLu, const juce::String& invalid,
                      bool noInput, bool noOutput)
{
    auto& limits = options.checkLimits;
    limits = {};
    limits.name = "limits";
    limits.targetLufs = options.config.targetLufs;
    limits.ceilingDbtp = options.config.truePeakDbtp;
    const auto* preset = presetName.isNotEmpty() ? delivery::findPreset (presetName) : nullptr;
    if (preset != nullptr)
        limits = *preset;
    if (targetLufs)
    {
        limits.targetLufs = *targetLufs;
        if (! limits.loudnessToleranceLu)
            limits.loudnessToleranceLu = 1.0f;
    }
    if (toleranceLu)
        limits.loudnessToleranceLu = *toleranceLu;
    if (truePeakDbtp)
        limits.maxTruePeakDbtp = *truePeakDbtp;

    if (! options.checkOnly)
        options.errorMessage = "--lufs-tolerance is a limit of --check.";
    else if (! options.renderReports.isEmpty())
        options.errorMessage = "--check measures files; --render-report makes a page from reports: give one of them.";
    else if (! noOutput)
        options.errorMessage = "--check measures files and writes no audio: it takes no --output or --output-dir.";
    else if (noInput)
        options.errorMessage = "--check needs --input <file> or --input-dir <dir>.";
    else if (invalid.isNotEmpty() || (presetName.isNotEmpty() && preset == nullptr))
        options.errorMessage = "Invalid value for argument: " + (invalid.isNotEmpty() ? invalid : juce::String ("--preset"));
    else if (targetLufs && ! std::isfinite (*targetLufs))
        options.errorMessage = "Invalid value for argument: --target-lufs";
    else if (truePeakDbtp && ! (std::isfinite (*truePeakDbtp) && *truePeakDbtp <= 0.0f && *truePeakDbtp >= kLowestCeilingDbtp))
        options.errorMessage = "Invalid value for argument: --true-peak";
    else if (toleranceLu && ! (std::isfinite (*toleranceLu) && *toleranceLu >= 0.0f))
        options.errorMessage = "Invalid value for argument: --lufs-tolerance";
    else if (preset == nullptr && ! targetLufs && ! truePeakDbtp)
        options.errorMessage = "--check needs --preset <name> or limits (--target-lufs, --true-peak).";
    else if (toleranceLu && ! targetLufs && preset == nullptr)
        options.errorMessage = "--lufs-tolerance needs --target-lufs or a --preset that checks the loudness.";
    else
        options.isValid = true;
}
} // namespace

namespace
{
// What the arguments said, before the options that depend on each other are
// settled: a preset sets the finish, the target and the ceiling, and each given
// on its own overrides it, wherever it stands.
struct Parsed
{
    CommandLineOptions options;
    std::optional<float> targetLufs, truePeakDbtp, checkToleranceLu;
    std::optional<Finish> finish;
    std::optional<HumMode> hum;
    std::optional<bool> declip;
    std::optional<OutputCodec> outputCodec;
    std::optional<int> bitrate, bitDepth;
    juce::String preset;
    // The first value refused, as "Invalid value for argument: <invalid>" says it.
    juce::String invalid;
    // A file's path that ends with a separator names a folder: the run would write a file of the folder's name.
    juce::String folderForFile;
};

void takeFinish (Parsed& p, const juce::String& name, const juce::String& value)
{
    if (value == "loudness")       p.finish = Finish::loudness;
    else if (value == "peak-trim") p.finish = Finish::peakTrim;
    else                           p.invalid = name + " (the values are loudness and peak-trim)";
}

void takeHum (Parsed& p, const juce::String& name, const juce::String& value)
{
    if (value == "auto")     p.hum = HumMode::automatic;
    else if (value == "50")  p.hum = HumMode::mains50;
    else if (value == "60")  p.hum = HumMode::mains60;
    else if (value == "off") p.hum = HumMode::off;
    else                     p.invalid = name + " (the values are auto, 50, 60 and off)";
}

void takeDenoiseLimit (Parsed& p, const juce::String& name, const juce::String& value)
{
    const auto limit = value.getFloatValue();
    const bool isNumber = value.isNotEmpty() && value.containsOnly ("0123456789.+-") && value.containsAnyOf ("0123456789");
    if (! isNumber || ! (limit >= kLowestDenoiseLimitDb && limit <= kHighestDenoiseLimitDb))
        p.invalid = name + " (a number of dB from 0 to 60)";
    else
        p.options.config.denoiseLimitDb = limit;
}

void takeOutputFormat (Parsed& p, const juce::String& name, const juce::String& value)
{
    if (OutputCodec codec; codecFromName (value, codec))
        p.outputCodec = codec;
    else
        p.invalid = name;
}

void takeBitrate (Parsed& p, const juce::String& name, const juce::String& value)
{
    p.bitrate = value.getIntValue();
    if (! value.containsOnly ("0123456789") || value.isEmpty())
        p.invalid = name;
}

void takeBitDepth (Parsed& p, const juce::String& name, const juce::String& value)
{
    if (value == "16" || value == "24") p.bitDepth = value.getIntValue();
    else if (value == "32f")            p.bitDepth = 32;
    else                                p.invalid = name;
}

// Every option that takes one value, and what it does with it. (--render-report
// takes several, --check none, --help stops the reading: the loop does those.)
struct Option
{
    const char* name;
    void (*take) (Parsed&, const juce::String& name, const juce::String& value);
};

#define TL_TAKE(body) [] (Parsed& p, [[maybe_unused]] const juce::String& name, [[maybe_unused]] const juce::String& value) { body; }
const Option kOptions[] = {
    { "--input",           TL_TAKE (p.options.inputFile = parsePath (value)) },
    { "--output",          TL_TAKE (p.options.outputFile = parsePath (value)) },
    { "--input-dir",       TL_TAKE (p.options.inputDir = parsePath (value)) },
    { "--output-dir",      TL_TAKE (p.options.outputDir = parsePath (value)) },
    { "--denoise",         TL_TAKE (p.options.config.denoise = parseBool (name, value, p.options.warnings)) },
    { "--compressor",      TL_TAKE (p.options.config.compressor = parseBool (name, value, p.options.warnings)) },
    { "--eq",              TL_TAKE (p.options.config.eq = parseBool (name, value, p.options.warnings)) },
    { "--voice-type",      TL_TAKE (p.options.config.voiceType = value) },
    { "--deepfilter-path", TL_TAKE (p.options.config.deepFilterPath = value) },
    { "--ffmpeg-path",     TL_TAKE (p.options.config.ffmpegPath = value) },
    { "--target-lufs",     TL_TAKE (p.targetLufs = value.getFloatValue()) },
    { "--true-peak",       TL_TAKE (p.truePeakDbtp = value.getFloatValue()) },
    { "--preset",          TL_TAKE (p.preset = value) },
    { "--lufs-tolerance",  TL_TAKE (p.checkToleranceLu = value.getFloatValue()) },
    { "--finish",          takeFinish },
    { "--hum",             takeHum },
    { "--declip",          TL_TAKE (p.declip = parseBool (name, value, p.options.warnings)) },
    { "--outputs-only",    TL_TAKE (p.options.config.outputsOnly = parseBool (name, value, p.options.warnings)) },
    { "--all-formats",     TL_TAKE (p.options.allFormats = parseBool (name, value, p.options.warnings)) },
    { "--denoise-limit",   takeDenoiseLimit },
    { "--output-format",   takeOutputFormat },
    { "--bitrate",         takeBitrate },
    { "--bit-depth",       takeBitDepth },
    { "--bypass-stage",    TL_TAKE (p.options.config.bypassStage = value.getIntValue()) },
    { "--report",          TL_TAKE (p.options.reportFile = parsePath (value)) },
    { "--report-html",     TL_TAKE (p.options.reportHtmlFile = parsePath (value)) },
};
#undef TL_TAKE

const Option* findOption (const juce::String& name)
{
    for (const auto& option : kOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

// --render-report: one or more reports, every argument up to the next option
// name. i is the index the loop's step goes on from. False (and the error set)
// when the first value is missing.
bool takeReports (Parsed& p, const juce::StringArray& arguments, int& i, bool joined, const juce::String& value)
{
    const int count = arguments.size();
    auto& reports = p.options.renderReports;
    if (joined)
    {
        if (value.isNotEmpty())
            reports.add (parsePath (value));
        int next = i + 2;
        for (; next < count && ! arguments[next].startsWith ("--"); ++next)
            if (arguments[next].isNotEmpty())
                reports.add (parsePath (arguments[next]));
        i = next - 2;
        return true;
    }
    if (value.startsWith ("--"))
    {
        p.options.errorMessage = "Missing value for argument: --render-report";
        return false;
    }
    int next = i + 1;
    for (; next < count && (next == i + 1 || ! arguments[next].startsWith ("--")); ++next)
        if (arguments[next].isNotEmpty())
            reports.add (parsePath (arguments[next]));
    i = next - 2; // the loop's step lands on the next name
    return true;
}

// The option name at i, and its value when the same argument holds it
// (--name=value for the options beyond the original set), or when it is a
// switch given alone (last, or before another option).
std::pair<juce::String, std::optional<juce::String>> nameAt (const juce::StringArray& arguments, int i)
{
    juce::String name = arguments[i];
    std::optional<juce::String> joined;
    if (name.startsWith ("--") && name.containsChar ('='))
        if (const auto head = name.upToFirstOccurrenceOf ("=", false, false); takesJoinedValue (head))
        {
            joined = name.fromFirstOccurrenceOf ("=", false, false);
            name = head;
        }
    if (! joined && isSwitch (name) && (i + 1 >= arguments.size() || arguments[i + 1].startsWith ("--")))
        joined = juce::String ("true");
    return { name, joined };
}

// Reads every argument into p. False when the reading stops: --help (valid),
// or an argument without its value or unknown (errorMessage set).
bool readArguments (Parsed& p, const juce::StringArray& arguments)
{
    const int count = arguments.size();
    for (int i = 1; i < count; i += 2)
    {
        const auto [name, joined] = nameAt (arguments, i);
        if (name == "--help" || name == "-h" || name == "--help-all")
        {
            p.options.showHelp = true;
            p.options.showAllHelp = name == "--help-all";
            p.options.isValid = true;
            return false;
        }
        if (name == "--check") // the one option without a value
        {
            p.options.checkOnly = true;
            --i; // the loop's step lands on the next name
            continue;
        }
        // Tested before the name is looked up, so a lone trailing unknown name is reported as missing its value.
        if (! joined && i + 1 >= count)
        {
            p.options.errorMessage = "Missing value for argument: " + name;
            return false;
        }
        const juce::String value = joined ? *joined : arguments[i + 1];
        if (joined)
            --i; // one argument held both; the loop's step lands on the next name
        if ((name == "--output" || name == "--report" || name == "--report-html") && value.endsWithChar ('/')
            && p.folderForFile.isEmpty())
            p.folderForFile = "Invalid value for argument: " + name + " (a path ending with / names a folder, not a file): " + value;

        if (name == "--render-report")
        {
            if (! takeReports (p, arguments, i, joined.has_value(), value))
                return false;
        }
        else if (const auto* option = findOption (name))
            option->take (p, name, value);
        else
        {
            p.options.errorMessage = "Unknown argument: " + name;
            return false;
        }
    }
    return true;
}

// The preset first, then each option given on its own over it.
void settleDelivery (Parsed& p)
{
    auto& config = p.options.config;
    if (p.preset.isNotEmpty())
    {
        if (const auto* preset = delivery::findPreset (p.preset))
        {
            config.deliveryPreset = preset->name;
            config.finish = Finish::loudness;
            config.targetLufs = preset->targetLufs;
            config.truePeakDbtp = preset->ceilingDbtp;
            // A preset also looks for 50 or 60 Hz hum, rebuilds clipped stretches and keeps the background down.
            config.hum = HumMode::automatic;
            config.declip = true;
            config.keepBackground = true;
            config.roomLog = true;
        }
        else if (p.invalid.isEmpty())
            p.invalid = "--preset (the presets are " + presetNames() + ")";
    }
    if (p.hum)
        config.hum = *p.hum;
    if (p.declip)
        config.declip = *p.declip;
    if (p.hum || p.declip || config.denoiseLimitDb || config.outputsOnly)
        config.roomLog = true;
    if (p.finish)
        config.finish = *p.finish;
    if (p.targetLufs)
        config.targetLufs = *p.targetLufs;
    if (p.truePeakDbtp)
        config.truePeakDbtp = *p.truePeakDbtp;
}

// The output's format: as asked, else as a single output's extension names it
// (a WAV under an .mp3 name is no delivery), else the specified WAV. Returns the
// error of an asked format the output's name contradicts, or empty.
juce::String settleFormat (Parsed& p)
{
    auto& format = p.options.config.outputFormat;
    const auto& outputFile = p.options.outputFile;
    OutputCodec named = OutputCodec::wav;
    const bool outputNamesFormat = outputFile != juce::File() && codecForExtension (outputFile, named);
    format.codec = p.outputCodec ? *p.outputCodec : (outputNamesFormat ? named : OutputCodec::wav);
    juce::String formatError;
    if (p.outputCodec && outputNamesFormat && named != *p.outputCodec)
        formatError = "--output-format " + codecName (*p.outputCodec) + " does not match the output file's extension ("
                      + outputFile.getFileExtension() + ")";
    if (p.bitrate)
    {
        if (! format.isLossy() || ! bitrateAllowed (format.codec, *p.bitrate))
            p.invalid = p.invalid.isEmpty() ? juce::String ("--bitrate") : p.invalid;
        format.bitrateKbps = *p.bitrate;
    }
    if (p.bitDepth)
    {
        const bool fits = format.codec == OutputCodec::wav || (format.codec == OutputCodec::flac && *p.bitDepth != 32);
        if (! fits)
            p.invalid = p.invalid.isEmpty() ? juce::String ("--bit-depth") : p.invalid;
        format.bitDepth = *p.bitDepth;
    }
    return formatError;
}

// A mastering run: sets isValid or errorMessage.
void validateMastering (Parsed& p, bool noInput, bool noOutput, const juce::String& formatError)
{
    auto& options = p.options;
    const auto& config = options.config;
    if (noInput || noOutput)
        options.errorMessage = "Must specify either --input/--output or --input-dir/--output-dir.";
    else if (p.folderForFile.isNotEmpty())
        options.errorMessage = p.folderForFile;
    else if (! (config.targetLufs >= kLowestTargetLufs && config.targetLufs <= kHighestTargetLufs))
        // A NaN, infinite or absurd target would turn every file into silence reported as a success.
        options.errorMessage = "Invalid value for argument: --target-lufs";
    else if (p.invalid.isNotEmpty())
        options.errorMessage = "Invalid value for argument: " + p.invalid;
    else if (formatError.isNotEmpty())
        options.errorMessage = formatError;
    // A ceiling above full scale cannot be written to a 16-bit file; one under -30 dBTP leaves no program.
    else if (! (config.truePeakDbtp <= 0.0f && config.truePeakDbtp >= kLowestCeilingDbtp))
        options.errorMessage = "Invalid value for argument: --true-peak";
    else
        options.isValid = true;
}

// Making a page from reports masters nothing: it needs the page and no input.
void validateRender (CommandLineOptions& options, bool noInput)
{
    if (! noInput)
        options.errorMessage = "--render-report makes a page from reports and takes no --input or --input-dir.";
    else if (options.reportHtmlFile == juce::File())
        options.errorMessage = "--render-report needs --report-html <file>, the page to write.";
    else
        options.isValid = true;
}
} // namespace

CommandLineOptions parseCommandLine (const juce::StringArray& arguments)
{
    Parsed p;
    if (! readArguments (p, arguments))
        return p.options;
    settleDelivery (p);
    const auto formatError = settleFormat (p);

    auto& options = p.options;
    const bool noInput = options.inputFile == juce::File() && options.inputDir == juce::File();
    const bool noOutput = options.outputFile == juce::File() && options.outputDir == juce::File();
    if (options.checkOnly || p.checkToleranceLu)
        checkLimitsFrom (options, p.preset, p.targetLufs, p.truePeakDbtp, p.checkToleranceLu, p.invalid, noInput, noOutput);
    else if (! options.renderReports.isEmpty())
        validateRender (options, noInput);
    else
        validateMastering (p, noInput, noOutput, formatError);
    return options;
}

juce::String helpText()
{
    // The default shown is the one the options start with (PipelineConfig::targetLufs).
    return "\n"
           "Tessaloom Audio Engine (Batch CPU-Aware)\n"
           "\n"
           "Usage:\n"
           "  tessaloom-audio-engine [options]\n"
           "\n"
           "IO Options:\n"
           "  --input <file>           Single input WAV file\n"
           "  --output <file>          Single output WAV file\n"
           "  --input-dir <dir>        Batch input directory\n"
           "  --output-dir <dir>       Batch output directory\n"
           "\n"
           "Audio Options:\n"
           "  --denoise <bool>         Enable AI noise reduction (default: true)\n"
           "  --compressor <bool>      Enable macro-dynamics compressor (default: true)\n"
           "  --eq <bool>              Enable corrective/enhancement EQ (default: true)\n"
           "  --voice-type <str>       'Male' or 'Female' (default: Male)\n"
           "  --target-lufs <float>    Target loudness (default: -18.0)\n"
           "\n"
           "System Options:\n"
           "  --deepfilter-path <path> Path to DeepFilterNet3 binary\n"
           "  --ffmpeg-path <path>     Path to FFmpeg binary\n"
           "  --help, -h               Show this help message\n";
}

juce::String helpAllText()
{
    juce::String text = helpText();
    text << "\n"
            "More Options:\n"
            "  --report <file>          Write one JSON line per input file (measurements, settings, checks)\n"
            "  --report-html <file>     Write the batch page (one HTML file) when the batch ends\n"
            "  --render-report <report>...\n"
            "                           Make the --report-html page from reports; masters nothing\n"
            "  --bypass-stage <n>       Leave out one stage: 1 pre-gain, 2 de-esser, 3 vocal EQ, 4 leveler,\n"
            "                           5 saturation, 6 normalization gain, 7 limiter and output trim or finish\n"
            "\n"
            "Delivery Options:\n"
            "  --finish <name>          'peak-trim': limiter and trim to a -5.5 dBFS sample peak (default);\n"
            "                           'loudness': true-peak limiter and final gain onto --target-lufs\n"
            "  --true-peak <dBTP>       Ceiling of the loudness finish, -30 to 0 (default: -1.0)\n"
            "  --preset <name>          Finish, target and ceiling for a platform, checked in the report;\n"
            "                           options given on their own override it\n";
    for (const auto& p : delivery::presets())
        text << "                             " << juce::String (p.name + juce::String (":")).paddedRight (' ', 11)
             << juce::String (p.targetLufs, 1) << " LUFS, " << juce::String (p.ceilingDbtp, 1) << " dBTP\n";
    text << "                           (the checks of each are listed in the manual page)\n"
            "\n"
            "Format Options:\n"
            "  --output-format <name>   'wav' (default), 'flac', 'mp3', 'aac' (.m4a) or 'opus'; a single\n"
            "                           --output named .flac .mp3 .m4a or .opus is written in that format\n"
            "  --bitrate <kbps>         MP3, AAC and Opus (default: 128, 128, 96); MP3 is constant bit rate\n"
            "  --bit-depth <n>          WAV and FLAC: 16, 24 or 32f (WAV only) (default: WAV 16, FLAC 24)\n"
            "  --all-formats            Batch mode also takes MP3, M4A/AAC, Ogg, Opus, FLAC and AIFF inputs\n"
            "                           (by default only *.wav)\n"
            "\n"
            "Room Options (every preset sets --hum auto and --declip, and keeps the pauses down):\n"
            "  --hum <mode>             'auto': find 50 or 60 Hz mains hum and notch the lines that stand out;\n"
            "                           '50', '60': the same, that family only; 'off': no notch\n"
            "                           (default: 50/100/150 Hz notches when the grid-hum check fires)\n"
            "  --declip [<bool>]        Rebuild clipped stretches before the chain (default: false)\n"
            "  --denoise-limit <dB>     The denoiser's attenuation limit, 0 to 60 (default: 10, 12 or 15 by SNR)\n"
            "  --outputs-only [<bool>]  Only the mastered outputs go into the output folder: no ASR feed,\n"
            "                           no pre-filtered copy (default: false)\n"
            "\n"
            "Check Options:\n"
            "  --check                  Measure --input or every --input-dir file against --preset or the\n"
            "                           limits below and write only --report and --report-html; exit 0 when\n"
            "                           every file passed, 3 when some failed a check, 2 when one was unreadable\n"
            "  --target-lufs <float>    With --check: the loudness to check, within --lufs-tolerance\n"
            "  --lufs-tolerance <LU>    With --check: how far from --target-lufs may pass (default: 1.0)\n"
            "  --true-peak <dBTP>       With --check: the highest true peak that passes\n"
            "\n"
            "Exit status: 0 all mastered (or passed), 1 refused, 2 some file failed or the report or page\n"
            "could not be written, 3 every file mastered but some failed its --preset's checks.\n"
            "\n"
            "The options --help does not list, but --bypass-stage, also take --name=value.\n";
    return text;
}

} // namespace tessaloom
