#include "pipeline/AudioPipeline.h"

#include "analysis/AudioAnalyzer.h"
#include "analysis/Loudness.h"
#include "analysis/Overview.h"
#include "common/IntermediateNames.h"
#include "common/Levels.h"
#include "io/AudioFileIO.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Chain.h"
#include "pipeline/FilePasses.h"
#include "pipeline/OutputMeasure.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/WorkFolder.h"
#include "pipeline/stages/StageShape.h"
#include "tools/NoiseReducer.h"

#include <cmath>

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

// The highest sample peak of an input: 20 dB above full scale. Float files from
// a recorder or an editor that went over stay well within it.
constexpr float kHighestInputPeakDbfs = 20.0f;
const float kHighestInputPeak = std::pow (10.0f, kHighestInputPeakDbfs / 20.0f);

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
        for (int ch = 0; ch < block.getNumChannels(); ++ch)
            peak = juce::jmax (peak, sample_checks::peakMagnitude (block.getReadPointer (ch), numFrames));
        if (open())
            writer->write (block, numFrames);
    }

    // Whether every sample written rounds to zero in the 16-bit file.
    bool silent() const { return peak < 0.5f / 32768.0f; }

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
    float peak = 0.0f;
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
        if (! ((config.compressor || config.eq) ? runChainIntoOutput() : copyToOutput()))
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
    std::optional<Analysis> analyseInput (AudioBlockSource& source);
    bool writePreFiltered (AudioBlockSource& source, bool hasGridHum);
    void reduceNoise();
    void exportAsrFeed();
    Outcome writeFeed (const juce::File& feed);
    bool runChainIntoOutput();
    std::optional<Analysis> checkWorking (AudioBlockSource& working, const juce::File& shownFile);
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
    double inputLoudness = kNoLevelDb; // the input's integrated loudness, once analysed
    std::vector<double> loudnessWeights; // BS.1770's channel weights of the input's layout, where it is known
    juce::int64 inputFrames = -1; // the input's length and rate, when it could be opened for its analysis
    double inputRate = 0.0;
    AutoMapParameters params;
};

// The input's analysis, the mapping, and the pre-filtered intermediate.
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
    inputFrames = source->lengthInFrames();
    inputRate = source->sampleRate();
    loudnessWeights = analysis_detail::bs1770ChannelWeights (source->channelLayout());
    const auto analysis = analyseInput (*source);
    if (! analysis)
        return false;
    return writePreFiltered (*source, analysis->result.hasGridHum);
}

// The input's checking pass; its log and the mapping. Empty when the file is stopped here.
std::optional<Analysis> FileRun::analyseInput (AudioBlockSource& source)
{
    // The report's picture of the input comes from this read: no extra pass over the file.
    std::optional<OverviewTap> overview;
    if (config.measureOutput)
        overview.emplace (source.numChannels(), source.sampleRate());
    auto loaded = checkAndAnalyse (source, overview ? &*overview : nullptr);
    if (! loaded.readWhole)
    {
        fail (readErrorMessage (input));
        return std::nullopt;
    }
    if (overview)
        result.inputOverview = overview->finish();

    // The chain reads the 16-bit intermediate, where NaN and infinity would
    // already have become full-scale clicks; such a file is stopped here.
    if (loaded.tally.nonFinite > 0)
    {
        stopAfter ("File Load", sample_checks::saturatingCount (loaded.tally.nonFinite));
        return std::nullopt;
    }

    // The chain works on a 16-bit copy of the input, which holds nothing above
    // full scale: a float file this far above it is wrongly scaled (no
    // recorder makes it), and the chain would be set from measurements of
    // audio it never sees (a sine at +60 dBFS set an expander threshold of
    // +42 dB and came out silent).
    if (loaded.tally.peak > kHighestInputPeak)
    {
        fail ("Input level out of range: sample peak +"
              + juce::String (sample_checks::peakLevelDbfs (loaded.tally.peak, source.numChannels()), 1)
              + " dBFS, above the +" + juce::String (kHighestInputPeakDbfs, 1) + " dBFS the chain takes");
        return std::nullopt;
    }

    const auto& analysis = loaded.analysis;
    inputLoudness = analysis.result.integratedLUFS;
    AudioAnalyzer::writeLog (analysis);
    result.analysisJson = AudioAnalyzer::toJson (analysis.result);
    params = AutoMap::fromAnalysis (analysis.result);
    result.mapping = params;
    log (AutoMap::logLine (params, analysis.result));
    return std::move (loaded.analysis);
}

