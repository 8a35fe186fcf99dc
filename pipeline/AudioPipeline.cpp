#include "pipeline/AudioPipeline.h"

#include "analysis/AnalysisAccumulator.h"
#include "analysis/AudioAnalyzer.h"
#include "analysis/Loudness.h"
#include "analysis/Overview.h"
#include "common/IntermediateNames.h"
#include "io/AudioFileIO.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Chain.h"
#include "pipeline/Delivery.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/WorkFolder.h"
#include "pipeline/stages/StageShape.h"
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
// One read of a file as it is: how many samples are not finite numbers, the
// sample peak, and every measurement. The measurement's lists are let go before
// the chain runs, so they are never held twice.
struct CheckedFile
{
    bool readWhole = true; // false: the file could not be read to its end
    juce::int64 nonFinite = 0;
    float peak = 0.0f;
    Analysis analysis;
};

CheckedFile checkAndMeasure (AudioBlockSource& source, OverviewTap* overview = nullptr)
{
    CheckedFile checked;
    const int channels = source.numChannels();
    AnalysisAccumulator accumulator (channels, source.sampleRate());
    checked.readWhole = forEachBlock (source, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
    {
        for (int c = 0; c < channels; ++c)
        {
            checked.nonFinite += sample_checks::countNonFinite (block.getReadPointer (c), n);
            checked.peak = juce::jmax (checked.peak, sample_checks::peakMagnitude (block.getReadPointer (c), n));
        }
        accumulator.add (block, n);
        if (overview != nullptr)
            overview->add (block, n);
    });
    if (checked.readWhole)
        checked.analysis = accumulator.finish();
    return checked;
}

//==============================================================================
// The output file, written as the chain's last pass hands over its blocks. The
// writer is made with the first block (or at the end, for a file of no
// frames): a chain stopped by a check never touches the output.
class OutputSink final : public ChainSink
{
public:
    OutputSink (const juce::File& target, double rate, int channels)
        : output (target), sampleRate (rate), numChannels (channels)
    {
    }

    void write (const juce::AudioBuffer<float>& block, int numFrames) override
    {
        if (open())
            writer->write (block, numFrames);
    }

    // Completes the output; empty on success, else the reason.
    juce::String finish()
    {
        if (! open())
            return error;
        return writer->finish().message;
    }

private:
    bool open()
    {
        if (writer == nullptr && error.isEmpty())
            error = Wav16FileWriter::create (output, sampleRate, numChannels, writer).message;
        return writer != nullptr;
    }

    juce::File output;
    double sampleRate;
    int numChannels;
    std::unique_ptr<Wav16FileWriter> writer;
    juce::String error;
};

//==============================================================================
// One call of processFile: the file's state as it moves through the phases.
class FileRun
{
public:
    FileRun (const juce::File& in, const juce::File& out, const PipelineConfig& c)
        : input (in), output (out), config (c), work (in, out), currentFile (in)
    {
    }

