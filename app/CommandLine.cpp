#include "app/CommandLine.h"

#include "pipeline/Delivery.h"

#include <cmath>
#include <optional>

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

// A relative path is taken from the working directory; an empty one stays empty.
juce::File parsePath (const juce::String& value)
{
    if (value.isEmpty())
        return {};
    return juce::File::getCurrentWorkingDirectory().getChildFile (value);
}
} // namespace

CommandLineOptions parseCommandLine (const juce::StringArray& arguments)
{
    CommandLineOptions options;
    const int count = arguments.size();
    // A preset sets the finish, the target and the ceiling; each given on its own overrides it, wherever it stands.
    std::optional<float> targetLufs, truePeakDbtp;
    std::optional<Finish> finish;
    juce::String preset, invalid;

    for (int i = 1; i < count; i += 2)
    {
        const juce::String& name = arguments[i];

        if (name == "--help" || name == "-h" || name == "--help-all")
        {
            options.showHelp = true;
            options.showAllHelp = name == "--help-all";
            options.isValid = true;
            return options;
        }

        // Tested before the name is looked up, so a lone trailing unknown
        // name is reported as missing its value.
        if (i + 1 >= count)
        {
            options.errorMessage = "Missing value for argument: " + name;
            return options;
        }

        const juce::String& value = arguments[i + 1];

        if (name == "--input")                options.inputFile = parsePath (value);
        else if (name == "--output")          options.outputFile = parsePath (value);
        else if (name == "--input-dir")       options.inputDir = parsePath (value);
        else if (name == "--output-dir")      options.outputDir = parsePath (value);
        else if (name == "--denoise")         options.config.denoise = parseBool (value);
        else if (name == "--compressor")      options.config.compressor = parseBool (value);
        else if (name == "--eq")              options.config.eq = parseBool (value);
        else if (name == "--voice-type")      options.config.voiceType = value;
        else if (name == "--deepfilter-path") options.config.deepFilterPath = value;
        else if (name == "--ffmpeg-path")     options.config.ffmpegPath = value;
        else if (name == "--target-lufs")     targetLufs = value.getFloatValue();
        else if (name == "--true-peak")       truePeakDbtp = value.getFloatValue();
        else if (name == "--preset")          preset = value;
        else if (name == "--finish")
        {
            if (value == "loudness")       finish = Finish::loudness;
            else if (value == "peak-trim") finish = Finish::peakTrim;
            else                           invalid = name;
        }
        else if (name == "--bypass-stage")    options.config.bypassStage = value.getIntValue();
        else if (name == "--report")          options.reportFile = parsePath (value);
        else if (name == "--report-html")     options.reportHtmlFile = parsePath (value);
        else if (name == "--render-report")
        {
            // One or more reports: every argument up to the next option name.
            if (value.startsWith ("--"))
            {
                options.errorMessage = "Missing value for argument: " + name;
                return options;
            }
            int next = i + 1;
            for (; next < count && (next == i + 1 || ! arguments[next].startsWith ("--")); ++next)
                if (arguments[next].isNotEmpty())
                    options.renderReports.add (parsePath (arguments[next]));
            i = next - 2; // the loop's step lands on the next name
        }
        else
        {
            options.errorMessage = "Unknown argument: " + name;
            return options;
        }
    }

    if (preset.isNotEmpty())
    {
        if (const auto* p = delivery::findPreset (preset))
        {
            options.config.deliveryPreset = p->name;
            options.config.finish = Finish::loudness;
            options.config.targetLufs = p->targetLufs;
            options.config.truePeakDbtp = p->ceilingDbtp;
        }
        else if (invalid.isEmpty())
            invalid = "--preset";
    }
    if (finish)
        options.config.finish = *finish;
    if (targetLufs)
        options.config.targetLufs = *targetLufs;
    if (truePeakDbtp)
        options.config.truePeakDbtp = *truePeakDbtp;

    const bool noInput = options.inputFile == juce::File() && options.inputDir == juce::File();
    const bool noOutput = options.outputFile == juce::File() && options.outputDir == juce::File();

    // Making a page from reports masters nothing: it needs the page and no input.
    if (! options.renderReports.isEmpty())
    {
        if (! noInput)
            options.errorMessage = "--render-report makes a page from reports and takes no --input or --input-dir.";
        else if (options.reportHtmlFile == juce::File())
            options.errorMessage = "--render-report needs --report-html <file>, the page to write.";
        else
            options.isValid = true;
        return options;
    }

    if (noInput || noOutput)
        options.errorMessage = "Must specify either --input/--output or --input-dir/--output-dir.";
    else if (! (options.config.targetLufs >= kLowestTargetLufs && options.config.targetLufs <= kHighestTargetLufs))
        // A NaN, infinite or absurd target would turn every file into silence reported as a success.
        options.errorMessage = "Invalid value for argument: --target-lufs";
    else if (invalid.isNotEmpty())
        options.errorMessage = "Invalid value for argument: " + invalid;
    // A ceiling above full scale cannot be written to a 16-bit file; one under -30 dBTP leaves no program.
    else if (! (options.config.truePeakDbtp <= 0.0f && options.config.truePeakDbtp >= kLowestCeilingDbtp))
        options.errorMessage = "Invalid value for argument: --true-peak";
    else
        options.isValid = true;

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
    text << "                           (the checks of each are listed in the manual page)\n";
    return text;
}
