#include "pipeline/FileRun.h"

#include "analysis/Loudness.h"
#include "analysis/Overview.h"
#include "common/IntermediateNames.h"
#include "pipeline/RoomLog.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/steps/Steps.h"

#include <cmath>

namespace tessaloom
{

// The input's phase: its checking pass with the analysis and the room's
// scans, the mapping, and the pre-filtered intermediate the chain reads.

namespace file_run
{
namespace
{
// The highest sample peak of an input: 20 dB above full scale. Float files from
// a recorder or an editor that went over stay well within it.
constexpr float kHighestInputPeakDbfs = 20.0f;
const float kHighestInputPeak = std::pow (10.0f, kHighestInputPeakDbfs / 20.0f);
} // namespace

std::vector<pass::Tap> RoomScans::taps()
{
    std::vector<pass::Tap> t;
    if (clipScan)
        t.push_back ([this] (juce::AudioBuffer<float>& block, int n) { clipScan->add (block.getArrayOfReadPointers(), n); });
    if (blockPowers)
        t.push_back ([this] (juce::AudioBuffer<float>& block, int n)
                     { blockPowers->add (block.getArrayOfReadPointers(), block.getNumChannels(), n); });
    if (humScan)
        t.push_back ([this] (juce::AudioBuffer<float>& block, int n) { humScan->add (block.getArrayOfReadPointers(), n); });
    return t;
}

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
    RoomScans scans;
    startRoomScans (source, scans);
    auto loaded = file_passes::checkAndAnalyse (source, overview ? &*overview : nullptr, scans.taps());
    if (! loaded.readWhole)
    {
        fail (readErrorMessage (input));
        return std::nullopt;
    }
    if (overview)
        result.inputOverview = overview->finish();
    if (! inputReadsWell (loaded, source.numChannels()))
        return std::nullopt;

    mapInput (loaded.analysis);
    keepRoomFindings (scans, loaded.analysis);
    logRoom();
    return std::move (loaded.analysis);
}

void FileRun::startRoomScans (const AudioBlockSource& source, RoomScans& scans) const
{
    if (config.measureOutput || config.declip || config.roomLog)
        scans.clipScan.emplace (source.numChannels());
    if (config.keepBackground)
        scans.blockPowers.emplace ((int) (source.sampleRate() * kSpeechBlockSeconds));
    if (measuresHum())
        scans.humScan.emplace (source.numChannels(), source.sampleRate());
}

// Whether the chain may work on what the input's pass read; else the file fails here.
bool FileRun::inputReadsWell (const file_passes::CheckedRead& loaded, int numChannels)
{
    // The chain reads the 16-bit intermediate, where NaN and infinity would
    // already have become full-scale clicks; such a file is stopped here.
    if (loaded.tally.nonFinite > 0)
        return stopAfter ("File Load", sample_checks::saturatingCount (loaded.tally.nonFinite));

    // The chain works on a 16-bit copy of the input, which holds nothing above
    // full scale: a float file this far above it is wrongly scaled (no
    // recorder makes it), and the chain would be set from measurements of
    // audio it never sees (a sine at +60 dBFS set an expander threshold of
    // +42 dB and came out silent).
    if (loaded.tally.peak > kHighestInputPeak)
    {
        fail ("Input level out of range: sample peak +"
              + juce::String (sample_checks::peakLevelDbfs (loaded.tally.peak, numChannels), 1)
              + " dBFS, above the +" + juce::String (kHighestInputPeakDbfs, 1) + " dBFS the chain takes");
        return false;
    }
    return true;
}

// The input's analysis in the log and the report, and the mapping from it.
void FileRun::mapInput (const Analysis& analysis)
{
    inputLoudness = analysis.result.integratedLUFS;
    audio_analyzer::writeLog (analysis);
    result.analysisJson = audio_analyzer::toJson (analysis.result);
    params = AutoMap::fromAnalysis (analysis.result);
    chooseDenoiseLimit (analysis.result);
    result.mapping = params;
    log (AutoMap::logLine (params, analysis.result));
}

void FileRun::keepRoomFindings (RoomScans& scans, const Analysis& analysis)
{
    auto& room = result.room;
    if (scans.clipScan)
        room.clipping = scans.clipScan->finish();
    if (scans.humScan)
        room.hum = scans.humScan->finish (config.hum == HumMode::mains50   ? mains_hum::Families::only50
                                          : config.hum == HumMode::mains60 ? mains_hum::Families::only60
                                                                           : mains_hum::Families::both);
    if (scans.blockPowers)
    {
        // Speech where the voice activity found it; pauses everywhere else.
        const auto& voiced = analysis.measurements.voiceActivity.voicedBlocks;
        const auto powers = scans.blockPowers->finish();
        inputBlocks.resize (powers.size(), BlockKind::neither);
        for (size_t i = 0; i < powers.size() && i < voiced.size(); ++i)
            inputBlocks[i] = voiced[i] ? BlockKind::speech : BlockKind::pause;
        inputSpeechToPause = SpeechToPause::ratioOf (inputBlocks, powers);
    }
}

void FileRun::logRoom() const
{
    if (! config.roomLog)
        return;
    const auto& room = result.room;
    if (room.clipping)
        log (room_log::clippingLine (*room.clipping));
    if (room.hum)
        log (room_log::humLine (*room.hum));
    if (room.denoiseLimitDb && config.denoise)
        log (room_log::denoiseLimitLine (room));
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
    const auto choice = room_log::limitForFloor (analysis, aim.targetLufs, *preset->maxNoiseFloorDbfs,
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
    const auto preFilterParameters = preFilterParametersFor (hasGridHum);

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
    // With no denoiser after it (and no declipper holding frames back), the chain's
    // checking pass would read exactly what this pass writes: it is made here, on
    // the way into the file, in place of reading the file again.
    const bool checkOnTheWay = ! config.denoise && (config.compressor || config.eq) && ! declipper
                               && source.sampleRate() == (double) (juce::uint32) source.sampleRate();
    workingChecked.reset();
    if (! (checkOnTheWay ? file_passes::preFilterAndCheck (source, filter, *writer, wide ? 24 : 16, workingChecked)
                         : file_passes::preFilter (source, filter, *writer, declipper ? &*declipper : nullptr)))
    {
        fail (readErrorMessage (input));
        return false;
    }
    keepDeclipped (declipper);
    if (const auto written = writer->finish(); ! written.ok())
    {
        fail ("Pre-filter failed: " + written.message);
        return false;
    }
    currentFile = prefiltered;
    return true;
}

// The pre-filter's settings, logged and kept for the report.
stages::PreFilterParameters FileRun::preFilterParametersFor (bool hasGridHum)
{
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
    return preFilterParameters;
}

// What the declipper rebuilt, into the report and the log.
void FileRun::keepDeclipped (const std::optional<stages::Declipper>& declipper)
{
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
}
} // namespace file_run

} // namespace tessaloom