    // A failed file leaves nothing that could pass for a product of it: its ASR
    // feed goes, and so does the copy of the input; the work folder stays only
    // when it holds an intermediate worth looking at. Also when the pipeline is
    // left by an exception.
    ~FileRun()
    {
        if (result.success)
            return;
        if (exportedFeed != juce::File())
            exportedFeed.deleteFile();
        if (inputCopy != juce::File())
            inputCopy.deleteFile();
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
        if (config.measureOutput)
        {
            // The output is mastered and in place: whatever befalls its measurement never fails the file.
            try
            {
                measureOutput();
            }
            catch (const std::exception& e)
            {
                result.output.reset();
                result.outputMeasureError = "Could not measure the output: " + juce::String (e.what());
            }
        }
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

    // Fails the file: a step left samples that are not finite numbers.
    bool stopAfter (const juce::String& label, int nonFiniteCount)
    {
        fail ("Invalid non-finite audio after " + label);
        log (stage_log::nonFiniteLine (result.errorMessage, nonFiniteCount));
        return false;
    }

    bool analyseAndPreFilter();
    void reduceNoise();
    bool processInMemory();
    bool copyToOutput();
    AudioBlockSource& atInputLength (AudioBlockSource& source, std::unique_ptr<FittedLengthSource>& fitted) const;
    void finishOutputs();
    void measureOutput();

    const juce::File input, output;
    const PipelineConfig& config;
    const double startMs = nowMs();
    PipelineResult result;
    WorkFolder work;

    juce::File currentFile; // the file the next phase reads
    juce::File inputCopy;   // the input's copy inside the work folder, when one was made
    juce::File exportedFeed; // the ASR feed this run wrote
    juce::int64 inputFrames = -1; // the input's length and rate, when Pass 1 could read it
    double inputRate = 0.0;
    AutoMapParameters params;
};

// Pass 1: analysis of the input, the mapping, and the pre-filtered intermediate.
// false when the file is stopped here.
bool FileRun::analyseAndPreFilter()
{
    log ("[AudioPipeline] Pass 1: Offline Analysis");
    std::unique_ptr<AudioFileSource> source;
    openAudioFile (input, source);
    if (source == nullptr)
    {
        log ("[AudioPipeline] WARNING: Could not read input for Pass 1 analysis");
        return true;
    }

    const int channels = source->numChannels();
    const double rate = source->sampleRate();
    inputFrames = source->lengthInFrames();
    inputRate = rate;
    // The report's picture of the input comes from this read: no extra pass over the file.
    std::optional<OverviewTap> overview;
    if (config.measureOutput)
        overview.emplace (channels, rate);
    const auto loaded = checkAndMeasure (*source, overview ? &*overview : nullptr);
    if (! loaded.readWhole)
    {
        fail (readErrorMessage (input));
        return false;
    }
    if (overview)
        result.inputOverview = overview->finish();

    // The chain reads the 16-bit intermediate, where NaN and infinity would
    // already have become full-scale clicks; such a file is stopped here.
    if (loaded.nonFinite > 0)
        return stopAfter ("File Load", sample_checks::saturatingCount (loaded.nonFinite));

    const auto& analysis = loaded.analysis;
    AudioAnalyzer::writeLog (analysis);
    result.analysisJson = AudioAnalyzer::toJson (analysis.result);
    params = AutoMap::fromAnalysis (analysis.result);
    result.mapping = params;
    log (AutoMap::logLine (params, analysis.result));

    log ("[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)");
    const stages::PreFilterParameters preFilter { analysis.result.hasGridHum };
    stage_log::write (stages::describePreFilter (preFilter));

    // The later steps see the pre-filter only through this file: without it
    // the hum and rumble would reach the output while the log says they were
    // removed, so a file whose intermediate cannot be written fails.
    if (! work.ensureExists())
    {
        fail ("Failed to create output file: " + output.getFullPathName()); // the work folder lives beside the output
        return false;
    }
    const auto prefiltered = work.file (intermediate_names::prefiltered);
    std::unique_ptr<Wav16FileWriter> writer;
    if (const auto created = Wav16FileWriter::create (prefiltered, rate, channels, writer); ! created.ok())
    {
        fail ("Pre-filter failed: " + created.message);
        return false;
    }
    stages::BiquadCascade filter (stages::designPreFilter (preFilter, rate), channels);
    side_by_side::KeptHelper helper;
    const bool readWhole = forEachBlock (*source, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
    {
        float* const* samples = block.getArrayOfWritePointers(); // once: it marks the buffer, which threads must not do together
        stages::forEachChannel (helper, channels, [&] (int c) { filter.processChannel (c, samples[c], n); });
        writer->write (block, n);
    });
    if (! readWhole)
    {
        fail (readErrorMessage (input));
        return false;
    }
    if (const auto written = writer->finish(); ! written.ok())
    {
        fail ("Pre-filter failed: " + written.message);
        return false;
    }
    currentFile = prefiltered;
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

    log ("[AudioPipeline] Stage 1: Noise Reduction");

    // The reducer writes beside its input; it only ever gets a file inside the
    // work folder, so nothing lands in the input's folder.
    auto reducerInput = currentFile;
    if (reducerInput == input && work.ensureExists())
    {
        const auto copy = work.file (input.getFileName());
        if (copyFileAtomically (input, copy).ok()) // never blocks on a pipe or copies a device
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
    switch (nr.engine)
    {
        case NoiseReductionEngine::DeepFilterNet3: result.denoiseEngine = "DeepFilterNet3"; break;
        case NoiseReductionEngine::Passthrough:    result.denoiseEngine = "None (passthrough)"; break;
        default:                                   result.denoiseEngine = {}; break;
    }
    log ("[AudioPipeline] Denoise complete. Engine: " + result.denoiseEngine);

    // Replaced in one step by a complete copy: a feed that cannot be written
    // leaves the previous one as it was, and the log says so.
    const auto feed = output.getParentDirectory().getChildFile (input.getFileNameWithoutExtension()
                                                                 + intermediate_names::asrFeedSuffix);
    if (const auto copied = copyFileAtomically (currentFile, feed); ! copied.ok())
    {
        log ("[AudioPipeline/ASR Hook] WARNING: ASR feed not exported: " + copied.message);
        return;
    }
    exportedFeed = feed;
    log ("[AudioPipeline/ASR Hook] Exported ASR feed to: " + feed.getFileName());
}

// The chain over the working file in blocks, into the output.
bool FileRun::processInMemory()
{
    std::unique_ptr<AudioFileSource> source;
    if (const auto opened = openAudioFile (currentFile, source); ! opened.ok())
    {
        fail (opened.status == Outcome::Status::tooLong
                  ? opened.message
                  : "Failed to read audio file for DSP processing: "
                        + (currentFile == inputCopy ? input : currentFile).getFullPathName());
        return false;
    }

    std::unique_ptr<FittedLengthSource> fitted;
    auto& working = atInputLength (*source, fitted);
    const int channels = working.numChannels();
    const double sampleRate = working.sampleRate();
    const auto length = working.lengthInFrames();

    // The file as loaded: checked, and measured for pre-gain, in one read.
    const auto shownFile = currentFile == inputCopy ? input : currentFile;
    const auto loaded = checkAndMeasure (working);
    if (! loaded.readWhole)
    {
        fail (readErrorMessage (shownFile));
        return false;
    }
    if (loaded.nonFinite > 0)
        return stopAfter ("File Load", sample_checks::saturatingCount (loaded.nonFinite));
    log ("[AudioPipeline] Loaded audio: " + juce::String (channels) + "ch, " + juce::String (sampleRate) + "Hz, "
         + juce::String (length) + " samples ("
         + juce::String (sampleRate > 0.0 ? (double) length / sampleRate : 0.0, 2) + "s)");
    log (stage_log::peakLine ("File Load", sample_checks::peakLevelDbfs (loaded.peak, channels)));

    const auto& beforePreGain = loaded.analysis;
    OutputSink sink (output, sampleRate, channels);
    const juce::File spillFile = work.ensureExists() ? work.file (intermediate_names::chainSpill) : juce::File();
    ChainSettings* const settings = config.measureOutput ? &result.settings : nullptr;
    if (const auto stopped = runChain ({ working, shownFile, beforePreGain, config, params, spillFile, settings }, sink))
    {
        if (stopped->readError.isEmpty())
            return stopAfter (stopped->checkLabel, stopped->nonFiniteCount);
        fail (stopped->readError);
        return false;
    }

    if (const auto error = sink.finish(); error.isNotEmpty())
    {
        fail (error);
        return false;
    }
    return true;
}

// Chain off: the output is a copy of the working file, and a failed copy fails the file.
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

bool FileRun::copyToOutput()
{
    if (currentFile == output)
        return true;

    // A working file of another length than the recording is written out at
    // the recording's length instead of copied.
    if (std::unique_ptr<AudioFileSource> source; openAudioFile (currentFile, source).ok()
        && inputFrames >= 0 && source->lengthInFrames() != inputFrames)
    {
        std::unique_ptr<FittedLengthSource> fitted;
        auto& working = atInputLength (*source, fitted);
        OutputSink sink (output, working.sampleRate(), working.numChannels());
        const bool readWhole = forEachBlock (working, kChainBlockFrames,
                                             [&] (juce::AudioBuffer<float>& block, int n) { sink.write (block, n); });
        if (const auto error = readWhole ? sink.finish() : readErrorMessage (currentFile); error.isNotEmpty())
        {
            fail (error);
            return false;
        }
        return true;
    }

    if (const auto copied = copyFileAtomically (currentFile, output); ! copied.ok())
    {
        fail (copied.message);
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

// The finished file read back as it lies on disk, so that what is measured is
// exactly the 16-bit samples a listener gets, whichever way the output was
// made (the chain's last pass or a copy). Logs nothing: the log stays the
// same with or without the report.
void FileRun::measureOutput()
{
    const double begin = nowMs();
    std::unique_ptr<AudioFileSource> source;
    if (const auto opened = openAudioFile (output, source); ! opened.ok())
    {
        result.outputMeasureError = opened.message.isNotEmpty() ? opened.message : "Could not read the output back: " + output.getFullPathName();
        result.outputMeasureMs = nowMs() - begin;
        return;
    }

    AnalysisAccumulator accumulator (source->numChannels(), source->sampleRate());
    LoudnessRangeAccumulator range (source->numChannels(), source->sampleRate());
    OverviewTap overview (source->numChannels(), source->sampleRate());
    // The noise floor between words, for a delivery preset that limits it.
    std::optional<delivery::QuietestHalfSecond> quietest;
    if (config.deliveryPreset.isNotEmpty())
        quietest.emplace (source->numChannels(), source->sampleRate());
    const bool readWhole = forEachBlock (*source, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
    {
        accumulator.add (block, n);
        range.add (block.getArrayOfReadPointers(), n);
        overview.add (block, n);
        if (quietest)
            quietest->add (block.getArrayOfReadPointers(), n);
    });
    if (! readWhole)
    {
        result.outputMeasureError = readErrorMessage (output);
        result.outputMeasureMs = nowMs() - begin;
        return;
    }
    const auto analysis = accumulator.finish();

    OutputMeasurement m;
    m.analysis = analysis.result;
    m.numFrames = accumulator.numFrames();
    const double peak = analysis.measurements.crestFactor.samplePeakLinear;
    m.samplePeakDbfs = peak > kSilenceAmplitude ? 20.0 * std::log10 (peak) : kNoLevelDb;
    const double rms = analysis.measurements.crestFactor.rmsLinear;
    m.rmsDbfs = rms > kSilenceAmplitude ? 20.0 * std::log10 (rms) : kNoLevelDb;
    if (quietest)
        m.quietestHalfSecondDbfs = quietest->finishDbfs();
    m.loudnessRangeLu = range.finish();
    result.output = m;
    result.outputOverview = overview.finish();
    result.outputMeasureMs = nowMs() - begin;
}
} // namespace

PipelineResult AudioPipeline::processFile (const juce::File& input, const juce::File& output,
                                           const PipelineConfig& config)
{
    FileRun run (input, output, config);
    return run.master();
}
