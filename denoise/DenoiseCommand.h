#pragma once

#include <juce_core/juce_core.h>

namespace tessaloom::denoise
{
/** Exit codes of tessaloom-denoise. */
enum ExitCode
{
    exitSuccess = 0,
    exitUsageError = 1, ///< bad command line: unknown option, bad value, missing argument
    exitFileError = 2   ///< the command line was fine but the file could not be denoised
};

/** The parsed command line: `INPUT --output-dir DIR [--atten-lim DB]`. */
struct DenoiseOptions
{
    juce::File input;
    juce::File outputDir;
    float attenuationLimitDb = 100.0f; ///< 100 or more (the default) means no user limit
    bool showHelp = false;
    bool valid = false;
    juce::String errorMessage;
};

/** Parses the arguments after the program name. Accepts `--output-dir DIR`, `--output-dir=DIR`,
    `-o DIR`, `--atten-lim DB`, `--atten-lim=DB`, `-a DB`, `--help`/`-h` and one input path.
    An attenuation limit must be a finite number of dB, 0 or more. */
DenoiseOptions parseDenoiseOptions (const juce::StringArray& arguments);

/** The result of one file. */
struct DenoiseFileResult
{
    bool success = false;
    int exitCode = exitFileError;
    juce::String message; ///< why it failed; empty on success
    juce::File output;    ///< the file written on success
    double audioSeconds = 0.0;
};

/** The output file for an input: outputDir / (input stem + "_DeepFilterNet3.wav"). */
juce::File outputFileFor (const juce::File& input, const juce::File& outputDir);

/** Denoises one 48 kHz audio file into outputFileFor (input, outputDir), streaming it block by
    block (memory does not grow with the file's length). The output is a WAV file with the input's
    channel count and sample rate, at the input's bit depth (16, 24 or 32-bit float; other depths
    give 16-bit), with no metadata. It is written under a temporary name that does not end in
    ".wav" and renamed when complete, so no truncated output is ever left behind; nothing else is
    written and the input is only read. Other sample rates are refused. */
DenoiseFileResult denoiseFile (const juce::File& input, const juce::File& outputDir, float attenuationLimitDb);

/** The whole program: arguments with the program path first; messages to standard error, help to
    standard output. Returns the exit code. */
int runDenoiseCommand (const juce::StringArray& arguments);
} // namespace tessaloom::denoise
