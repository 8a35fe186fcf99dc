#include "pipeline/FileRun.h"

#include "common/IntermediateNames.h"
#include "io/NativeNames.h"
#include "pipeline/RoomLog.h"
#include "tools/NoiseReducer.h"

namespace tessaloom
{

// The denoiser's phase: the outside denoiser over a file in the work folder,
// and its result beside the output as the feed for speech recognition.

namespace file_run
{
// Noise reduction by the outside denoiser. Never fails the file: without a
// usable result the chain goes on with what it had.
void FileRun::reduceNoise()
{
    if (! config.denoise)
    {
        result.denoiseEngine = "Skipped";
        return;
    }

    log ("[AudioPipeline] Stage 1: Noise Reduction");

    // The reducer writes beside its input; it only ever gets a file inside the
    // work folder, so nothing lands in the input's folder.
    auto reducerInput = currentFile;
    if (reducerInput == input && work.ensureExists())
    {
        const auto copy = work.file (native_names::shownText (input.getFileName()));
        if (safe_files::copyFileAtomically (input, copy).ok()) // never blocks on a pipe or copies a device
        {
            reducerInput = copy;
            inputCopy = copy;
        }
    }

    NoiseReductionResult nr;
    if (reducerInput != input && work.ensureExists())
    {
        NoiseReducerConfig nrConfig;
        nrConfig.deepFilterPath = config.deepFilterPath;
        nrConfig.ffmpegPath = config.ffmpegPath;
        nrConfig.targetSampleRate = 48000;
        nrConfig.attenuationLimitDb = params.df3AttenLimitDb;
        nr = NoiseReducer::process (reducerInput.getFullPathName(),
                                    work.file (intermediate_names::denoised).getFullPathName(), nrConfig);
    }

    const auto nrOutput = nr.outputPath.isNotEmpty() ? juce::File (nr.outputPath) : juce::File();
    if (! nrOutput.existsAsFile())
    {
        result.denoiseEngine = "Failed";
        log (juce::String::fromUTF8 ("[AudioPipeline] WARNING: Denoise failed \xe2\x80\x94 continuing with original audio"));
        return;
    }

    currentFile = nrOutput;
    if (nr.engine == NoiseReductionEngine::DeepFilterNet3)
    {
        result.room.denoiserPath = config.deepFilterPath;
        result.room.denoiserBundled = juce::File::createFileWithoutCheckingPath (config.deepFilterPath).getFileName()
                                      == room_log::bundledDenoiserName;
    }
    switch (nr.engine)
    {
        case NoiseReductionEngine::DeepFilterNet3: result.denoiseEngine = "DeepFilterNet3"; break;
        case NoiseReductionEngine::Passthrough:    result.denoiseEngine = "None (passthrough)"; break;
        default:                                   result.denoiseEngine = {}; break;
    }
    log ("[AudioPipeline] Denoise complete. Engine: " + result.denoiseEngine);
    if (! config.outputsOnly) // the feed is a copy for speech recognition; the chain goes on from the work folder
        exportAsrFeed();
}

// The denoised file beside the output, for speech recognition.
void FileRun::exportAsrFeed()
{
    // Replaced in one step by a complete copy: a feed that cannot be written
    // leaves the previous one as it was, and the log says so.
    const auto feed = output.getParentDirectory().getChildFile (input.getFileNameWithoutExtension()
                                                                 + intermediate_names::asrFeedSuffix);
    if (const auto written = writeFeed (feed); ! written.ok())
    {
        log ("[AudioPipeline/ASR Hook] WARNING: ASR feed not exported: " + written.message);
        return;
    }
    exportedFeed = feed;
    log ("[AudioPipeline/ASR Hook] Exported ASR feed to: " + feed.getFileName());
}

// The feed has the recording's length, as the output has: a denoiser result a
// few frames off (the conversions to and from its rate round the length) is
// written out at that length, as 16-bit PCM, in place of a copy.
Outcome FileRun::writeFeed (const juce::File& feed)
{
    std::unique_ptr<AudioFileSource> source;
    if (inputFrames < 0 || ! openAudioFile (currentFile, source).ok() || source->lengthInFrames() == inputFrames
        || source->sampleRate() != inputRate)
    {
        source.reset();
        return safe_files::copyFileAtomically (currentFile, feed);
    }
    std::unique_ptr<FittedLengthSource> fitted;
    auto& working = atInputLength (*source, fitted);
    std::unique_ptr<Wav16FileWriter> writer;
    if (const auto created = Wav16FileWriter::create (feed, working.sampleRate(), working.numChannels(), writer);
        ! created.ok())
        return created;
    if (! file_passes::copyPass (working, [&] (juce::AudioBuffer<float>& block, int n) { writer->write (block, n); }))
        return Outcome::failure (readErrorMessage (currentFile));
    return writer->finish();
}
} // namespace file_run

} // namespace tessaloom
