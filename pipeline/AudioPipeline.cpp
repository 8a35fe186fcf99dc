#include "pipeline/AudioPipeline.h"

#include "analysis/AudioAnalyzer.h"
#include "common/IntermediateNames.h"
#include "io/AudioFileIO.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Chain.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/WorkFolder.h"
#include "tools/NoiseReducer.h"

namespace
{
const juce::String ruleLine ("========================================");

void log (const juce::String& message)
{
    juce::Logger::writeToLog (message);
}

juce::String onOff (bool value)
{
    return value ? "ON" : "OFF";
}

double nowMs()
{
    return juce::Time::getMillisecondCounterHiRes();
}

//==============================================================================
// One call of processFile: the file's state as it moves through the phases.
class FileRun
{
public:
    FileRun (const juce::File& in, const juce::File& out, const PipelineConfig& c)
        : input (in), output (out), config (c), work (in, out), currentFile (in)
    {
    }

    PipelineResult master()
    {
        log (ruleLine);
        log ("[AudioPipeline] Processing: " + input.getFullPathName());
        log ("[AudioPipeline] Denoise=" + onOff (config.denoise) + " Compressor=" + onOff (config.compressor)
             + " EQ=" + onOff (config.eq) + " Voice=" + config.voiceType);

        if (! analyseAndPreFilter())
            return result;
        reduceNoise();
        if (! ((config.compressor || config.eq) ? processInMemory() : copyToOutput()))
            return result;
        finishOutputs();
        return result;
    }

private:
    double elapsedMs() const { return nowMs() - startMs; }

    PipelineResult& fail (const juce::String& message)
    {
        result.errorMessage = message;
        result.processingTimeMs = elapsedMs();
        return result;
    }

    // true when every sample is finite; otherwise fails the file with the step's label.
    bool samplesAreFinite (const juce::AudioBuffer<float>& buffer, const juce::String& label)
    {
        if (buffer.getNumChannels() == 0)
            return true;
        const int count = sample_checks::countNonFinite (buffer);
        if (count == 0)
            return true;
        fail ("Invalid non-finite audio after " + label);
        log (stage_log::nonFiniteLine (result.errorMessage, count));
        return false;
    }

    bool analyseAndPreFilter();
    void reduceNoise();
    bool processInMemory();
    bool copyToOutput();
    void finishOutputs();

    const juce::File input, output;
    const PipelineConfig& config;
    const double startMs = nowMs();
    PipelineResult result;
    WorkFolder work;

    juce::File currentFile; // the file the next phase reads
    juce::File inputCopy;   // the input's copy inside the work folder, when one was made
    AutoMapParameters params;

