#include "pipeline/AudioPipeline.h"

#include "analysis/AudioAnalyzer.h"
#include "analysis/Loudness.h"
#include "analysis/Overview.h"
#include "common/IntermediateNames.h"
#include "common/Levels.h"
#include "io/AudioFileIO.h"
#include "io/NativeNames.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Chain.h"
#include "pipeline/Delivery.h"
#include "pipeline/DeliveryEncode.h"
#include "pipeline/RoomLog.h"
#include "pipeline/FilePasses.h"
#include "pipeline/OutputMeasure.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/steps/Steps.h"
#include "pipeline/WorkFolder.h"
#include "pipeline/stages/StageShape.h"
#include "tools/NoiseReducer.h"

#include <cmath>

namespace
{
const juce::String ruleLine ("========================================");

// The analysis's voice-activity blocks, the background guard's frames.
constexpr double kSpeechBlockSeconds = 0.02;
// Speech this far over its pauses: they are as good as silent, and the background guard stays out.
constexpr double kSilentPausesDb = 60.0;

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
// frames): a chain stopped by a check never touches the output. A lossy output
// of the loudness finish is first kept as float samples in the work folder and
// then encoded until its decoded peak meets the ceiling (pipeline/DeliveryEncode.h).
class OutputSink final : public ChainSink
{
public:
    OutputSink (const juce::File& target, double rate, int channels, const PipelineConfig& c, const AudioTags& t,
                const juce::File& masterFile)
        : output (target), sampleRate (rate), numChannels (channels), config (c), tags (t)
    {
        if (config.outputFormat.isLossy() && config.finish == Finish::loudness && masterFile != juce::File())
            master = std::make_unique<FloatSpill> (masterFile, channels, rate);
    }

    void write (const juce::AudioBuffer<float>& block, int numFrames) override
    {
        for (int ch = 0; ch < block.getNumChannels(); ++ch)
            peak = juce::jmax (peak, sample_checks::peakMagnitude (block.getReadPointer (ch), numFrames));
        if (master != nullptr)
            master->append (block, numFrames);
        else if (open())
            writer->write (block, numFrames);
    }

    // Whether every sample written rounds to zero in the 16-bit file.
    bool silent() const { return peak < 0.5f / 32768.0f; }

    // Completes the output; empty on success, else the reason.
    juce::String finish()
    {
        if (master != nullptr)
        {
            if (const auto spilled = master->outcome(); ! spilled.ok())
                return spilled.message;
            EncodedDelivery delivered;
            const auto done = delivery_encode::deliver (*master, output, config.outputFormat, tags,
                                                        config.truePeakDbtp, config.targetLufs, delivered);
            if (done.ok())
                encoded = delivered;
            return done.message;
        }
        if (! open())
            return error;
        const auto message = writer->finish (InFlightFiles::Target::staysInFlight).message;
        if (message.isEmpty() && config.outputFormat.isLossy())
        {
            // Encoded once, as the peak-trim finish has no ceiling to keep on the decoded file.
            EncodedDelivery once;
            once.format = config.outputFormat;
            if (once.format.bitrateKbps <= 0)
                once.format.bitrateKbps = defaultBitrateKbps (once.format.codec);
            once.encodes = 1;
            once.decodedLufs = once.decodedTruePeakDbtp = kNotMeasuredLufs;
            once.ceilingMet = true;
            encoded = once;
        }
        return message;
    }

    std::optional<EncodedDelivery> encoded;

private:
    bool open()
    {
        if (writer == nullptr && error.isEmpty())
            error = createOutputWriter (output, config.outputFormat, sampleRate, numChannels, tags, writer).message;
        return writer != nullptr;
    }

    juce::File output;
    double sampleRate;
    int numChannels;
    const PipelineConfig& config;
    const AudioTags& tags;
    std::unique_ptr<AudioOutputWriter> writer;
    std::unique_ptr<FloatSpill> master;
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
            native_names::removeFile (exportedFeed); // named as the input is, which may not be UTF-8
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
    void chooseDenoiseLimit (const AnalysisResult& analysis);
    bool writePreFiltered (AudioBlockSource& source, bool hasGridHum);
    bool measuresHum() const { return config.hum != HumMode::specified && config.hum != HumMode::off; }
    void reduceNoise();
    void exportAsrFeed();
    Outcome writeFeed (const juce::File& feed);
    bool runChainIntoOutput();
    void logEncode() const;
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
    std::vector<BlockKind> inputBlocks; // the input's speech and pauses (the background guard's blocks)
    std::optional<double> inputSpeechToPause; // dB: the input's speech blocks over its pauses
    AudioTags tags; // the input's, for an output in a format with a place for them
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
    if (! config.outputFormat.isSpecifiedWav())
        tags = readTags (input);
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
    // The room's measurements ride on the same read.
    std::optional<clipping::Scan> clipScan;
    std::optional<mains_hum::Scan> humScan;
    std::vector<pass::Tap> roomTaps;
    if (config.measureOutput || config.declip || config.roomLog)
    {
        clipScan.emplace (source.numChannels());
        roomTaps.push_back ([&] (juce::AudioBuffer<float>& block, int n) { clipScan->add (block.getArrayOfReadPointers(), n); });
    }
    std::optional<BlockPowers> blockPowers;
    if (config.keepBackground)
    {
        blockPowers.emplace ((int) (source.sampleRate() * kSpeechBlockSeconds));
        roomTaps.push_back ([&] (juce::AudioBuffer<float>& block, int n)
                            { blockPowers->add (block.getArrayOfReadPointers(), block.getNumChannels(), n); });
    }
    if (measuresHum())
    {
        humScan.emplace (source.numChannels(), source.sampleRate());
        roomTaps.push_back ([&] (juce::AudioBuffer<float>& block, int n) { humScan->add (block.getArrayOfReadPointers(), n); });
    }
    auto loaded = checkAndAnalyse (source, overview ? &*overview : nullptr, roomTaps);
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
    chooseDenoiseLimit (analysis.result);
    result.mapping = params;
    log (AutoMap::logLine (params, analysis.result));

