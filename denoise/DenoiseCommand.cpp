#include "denoise/DenoiseCommand.h"

#include "denoise/StftDenoiser.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>

namespace tessaloom::denoise
{
namespace
{
constexpr const char* programName = "tessaloom-denoise";
constexpr const char* outputSuffix = "_DeepFilterNet3.wav";
// The only rate the suppressor is tuned for and the only rate the engine hands over.
constexpr int supportedSampleRate = 48000;
// Samples per channel read and written at a time: large enough that file I/O is not the bottleneck.
constexpr int streamBlockSamples = 1 << 16;

const char* const helpText =
    "Usage: tessaloom-denoise INPUT --output-dir DIR [--atten-lim DB]\n"
    "\n"
    "Removes steady and slowly changing background noise from speech. Writes\n"
    "DIR/<input stem>_DeepFilterNet3.wav: WAV, 48000 Hz, the input's channels and bit depth\n"
    "(16, 24 or 32-bit float; others give 16-bit).\n"
    "\n"
    "  INPUT                  a 48000 Hz audio file (WAV, AIFF, FLAC or Ogg Vorbis)\n"
    "  -o, --output-dir DIR   existing folder for the result\n"
    "  -a, --atten-lim DB     largest attenuation in dB, 0 or more (0 leaves the audio unchanged;\n"
    "                         100 or more, the default, means no limit)\n"
    "  -h, --help             this text\n"
    "\n"
    "Exit codes: 0 done, 1 bad command line, 2 the file could not be denoised.\n";

bool parseLimit (const juce::String& text, float& value)
{
    const auto utf8 = text.trim().toStdString();
    if (utf8.empty())
        return false;
    char* end = nullptr;
    const double parsed = std::strtod (utf8.c_str(), &end);
    if (end == nullptr || *end != '\0' || ! std::isfinite (parsed) || parsed < 0.0)
        return false;
    value = (float) parsed;
    return true;
}

DenoiseOptions usageError (DenoiseOptions options, const juce::String& message)
{
    options.valid = false;
    options.errorMessage = message;
    return options;
}

int outputBitDepth (const juce::AudioFormatReader& reader)
{
    if (reader.usesFloatingPointData || reader.bitsPerSample == 32)
        return 32;
    if (reader.bitsPerSample == 24)
        return 24;
    return 16;
}

DenoiseFileResult failure (const juce::String& message)
{
    DenoiseFileResult result;
    result.message = message;
    return result;
}
} // namespace

DenoiseOptions parseDenoiseOptions (const juce::StringArray& arguments)
{
    DenoiseOptions options;
    juce::StringArray inputs;
    bool haveOutputDir = false;

    for (int i = 0; i < arguments.size(); ++i)
    {
        const auto& arg = arguments[i];
        auto valueOf = [&] (const juce::String& longName, const juce::String& shortName, juce::String& value) -> int
        {
            // 1: matched with a value, 0: not this option, -1: matched but the value is missing
            if (arg == longName || arg == shortName)
            {
                if (i + 1 >= arguments.size())
                    return -1;
                value = arguments[++i];
                return 1;
            }
            if (arg.startsWith (longName + "="))
            {
                value = arg.fromFirstOccurrenceOf ("=", false, false);
                return 1;
            }
            return 0;
        };

        juce::String value;
        if (arg == "--help" || arg == "-h")
        {
            options.showHelp = true;
            continue;
        }
        if (int m = valueOf ("--output-dir", "-o", value); m != 0)
        {
            if (m < 0 || value.isEmpty())
                return usageError (options, "--output-dir needs a folder");
            options.outputDir = juce::File::getCurrentWorkingDirectory().getChildFile (value);
            haveOutputDir = true;
            continue;
        }
        if (int m = valueOf ("--atten-lim", "-a", value); m != 0)
        {
            if (m < 0)
                return usageError (options, "--atten-lim needs a value in dB");
            if (! parseLimit (value, options.attenuationLimitDb))
                return usageError (options, "invalid --atten-lim value '" + value
                                                + "': expected a number of dB, 0 or more");
            continue;
        }
        if (arg.startsWith ("-") && arg != "-")
            return usageError (options, "unknown option '" + arg + "'");
        inputs.add (arg);
    }

    if (options.showHelp)
    {
        options.valid = true;
        return options;
    }
    if (inputs.isEmpty())
        return usageError (options, "no input file given");
    if (inputs.size() > 1)
        return usageError (options, "only one input file is accepted, got " + juce::String (inputs.size()));
    if (! haveOutputDir)
        return usageError (options, "--output-dir is required");

    options.input = juce::File::getCurrentWorkingDirectory().getChildFile (inputs[0]);
    options.valid = true;
    return options;
}

juce::File outputFileFor (const juce::File& input, const juce::File& outputDir)
{
    return outputDir.getChildFile (input.getFileNameWithoutExtension() + outputSuffix);
}

DenoiseFileResult denoiseFile (const juce::File& input, const juce::File& outputDir, float attenuationLimitDb)
{
    if (! input.existsAsFile())
        return failure ("cannot read input '" + input.getFullPathName() + "': no such file");
    if (! outputDir.isDirectory())
        return failure ("output folder '" + outputDir.getFullPathName() + "' does not exist");

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (input));
    if (reader == nullptr)
        return failure ("cannot read input '" + input.getFullPathName() + "': not a readable audio file");

