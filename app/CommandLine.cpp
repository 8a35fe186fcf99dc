#include "app/CommandLine.h"

#include <cmath>

namespace
{
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

    for (int i = 1; i < count; i += 2)
    {
        const juce::String& name = arguments[i];

        if (name == "--help" || name == "-h")
        {
            options.showHelp = true;
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
        else if (name == "--target-lufs")     options.config.targetLufs = value.getFloatValue();
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
    else if (! std::isfinite (options.config.targetLufs))
        // A NaN or infinite target would turn every file into silence reported as a success.
        options.errorMessage = "Invalid value for argument: --target-lufs";
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
