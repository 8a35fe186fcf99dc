#include "pipeline/FileRun.h"

#include "common/IntermediateNames.h"
#include "common/Levels.h"
#include "pipeline/OutputSink.h"
#include "pipeline/RoomLog.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"

namespace tessaloom
{

// The output's phase: the chain over the working file into the output, or with
// the chain off the working file copied (or written out at the input's length).

namespace file_run
{
namespace
{
// Speech this far over its pauses: they are as good as silent, and the background guard stays out.
constexpr double kSilentPausesDb = 60.0;
} // namespace

// The chain over the working file, into the output.
bool FileRun::runChainIntoOutput()
{
    std::unique_ptr<AudioFileSource> source;
    if (! openWorkingFile (source))
        return false;
    std::unique_ptr<FittedLengthSource> fitted;
    auto& working = atInputLength (*source, fitted);
    const auto shownFile = currentFile == inputCopy ? input : currentFile;
    const auto beforePreGain = checkWorking (working, shownFile);
    if (! beforePreGain)
        return false;

    const juce::File spillFile = work.ensureExists() ? work.file (intermediate_names::chainSpill) : juce::File();
    output_sink::OutputSink sink (output, working.sampleRate(), working.numChannels(), config, aim, tags,
                                  spillFile != juce::File() ? work.file (intermediate_names::deliveryMaster) : juce::File());
    ChainSettings* const settings = config.measureOutput ? &result.settings : nullptr;
    auto background = backgroundGuardFor (working);
    const auto stopped = runChain ({ working, shownFile, *beforePreGain, config, params, spillFile, settings,
                                     background ? &*background : nullptr, loudnessWeights },
                                   sink);
    if (background && config.roomLog)
        log (room_log::backgroundLine (result.room));
    if (stopped)
    {
        if (stopped->readError.isEmpty())
            return stopAfter (stopped->checkLabel, stopped->nonFiniteCount);
        fail (stopped->readError);
        return false;
    }
    return completeOutput (sink);
}

// Opens the working file for the chain; fails the file when it cannot be read.
bool FileRun::openWorkingFile (std::unique_ptr<AudioFileSource>& source)
{
    const auto opened = openAudioFile (currentFile, source);
    if (opened.ok())
        return true;
    // A WAV or AIFF keeps the specified message; a file in another format says what it is and why.
    const bool pcmFile = currentFile.hasFileExtension ("wav;bwf;aif;aiff");
    fail (opened.status == Outcome::Status::tooLong
              ? opened.message
              : "Failed to read audio file for DSP processing: "
                    + (! pcmFile && opened.message.isNotEmpty()
                           ? opened.message
                           : (currentFile == inputCopy ? input : currentFile).getFullPathName()));
    return false;
}

// With a preset the pauses may not come closer to the speech than in the input.
std::optional<BackgroundGuard> FileRun::backgroundGuardFor (const AudioBlockSource& working)
{
    // Pauses of digital silence (or nearly) have nothing in them to lift.
    if (! (config.keepBackground && inputSpeechToPause && *inputSpeechToPause < kSilentPausesDb
           && working.sampleRate() == inputRate))
        return std::nullopt;
    result.room.inputSpeechToPauseDb = inputSpeechToPause;
    return BackgroundGuard { inputBlocks, (int) (inputRate * kSpeechBlockSeconds), *inputSpeechToPause, result.room };
}

// The chain's output written whole: completed (encoded, for a lossy format), or the file fails.
bool FileRun::completeOutput (output_sink::OutputSink& sink)
{
    // A recording with a measurable loudness never masters to silence: the
    // chain was set from figures it could not work with (a file far above full
    // scale, say), and the silent file is not written.
    if (sink.silent() && inputLoudness > kNotMeasuredLufs)
    {
        fail ("Output is silent although the input is not (input " + juce::String (inputLoudness, 1) + " LUFS)");
        return false;
    }

    if (const auto error = sink.finish(); error.isNotEmpty())
    {
        fail (error);
        return false;
    }
    result.encode = sink.encoded;
    for (const auto& line : output_sink::encodeLines (result.encode))
        log (line);
    return true;
}

// The working file's checking pass, and the analysis pre-gain is set from.
// Empty when the file is stopped here.
std::optional<Analysis> FileRun::checkWorking (AudioBlockSource& working, const juce::File& shownFile)
{
    const int channels = working.numChannels();
    const double sampleRate = working.sampleRate();
    const auto length = working.lengthInFrames();
    // Made by the pre-filter's pass when the working file is its intermediate, as written.
    const bool checkedOnTheWay = workingChecked && currentFile == work.file (intermediate_names::prefiltered)
                                 && length == inputFrames && sampleRate == inputRate;
    auto loaded = checkedOnTheWay ? std::move (*workingChecked) : file_passes::checkAndAnalyse (working);
    workingChecked.reset();
    if (! loaded.readWhole)
    {
        fail (readErrorMessage (shownFile));
        return std::nullopt;
    }
    if (loaded.tally.nonFinite > 0)
    {
        stopAfter ("File Load", sample_checks::saturatingCount (loaded.tally.nonFinite));
        return std::nullopt;
    }
    log ("[AudioPipeline] Loaded audio: " + juce::String (channels) + "ch, " + juce::String (sampleRate) + "Hz, "
         + juce::String (length) + " samples ("
         + juce::String (sampleRate > 0.0 ? (double) length / sampleRate : 0.0, 2) + "s)");
    log (stage_log::peakLine ("File Load", sample_checks::peakLevelDbfs (loaded.tally.peak, channels)));
    return std::move (loaded.analysis);
}

// The denoiser's result may be a few frames longer or shorter than the
// recording (the conversions to and from its rate round the length); the
// output keeps the recording's length, so such a result is read at that length.
AudioBlockSource& FileRun::atInputLength (AudioBlockSource& source, std::unique_ptr<FittedLengthSource>& fitted) const
{
    if (inputFrames < 0 || source.lengthInFrames() == inputFrames || source.sampleRate() != inputRate)
        return source;
    fitted = std::make_unique<FittedLengthSource> (source, inputFrames);
    return *fitted;
}

// Chain off: the output is a copy of the working file, and a failed copy fails the file.
bool FileRun::copyToOutput()
{
    if (currentFile == output)
        return true;

    // A working file of another length than the recording is written out at
    // the recording's length instead of copied.
    // So is one for an output in another format than the specified WAV.
    if (std::unique_ptr<AudioFileSource> source; openAudioFile (currentFile, source).ok()
        && ((inputFrames >= 0 && source->lengthInFrames() != inputFrames) || ! config.outputFormat.isSpecifiedWav()))
    {
        std::unique_ptr<FittedLengthSource> fitted;
        auto& working = atInputLength (*source, fitted);
        // Encoded once: with the chain off the loudness finish did not run, so there is no target to hold.
        output_sink::OutputSink sink (output, working.sampleRate(), working.numChannels(), config, aim, tags, juce::File());
        const bool readWhole = file_passes::copyPass (working, [&] (juce::AudioBuffer<float>& block, int n) { sink.write (block, n); });
        if (const auto error = readWhole ? sink.finish() : readErrorMessage (currentFile); error.isNotEmpty())
        {
            fail (error);
            return false;
        }
        result.encode = sink.encoded;
        return true;
    }

    if (const auto copied = safe_files::copyFileAtomically (currentFile, output, in_flight_files::Target::staysInFlight); ! copied.ok())
    {
        fail (copied.message);
        return false;
    }
    return true;
}
} // namespace file_run

} // namespace tessaloom
