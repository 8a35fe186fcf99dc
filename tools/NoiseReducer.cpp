#include "tools/NoiseReducer.h"

#include "common/IntermediateNames.h"
#include "io/AudioFileIO.h"
#include "io/InFlightFiles.h"
#include "tools/SubprocessRunner.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>
#include <map>
#include <memory>

namespace tessaloom
{

namespace
{
const juce::String ruleLine ("========================================");
const juce::String resampledName (intermediate_names::resampledTo48k);
const juce::String resampleBackName (intermediate_names::resampledBack);
const juce::String denoiserSuffix ("_DeepFilterNet3.wav");

constexpr int ffmpegTimeoutMs = 120000;
constexpr int deepFilterTimeoutMs = 300000;
// The denoiser's own default: limits at or above this are not passed on.
constexpr float noAttenuationLimitDb = 100.0f;

void log (const juce::String& message)
{
    juce::Logger::writeToLog (message);
}

// Opens a file only to learn its format. Null when JUCE cannot read it.
std::unique_ptr<juce::AudioFormatReader> openReader (const juce::File& file)
{
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    return std::unique_ptr<juce::AudioFormatReader> (formats.createReaderFor (file));
}

// The denoiser is trusted only for files it wrote during this call: a file of
// the expected name left in the output folder by an earlier run must not pass
// for today's result.
using FolderSnapshot = std::map<juce::String, std::pair<juce::int64, juce::int64>>;

FolderSnapshot snapshotWavFiles (const juce::File& folder)
{
    FolderSnapshot snapshot;
    for (const auto& file : folder.findChildFiles (juce::File::findFiles, false, "*.wav"))
        snapshot[file.getFullPathName()] = { file.getLastModificationTime().toMilliseconds(), file.getSize() };
    return snapshot;
}

bool writtenSince (const FolderSnapshot& before, const juce::File& file)
{
    const auto it = before.find (file.getFullPathName());
    if (it == before.end())
        return true;
    return it->second != std::make_pair (file.getLastModificationTime().toMilliseconds(), file.getSize());
}

// The layout of an audio file as far as the file holds it: a tool that stopped
// partway can leave a header that promises more samples than follow it, and a
// length taken from the header would pass such a file for the whole recording.
// A usable result holds at least one frame: an empty or unreadable file would
// otherwise replace the recording with nothing.
struct Layout
{
    double sampleRate = 0.0;
    int numChannels = 0;
    double seconds = -1.0;
};

Layout layoutOf (const juce::File& file)
{
    Layout layout;
    if (std::unique_ptr<AudioFileSource> source; openAudioFile (file, source).ok())
        layout = { source->sampleRate(), source->numChannels(), (double) source->lengthInFrames() / source->sampleRate() };
    return layout;
}

// How many samples of a floating-point file are NaN or infinite, read in
// blocks (an integer file holds none, and is not read). -1 when the file
// could not be read to its end.
juce::int64 nonFiniteSamplesIn (const juce::File& file)
{
    {
        const auto reader = openReader (file);
        if (reader == nullptr || ! reader->usesFloatingPointData)
            return 0;
    }
    std::unique_ptr<AudioFileSource> source;
    if (! openAudioFile (file, source).ok())
        return 0; // the layout checks have read it already
    juce::int64 count = 0;
    const bool whole = block_source::forEachBlock (*source, 8192, [&] (juce::AudioBuffer<float>& block, int n)
    {
        for (int ch = 0; ch < block.getNumChannels(); ++ch)
        {
            const float* samples = block.getReadPointer (ch);
            for (int i = 0; i < n; ++i)
                count += std::isfinite (samples[i]) ? 0 : 1;
        }
    });
    return whole ? count : -1;
}

double secondsOf (const juce::File& file)
{
    return layoutOf (file).seconds;
}

juce::String describe (const Layout& l)
{
    return juce::String (l.sampleRate) + " Hz, " + juce::String (l.numChannels) + " channels, "
           + juce::String (l.seconds, 2) + " s";
}

// A tool that stopped partway (killed for memory, a full disk, a crash) can
// leave a well-formed but shorter file, and a child killed by a signal is
// reported with exit code 0. A result shorter than its input by more than this
// would lose the end of the recording; it is not used.
constexpr double allowedShortfallSeconds = 0.1;

bool coversInput (double resultSeconds, double inputSeconds)
{
    return resultSeconds >= inputSeconds - allowedShortfallSeconds;
}

// A result that is longer than its input by more than the same allowance,
// or at another rate or channel count, is not this recording as the chain must
// deliver it (the output keeps the input's length, rate and channels).
bool matches (const Layout& result, const Layout& input)
{
    return result.sampleRate == input.sampleRate && result.numChannels == input.numChannels
           && coversInput (result.seconds, input.seconds)
           && result.seconds <= input.seconds + allowedShortfallSeconds;
}

// Finds the denoiser's output in its output folder, by the names it is known
// to use for an input of this stem, in order of preference.
juce::File findDenoiserOutput (const juce::File& outputFolder, const juce::String& stem, const juce::File& input,
                               const juce::File& output, const FolderSnapshot& before)
{
    auto fresh = [&] (const juce::File& f) { return f.existsAsFile() && writtenSince (before, f); };

    const auto suffixed = outputFolder.getChildFile (stem + denoiserSuffix);
    if (fresh (suffixed))
        return suffixed;

    const auto plain = outputFolder.getChildFile (stem + ".wav");
    if (fresh (plain) && plain != input)
        return plain;

    for (const auto& f : outputFolder.findChildFiles (juce::File::findFiles, false, "*.wav"))
        if (f != input && f != output && f.getFileName().contains (stem) && fresh (f))
            return f;

    return {};
}

// Puts `source` at `target`, replacing it in one step where the file system
// allows, so the target is never left missing when the move fails.
bool moveOnto (const juce::File& source, const juce::File& target)
{
    if (safe_files::renameOver (source, target))
        return true;
    if (source.existsAsFile() && source.copyFileTo (target))
    {
        source.deleteFile();
        return true;
    }
    return false;
}
} // namespace

NoiseReductionResult NoiseReducer::process (const juce::String& inputPath, const juce::String& outputPath,
                                            const NoiseReducerConfig& config)
{
    log (ruleLine);
    log ("[NoiseReducer] Starting noise reduction pipeline");
    log ("[NoiseReducer] Input:  " + inputPath);
    log ("[NoiseReducer] Output: " + outputPath);

    const double startMs = juce::Time::getMillisecondCounterHiRes();
    const auto attempt = runDeepFilterNet3 (inputPath, outputPath, config);
    const double elapsedMs = juce::Time::getMillisecondCounterHiRes() - startMs;

    if (attempt.ok())
    {
        NoiseReductionResult denoised;
        denoised.engine = NoiseReductionEngine::DeepFilterNet3;
        denoised.outputPath = outputPath;
        denoised.elapsedMs = elapsedMs;
        log ("[NoiseReducer] DeepFilterNet3 succeeded in " + juce::String (elapsedMs, 1) + "ms");
        return denoised;
    }

    log ("[NoiseReducer] DeepFilterNet3 FAILED: " + attempt.message);
    log ("[NoiseReducer] Returning original audio (passthrough) to preserve studio quality.");

    NoiseReductionResult passthrough;
    passthrough.engine = NoiseReductionEngine::Passthrough;
    passthrough.outputPath = inputPath;
    passthrough.message = "DeepFilterNet3 failed. Audio unchanged.";
    passthrough.elapsedMs = elapsedMs;
    return passthrough;
}

Outcome NoiseReducer::runDeepFilterNet3 (const juce::String& inputPath, const juce::String& outputPath,
                                         const NoiseReducerConfig& config)
{
    const juce::File input (inputPath);
    const juce::File output (outputPath);
    const auto resampledFile = input.getParentDirectory().getChildFile (resampledName);
    auto denoiserInput = input;

    bool needsResample = false;
    double inputSeconds = 0.0;
    {
        const auto reader = openReader (input);
        if (reader == nullptr)
            return Outcome::failure ("Cannot read input WAV file");

        const double sampleRate = reader->sampleRate;
        inputSeconds = sampleRate > 0.0 ? (double) reader->lengthInSamples / sampleRate : 0.0;
        if ((int) sampleRate != config.targetSampleRate)
        {
            needsResample = true;
            log ("[NoiseReducer/DF3] Input is " + juce::String (sampleRate) + "Hz, resampling to "
                 + juce::String (config.targetSampleRate) + "Hz");
        }
    } // the reader is closed before any tool touches the file

    // An input that already carries the intermediate name would be both the
    // source and the target of the conversion, and then deleted as the
    // intermediate: refuse the conversion rather than touch the input.
    if (needsResample)
    {
        if (resampledFile == input
            || ! resampleWithFFmpeg (inputPath, resampledFile.getFullPathName(), config.targetSampleRate,
                                     config.ffmpegPath))
        {
            if (resampledFile != input)
                resampledFile.deleteFile();
            return Outcome::failure ("Failed to resample input to 48kHz for DeepFilterNet3");
        }
        denoiserInput = resampledFile;
    }

    const auto outputFolder = output.getParentDirectory();
    in_flight_files::createDirectory (outputFolder); // never brings back a folder a stopped run removed
    const auto before = snapshotWavFiles (outputFolder);
    const auto expected = layoutOf (denoiserInput); // what the result must match

    juce::StringArray args { config.deepFilterPath, denoiserInput.getFullPathName(), "--output-dir",
                             outputFolder.getFullPathName() };
    if (config.attenuationLimitDb < noAttenuationLimitDb)
        args.addArray ({ "--atten-lim", juce::String (config.attenuationLimitDb) });

    const auto run = SubprocessRunner::run (args, deepFilterTimeoutMs);

    if (needsResample)
        resampledFile.deleteFile();

    // A denoiser that crashed (or was killed) may have left a whole-looking
    // file with anything in it after the point where it stopped.
    if (run.signal != 0 && ! run.timedOut)
    {
        const auto said = run.output.trim();
        return Outcome::failure ("DeepFilterNet3 process ended by signal " + juce::String (run.signal) + " ("
                                 + SubprocessRunner::signalName (run.signal) + ")" + (said.isEmpty() ? "" : ": " + said));
    }

    if (run.exitCode != 0 || run.timedOut)
        return Outcome::failure ("DeepFilterNet3 process failed (exit code " + juce::String (run.exitCode)
                                 + "): " + run.output.trim());

    const auto found = findDenoiserOutput (outputFolder, denoiserInput.getFileNameWithoutExtension(), input, output,
                                           before);
    const auto got = found.existsAsFile() ? layoutOf (found) : Layout();
    const double seconds = got.seconds;
    if (seconds <= 0.0)
        return Outcome::failure ("DeepFilterNet3 completed but output file not found or empty");

    if (! coversInput (seconds, inputSeconds))
        return Outcome::failure ("DeepFilterNet3 output is shorter than its input (" + juce::String (seconds, 2)
                                 + " s of " + juce::String (inputSeconds, 2) + " s)");

    if (! matches (got, expected))
        return Outcome::failure ("DeepFilterNet3 output does not match its input (" + describe (got) + " for "
                                 + describe (expected) + ")");

    // NaN or infinity in a float result would stop the file at the chain's
    // check; the denoiser's result is not usable, the input is.
    const auto nonFinite = nonFiniteSamplesIn (found);
    if (nonFinite < 0)
        return Outcome::failure ("DeepFilterNet3 output could not be read to its end");
    if (nonFinite > 0)
        return Outcome::failure ("DeepFilterNet3 output holds " + juce::String (nonFinite)
                                 + " non-finite sample(s) (NaN or infinity)");

    if (found != output && ! moveOnto (found, output))
        return Outcome::failure ("Failed to move DF3 output to target path");

    if (needsResample)
    {
        // Back to the input's own rate: a result at 48 kHz would give an output
        // at another rate than the recording's, so without the conversion there
        // is no usable result. The conversion never writes over the input,
        // whatever the input is called.
        const auto backFile = outputFolder.getChildFile (resampleBackName);
        const auto original = layoutOf (input);
        const int originalRate = (int) original.sampleRate;

        const bool back = originalRate > 0 && backFile != input
                          && resampleWithFFmpeg (outputPath, backFile.getFullPathName(), originalRate, config.ffmpegPath);
        if (! back || ! matches (layoutOf (backFile), original) || ! safe_files::renameOver (backFile, output))
        {
            if (backFile != input)
                backFile.deleteFile();
            output.deleteFile();
            return Outcome::failure ("Failed to resample DF3 output back to " + juce::String (originalRate) + "Hz");
        }
    }

    return Outcome::success();
}

bool NoiseReducer::resampleWithFFmpeg (const juce::String& inputPath, const juce::String& outputPath,
                                       int sampleRate, const juce::String& ffmpegPath)
{
    const juce::File input (inputPath);
    const juce::File output (outputPath);

    // FFmpeg cannot convert a file onto itself; the source must survive.
    if (input == output)
        return false;

    // A file left at the target by an earlier run must not pass for this
    // conversion's result when FFmpeg writes nothing.
    output.deleteFile();

    const juce::StringArray args { ffmpegPath, "-i", inputPath, "-ar", juce::String (sampleRate),
                                   "-acodec", "pcm_s16le", "-y", outputPath };
    const auto run = SubprocessRunner::run (args, ffmpegTimeoutMs);

    return run.exitCode == 0 && run.signal == 0 && ! run.timedOut && output.existsAsFile() && output.getSize() > 0
           && coversInput (secondsOf (output), secondsOf (input));
}

} // namespace tessaloom