    // One working buffer for both reads of the file: the chain reads into the
    // allocation that Pass 1 used.
    AudioReadResult audio;
};

// Pass 1: analysis of the input, the mapping, and the pre-filtered intermediate.
// false when the file is stopped here.
bool FileRun::analyseAndPreFilter()
{
    log ("[AudioPipeline] Pass 1: Offline Analysis");
    readAudioFile (input, audio);
    if (! audio.ok())
    {
        log ("[AudioPipeline] WARNING: Could not read input for Pass 1 analysis");
        return true;
    }

    // The chain reads the 16-bit intermediate, where NaN and infinity would
    // already have become full-scale clicks; such a file is stopped here.
    if (! samplesAreFinite (audio.buffer, "File Load"))
        return false;

    const auto analysis = AudioAnalyzer::analyze (audio.buffer, audio.sampleRate);
    result.analysisJson = AudioAnalyzer::toJson (analysis);
    params = AutoMap::fromAnalysis (analysis);
    log (AutoMap::logLine (params, analysis));

    log ("[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)");
    stage_log::write (stages::applyPreFilter (audio.buffer, audio.sampleRate, { analysis.hasGridHum }));

    // A failed intermediate write is silent: the chain carries on from the input.
    if (work.ensureExists())
    {
        const auto prefiltered = work.file (intermediate_names::prefiltered);
        if (writeWav16Atomically (prefiltered, audio.buffer, audio.sampleRate).isEmpty())
            currentFile = prefiltered;
    }
    return true;
}

// Noise reduction by the outside denoiser. Never fails the file: without a
// usable result the chain goes on with what it had.
void FileRun::reduceNoise()
{
    if (! config.denoise)
    {
        result.denoiseEngine = "Skipped";
        return;
    }

    audio = AudioReadResult(); // the outside denoiser gets the memory back while it runs
    log ("[AudioPipeline] Stage 1: Noise Reduction");

    // The reducer writes beside its input; it only ever gets a file inside the
    // work folder, so nothing lands in the input's folder.
    auto reducerInput = currentFile;
    if (reducerInput == input && work.ensureExists())
    {
        const auto copy = work.file (input.getFileName());
        if (copyFileAtomically (input, copy).isEmpty()) // never blocks on a pipe or copies a device
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
    if (! (nr.success && nrOutput.existsAsFile()))
    {
        result.denoiseEngine = "Failed";
        log (juce::String::fromUTF8 ("[AudioPipeline] WARNING: Denoise failed \xe2\x80\x94 continuing with original audio"));
        return;
    }

    currentFile = nrOutput;
    switch (nr.engine)
    {
        case NoiseReductionEngine::DeepFilterNet3: result.denoiseEngine = "DeepFilterNet3"; break;
        case NoiseReductionEngine::Passthrough:    result.denoiseEngine = "None (passthrough)"; break;
        default:                                   result.denoiseEngine = {}; break;
    }
    log ("[AudioPipeline] Denoise complete. Engine: " + result.denoiseEngine);

    const auto feed = output.getParentDirectory().getChildFile (input.getFileNameWithoutExtension()
                                                                 + intermediate_names::asrFeedSuffix);
    feed.deleteFile();
    copyFileAtomically (currentFile, feed);
    log ("[AudioPipeline/ASR Hook] Exported ASR feed to: " + feed.getFileName());
}

// The chain in memory over the working file, then the output is written.
bool FileRun::processInMemory()
{
    readAudioFile (currentFile, audio);
    if (! audio.ok())
    {
        fail (audio.status == AudioReadResult::Status::tooLong
                  ? audio.message
                  : "Failed to read audio file for DSP processing: "
                        + (currentFile == inputCopy ? input : currentFile).getFullPathName());
        return false;
    }

    auto& buffer = audio.buffer;
    const double sampleRate = audio.sampleRate;
    const int length = buffer.getNumSamples();

    if (! samplesAreFinite (buffer, "File Load"))
        return false;
    log ("[AudioPipeline] Loaded audio: " + juce::String (buffer.getNumChannels()) + "ch, " + juce::String (sampleRate)
         + "Hz, " + juce::String (length) + " samples ("
         + juce::String (sampleRate > 0.0 ? (double) length / sampleRate : 0.0, 2) + "s)");
    log (stage_log::peakLine ("File Load", sample_checks::peakLevelDbfs (buffer)));

    if (const auto stopped = runChain (buffer, sampleRate, config, params))
    {
        fail ("Invalid non-finite audio after " + stopped->checkLabel);
        log (stage_log::nonFiniteLine (result.errorMessage, stopped->nonFiniteCount));
        return false;
    }

    if (const auto error = writeWav16Atomically (output, buffer, sampleRate); error.isNotEmpty())
    {
        fail (error);
        return false;
    }
    return true;
}

// Chain off: the output is a copy of the working file, and a failed copy fails the file.
bool FileRun::copyToOutput()
{
    if (currentFile == output)
        return true;
    if (const auto error = copyFileAtomically (currentFile, output); error.isNotEmpty())
    {
        fail (error);
        return false;
    }
    return true;
}

// The pre-filtered file is a product of the run and goes beside the output;
// everything else in the work folder is transient.
void FileRun::finishOutputs()
{
    work.finish (intermediate_names::prefiltered, output.getParentDirectory());

    result.success = true;
    result.processingTimeMs = elapsedMs();
    log ("[AudioPipeline] COMPLETE. Total time: " + juce::String (result.processingTimeMs, 1) + "ms");
    log (ruleLine);
}
} // namespace

PipelineResult AudioPipeline::processFile (const juce::File& input, const juce::File& output,
                                           const PipelineConfig& config)
{
    FileRun run (input, output, config);
    return run.master();
}