    auto& room = result.room;
    if (clipScan)
        room.clipping = clipScan->finish();
    if (humScan)
        room.hum = humScan->finish (config.hum == HumMode::mains50   ? mains_hum::Families::only50
                                    : config.hum == HumMode::mains60 ? mains_hum::Families::only60
                                                                     : mains_hum::Families::both);
    if (blockPowers)
    {
        // Speech where the voice activity found it; pauses everywhere else.
        const auto& voiced = analysis.measurements.voiceActivity.voicedBlocks;
        const auto powers = blockPowers->finish();
        inputBlocks.resize (powers.size(), BlockKind::neither);
        for (size_t i = 0; i < powers.size() && i < voiced.size(); ++i)
            inputBlocks[i] = voiced[i] ? BlockKind::speech : BlockKind::pause;
        inputSpeechToPause = SpeechToPause::ratioOf (inputBlocks, powers);
    }
    if (config.roomLog)
    {
        if (room.clipping)
            log (room_log::clippingLine (*room.clipping));
        if (room.hum)
            log (room_log::humLine (*room.hum));
        if (room.denoiseLimitDb && config.denoise)
            log (room_log::denoiseLimitLine (room));
    }
    return std::move (loaded.analysis);
}

// The attenuation limit the denoiser gets: the mapping's, --denoise-limit's, or
// with a preset that asks for a noise floor, as much as reaching it needs.
void FileRun::chooseDenoiseLimit (const AnalysisResult& analysis)
{
    auto& room = result.room;
    if (config.denoiseLimitDb)
    {
        params.df3AttenLimitDb = *config.denoiseLimitDb;
        room.denoiseLimitDb = params.df3AttenLimitDb;
        room.denoiseLimitSource = "option";
        return;
    }
    const auto* preset = delivery::findPreset (config.deliveryPreset);
    if (preset == nullptr || ! preset->maxNoiseFloorDbfs)
        return;
    const auto choice = room_log::limitForFloor (analysis, config.targetLufs, *preset->maxNoiseFloorDbfs,
                                                 params.df3AttenLimitDb);
    params.df3AttenLimitDb = choice.limitDb;
    room.denoiseLimitDb = choice.limitDb;
    room.denoiseLimitNeededDb = choice.neededDb;
    room.denoiseLimitSource = "preset";
}

// The pre-filter pass into the intermediate. false when the file is stopped here.
bool FileRun::writePreFiltered (AudioBlockSource& source, bool hasGridHum)
{
    log ("[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)");
    stages::PreFilterParameters preFilterParameters { hasGridHum, std::nullopt };
    // With a hum option the measurement decides: the lines found, where they lie; none with --hum off.
    if (config.hum != HumMode::specified)
    {
        preFilterParameters.measuredHumHz.emplace();
        if (config.hum != HumMode::off && result.room.hum)
            for (const auto& line : result.room.hum->lines)
                preFilterParameters.measuredHumHz->push_back ((float) line.frequencyHz);
    }
    const auto preFilterReport = stages::describePreFilter (preFilterParameters);
    result.room.humNotchedHz = preFilterReport.notchedHz;
    stage_log::write (steps::linesFor (preFilterReport));

    // The clipped stretches are rebuilt on the way into the intermediate.
    std::optional<stages::Declipper> declipper;
    if (config.declip && result.room.clipping && result.room.clipping->clipped())
        declipper.emplace (stages::designDeclipper ({ result.room.clipping->clipLevels }, source.sampleRate()),
                           source.numChannels());
    if (config.declip)
        result.room.declippedSamples = 0;

    // The later steps see the pre-filter only through this file: without it
    // the hum and rumble would reach the output while the log says they were
    // removed, so a file whose intermediate cannot be written fails.
    if (! work.ensureExists())
    {
        fail ("Failed to create output file: " + output.getFullPathName()); // the work folder lives beside the output
        return false;
    }
    const auto prefiltered = work.file (intermediate_names::prefiltered);
    // A 24-bit or float delivery keeps its depth through the intermediate the chain reads.
    const auto& format = config.outputFormat;
    const bool wide = ! format.isLossy() && (format.bitDepth > 16 || (format.bitDepth == 0 && defaultBitDepth (format.codec) > 16));
    std::unique_ptr<Wav16FileWriter> writer;
    if (const auto created = Wav16FileWriter::create (prefiltered, source.sampleRate(), source.numChannels(), writer,
                                                      wide ? 24 : 16);
        ! created.ok())
    {
        fail ("Pre-filter failed: " + created.message);
        return false;
    }
    stages::BiquadCascade filter (stages::designPreFilter (preFilterParameters, source.sampleRate()), source.numChannels());
    if (! preFilter (source, filter, *writer, declipper ? &*declipper : nullptr))
    {
        fail (readErrorMessage (input));
        return false;
    }
    if (declipper)
    {
        const auto declipped = declipper->report();
        result.room.declippedSamples = declipped.rebuiltSamples;
        result.room.declipLeftRuns = declipped.leftRuns;
        result.room.declipHeadroomDb = declipped.headroomDb;
        // The file is lower by the headroom; the expander's floor, taken from the input, comes down with it.
        params.expanderThresholdDb += declipped.headroomDb;
        log (room_log::declipLine (declipped));
    }
    else if (config.declip)
        log (room_log::declipLine ({}));
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
        const auto copy = work.file (native_names::shownText (input.getFileName()));
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

    std::unique_ptr<FittedLengthSource> fitted;
    auto& working = atInputLength (*source, fitted);
    const auto shownFile = currentFile == inputCopy ? input : currentFile;
    const auto beforePreGain = checkWorking (working, shownFile);
    if (! beforePreGain)
        return false;

    const juce::File spillFile = work.ensureExists() ? work.file (intermediate_names::chainSpill) : juce::File();
    OutputSink sink (output, working.sampleRate(), working.numChannels(), config, tags,
                     spillFile != juce::File() ? work.file (intermediate_names::deliveryMaster) : juce::File());
    ChainSettings* const settings = config.measureOutput ? &result.settings : nullptr;
    // With a preset the pauses may not come closer to the speech than in the input.
    std::optional<BackgroundGuard> background;
    // Pauses of digital silence (or nearly) have nothing in them to lift.
    if (config.keepBackground && inputSpeechToPause && *inputSpeechToPause < kSilentPausesDb
        && working.sampleRate() == inputRate)
    {
        result.room.inputSpeechToPauseDb = inputSpeechToPause;
        background.emplace (BackgroundGuard { inputBlocks, (int) (inputRate * kSpeechBlockSeconds), *inputSpeechToPause,
                                              result.room });
    }
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
    logEncode();
    return true;
}

// A searched lossy delivery's line: what the decoded file measured, and a
// warning when no try within the bound met the ceiling.
void FileRun::logEncode() const
{
    if (! result.encode || result.encode->decodedTruePeakDbtp <= kNotMeasuredLufs)
        return;
    const auto& e = *result.encode;
    log ("[AudioPipeline] Delivered " + codecName (e.format.codec).toUpperCase() + " " + juce::String (e.format.bitrateKbps)
         + " kbps: " + juce::String (e.encodes) + " encode" + (e.encodes == 1 ? "" : "s") + ", limiter "
         + juce::String (e.correctionDb, 2) + " dB under the ceiling, gain " + juce::String (e.gainDb, 2) + " dB, decoded " + juce::String (e.decodedLufs, 2) + " LUFS, "
         + juce::String (e.decodedTruePeakDbtp, 2) + " dBTP");
    if (! e.ceilingMet)
        log ("[AudioPipeline] WARNING: the decoded file's true peak is over the ceiling of "
             + juce::String (e.ceilingDbtp, 1) + " dBTP after " + juce::String (e.encodes) + " encodes");
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
    // So is one for an output in another format than the specified WAV.
    if (std::unique_ptr<AudioFileSource> source; openAudioFile (currentFile, source).ok()
        && ((inputFrames >= 0 && source->lengthInFrames() != inputFrames) || ! config.outputFormat.isSpecifiedWav()))
    {
        std::unique_ptr<FittedLengthSource> fitted;
        auto& working = atInputLength (*source, fitted);
        // Encoded once: with the chain off the loudness finish did not run, so there is no target to hold.
        OutputSink sink (output, working.sampleRate(), working.numChannels(), config, tags, juce::File());
        const bool readWhole = copyPass (working, [&] (juce::AudioBuffer<float>& block, int n) { sink.write (block, n); });
        if (const auto error = readWhole ? sink.finish() : readErrorMessage (currentFile); error.isNotEmpty())
        {
            fail (error);
            return false;
        }
        result.encode = sink.encoded;
        return true;
    }

    if (const auto copied = copyFileAtomically (currentFile, output, InFlightFiles::Target::staysInFlight); ! copied.ok())
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
    // With --outputs-only the pre-filtered file goes with the work folder.
    work.finish (config.outputsOnly ? juce::String() : juce::String (intermediate_names::prefiltered),
                 output.getParentDirectory());

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