// The pre-filter pass into the intermediate. false when the file is stopped here.
bool FileRun::writePreFiltered (AudioBlockSource& source, bool hasGridHum)
{
    log ("[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)");
    const stages::PreFilterParameters preFilterParameters { hasGridHum };
    stage_log::write (stages::describePreFilter (preFilterParameters));

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
    if (const auto created = Wav16FileWriter::create (prefiltered, source.sampleRate(), source.numChannels(), writer);
        ! created.ok())
    {
        fail ("Pre-filter failed: " + created.message);
        return false;
    }
    stages::BiquadCascade filter (stages::designPreFilter (preFilterParameters, source.sampleRate()), source.numChannels());
    if (! preFilter (source, filter, *writer))
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
        return copyFileAtomically (currentFile, feed);
    }
    std::unique_ptr<FittedLengthSource> fitted;
    auto& working = atInputLength (*source, fitted);
    std::unique_ptr<Wav16FileWriter> writer;
    if (const auto created = Wav16FileWriter::create (feed, working.sampleRate(), working.numChannels(), writer);
        ! created.ok())
        return created;
    if (! copyPass (working, [&] (juce::AudioBuffer<float>& block, int n) { writer->write (block, n); }))
        return Outcome::failure (readErrorMessage (currentFile));
    return writer->finish();
}

// The chain over the working file, into the output.
bool FileRun::runChainIntoOutput()
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
    const auto shownFile = currentFile == inputCopy ? input : currentFile;
    const auto beforePreGain = checkWorking (working, shownFile);
    if (! beforePreGain)
        return false;

    OutputSink sink (output, working.sampleRate(), working.numChannels());
    const juce::File spillFile = work.ensureExists() ? work.file (intermediate_names::chainSpill) : juce::File();
    ChainSettings* const settings = config.measureOutput ? &result.settings : nullptr;
    if (const auto stopped = runChain ({ working, shownFile, *beforePreGain, config, params, spillFile, settings, loudnessWeights }, sink))
    {
        if (stopped->readError.isEmpty())
            return stopAfter (stopped->checkLabel, stopped->nonFiniteCount);
        fail (stopped->readError);
        return false;
    }

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
    return true;
}

// The working file's checking pass, and the analysis pre-gain is set from.
// Empty when the file is stopped here.
std::optional<Analysis> FileRun::checkWorking (AudioBlockSource& working, const juce::File& shownFile)
{
    const int channels = working.numChannels();
    const double sampleRate = working.sampleRate();
    const auto length = working.lengthInFrames();
    auto loaded = checkAndAnalyse (working);
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
        const bool readWhole = copyPass (working, [&] (juce::AudioBuffer<float>& block, int n) { sink.write (block, n); });
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

// The report's measurement of the output (pipeline/OutputMeasure.h).
void FileRun::measureOutput()
{
    const double begin = nowMs();
    auto back = readBackOutput (output, config.deliveryPreset.isNotEmpty(), loudnessWeights);
    result.output = back.measurement;
    result.outputOverview = back.overview;
    result.outputMeasureError = back.error;
    result.outputMeasureMs = nowMs() - begin;
}
} // namespace

PipelineResult AudioPipeline::processFile (const juce::File& input, const juce::File& output,
                                           const PipelineConfig& config)
{
    FileRun run (input, output, config);
    return run.master();
}