    const int numChannels = (int) reader->numChannels;
    const juce::int64 length = reader->lengthInSamples;
    if (numChannels < 1 || length < 0)
        return failure ("cannot read input '" + input.getFullPathName() + "': no audio channels");
    if ((int) reader->sampleRate != supportedSampleRate)
        return failure ("input '" + input.getFullPathName() + "' is at " + juce::String (reader->sampleRate)
                        + " Hz; only " + juce::String (supportedSampleRate)
                        + " Hz is supported (convert it first, e.g. ffmpeg -i IN -ar 48000 OUT.wav)");

    const auto target = outputFileFor (input, outputDir);
    if (target == input)
        return failure ("output '" + target.getFullPathName() + "' would overwrite the input");

    const auto design = designDenoiser (reader->sampleRate, attenuationLimitDb);

    // The first noise estimate comes from the opening seconds, read once more below.
    std::vector<double> initialNoise;
    {
        const int prescanLength = (int) std::min<juce::int64> (length, (juce::int64) (design.prescanSeconds * reader->sampleRate));
        juce::AudioBuffer<float> opening (numChannels, std::max (prescanLength, 1));
        opening.clear();
        if (prescanLength > 0 && ! reader->read (opening.getArrayOfWritePointers(), numChannels, 0, prescanLength))
            return failure ("cannot read input '" + input.getFullPathName() + "': read error");
        initialNoise = estimateInitialNoise (design, opening.getArrayOfReadPointers(), numChannels, prescanLength);
    }

    // A name that does not end in ".wav", so an interrupted run never leaves a WAV to be picked up.
    const auto temporary = outputDir.getNonexistentChildFile (target.getFileName(), ".part", false);
    std::unique_ptr<juce::AudioFormatWriter> writer;
    {
        auto stream = std::make_unique<juce::FileOutputStream> (temporary);
        if (! stream->openedOk())
            return failure ("cannot write to output folder '" + outputDir.getFullPathName() + "'");
        juce::WavAudioFormat wav;
        writer.reset (wav.createWriterFor (stream.get(), reader->sampleRate, (unsigned int) numChannels,
                                           outputBitDepth (*reader), {}, 0));
        if (writer == nullptr)
        {
            stream.reset();
            temporary.deleteFile();
            return failure ("cannot write a WAV file with " + juce::String (numChannels) + " channels");
        }
        stream.release(); // the writer owns it now
    }

    auto abandon = [&] (const juce::String& message)
    {
        writer.reset();
        temporary.deleteFile();
        return failure (message);
    };

    StftDenoiser denoiser (design, numChannels, initialNoise);
    const int latency = denoiser.latency();
    juce::AudioBuffer<float> block (numChannels, streamBlockSamples);
    juce::int64 readPosition = 0, written = 0;
    juce::int64 toSkip = latency; // the suppressor's output before the input's start

    auto emit = [&] (int numSamples) -> bool
    {
        const int skip = (int) std::min<juce::int64> (toSkip, numSamples);
        toSkip -= skip;
        const int n = (int) std::min<juce::int64> (numSamples - skip, length - written);
        if (n <= 0)
            return true;
        written += n;
        return writer->writeFromAudioSampleBuffer (block, skip, n);
    };

    while (readPosition < length)
    {
        const int n = (int) std::min<juce::int64> (streamBlockSamples, length - readPosition);
        if (! reader->read (block.getArrayOfWritePointers(), numChannels, readPosition, n))
            return abandon ("cannot read input '" + input.getFullPathName() + "': read error");
        readPosition += n;
        denoiser.process (block.getArrayOfReadPointers(), block.getArrayOfWritePointers(), n);
        if (! emit (n))
            return abandon ("cannot write '" + temporary.getFullPathName() + "'");
    }
    // The tail: zeros push the last latency() samples out.
    for (int remaining = latency; remaining > 0;)
    {
        const int n = std::min (remaining, streamBlockSamples);
        denoiser.process (nullptr, block.getArrayOfWritePointers(), n);
        if (! emit (n))
            return abandon ("cannot write '" + temporary.getFullPathName() + "'");
        remaining -= n;
    }

    if (! writer->flush())
        return abandon ("cannot write '" + temporary.getFullPathName() + "'");
    writer.reset(); // completes the header and closes the file

    if (! temporary.moveFileTo (target))
    {
        temporary.deleteFile();
        return failure ("cannot rename the result to '" + target.getFullPathName() + "'");
    }

    DenoiseFileResult result;
    result.success = true;
    result.exitCode = exitSuccess;
    result.output = target;
    result.audioSeconds = (double) length / reader->sampleRate;
    return result;
}

int runDenoiseCommand (const juce::StringArray& arguments)
{
    juce::StringArray rest (arguments);
    if (! rest.isEmpty())
        rest.remove (0);

    const auto options = parseDenoiseOptions (rest);
    if (! options.valid)
    {
        std::cerr << programName << ": " << options.errorMessage << "\n"
                  << "Usage: tessaloom-denoise INPUT --output-dir DIR [--atten-lim DB] (--help for more)" << std::endl;
        return exitUsageError;
    }
    if (options.showHelp)
    {
        std::cout << helpText << std::flush;
        return exitSuccess;
    }

    const double start = juce::Time::getMillisecondCounterHiRes();
    const auto result = denoiseFile (options.input, options.outputDir, options.attenuationLimitDb);
    if (! result.success)
    {
        std::cerr << programName << ": " << result.message << std::endl;
        return result.exitCode;
    }
    const double seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
    std::cerr << programName << ": wrote " << result.output.getFullPathName() << " ("
              << juce::String (result.audioSeconds, 1) << " s of audio in " << juce::String (seconds, 2) << " s)"
              << std::endl;
    return exitSuccess;
}
} // namespace tessaloom::denoise
