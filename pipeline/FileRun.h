#pragma once

#include "analysis/AudioAnalyzer.h"
#include "analysis/Clipping.h"
#include "analysis/MainsHum.h"
#include "analysis/SpeechToPause.h"
#include "io/AudioFileIO.h"
#include "io/CodecFiles.h"
#include "io/BlockSource.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Chain.h"
#include "pipeline/Delivery.h"
#include "pipeline/FilePasses.h"
#include "pipeline/OutputSink.h"
#include "pipeline/Pass.h"
#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"
#include "pipeline/WorkFolder.h"
#include "pipeline/stages/Declipper.h"
#include "pipeline/stages/PreFilter.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <optional>
#include <vector>

namespace tessaloom
{

// One call of AudioPipeline::processFile, the driver of a file through its
// phases. Its rooms: the input's analysis and pre-filter
// (pipeline/FileRunInput.cpp), the outside denoiser and the ASR feed
// (pipeline/FileRunDenoise.cpp), the chain or the copy into the output
// (pipeline/FileRunOutput.cpp), and the run's start, end and read-back
// (pipeline/AudioPipeline.cpp).
namespace file_run
{
// The analysis's voice-activity blocks, the background guard's frames.
constexpr double kSpeechBlockSeconds = 0.02;

void log (const juce::String& message);
double nowMs();

// The input's scans for the room, riding on its checking pass: clipping, mains
// hum, and the block powers the background guard sorts into speech and pauses.
struct RoomScans
{
    std::optional<clipping::Scan> clipScan;
    std::optional<mains_hum::Scan> humScan;
    std::optional<BlockPowers> blockPowers;

    // The taps of the scans made; they hold on to this record, which stays where it is while they run.
    std::vector<pass::Tap> taps();
};

// The file's state as it moves through the phases.
class FileRun
{
public:
    FileRun (const juce::File& in, const juce::File& out, const PipelineConfig& c);

    // A failed file leaves nothing that could pass for a product of it: its ASR
    // feed goes, and so does the copy of the input; the work folder stays only
    // when it holds an intermediate worth looking at. Also when the pipeline is
    // left by an exception.
    ~FileRun();

    PipelineResult master();

private:
    double elapsedMs() const { return nowMs() - startMs; }
    PipelineResult& fail (const juce::String& message);
    bool stopAfter (const juce::String& label, int nonFiniteCount);

    // The input (pipeline/FileRunInput.cpp).
    bool analyseAndPreFilter();
    std::optional<Analysis> analyseInput (AudioBlockSource& source);
    void startRoomScans (const AudioBlockSource& source, RoomScans& scans) const;
    bool inputReadsWell (const file_passes::CheckedRead& loaded, int numChannels);
    void mapInput (const Analysis& analysis);
    void keepRoomFindings (RoomScans& scans, const Analysis& analysis);
    void logRoom() const;
    void chooseDenoiseLimit (const AnalysisResult& analysis);
    bool writePreFiltered (AudioBlockSource& source, bool hasGridHum);
    stages::PreFilterParameters preFilterParametersFor (bool hasGridHum);
    void keepDeclipped (const std::optional<stages::Declipper>& declipper);
    bool measuresHum() const { return config.hum != HumMode::specified && config.hum != HumMode::off; }

    // The denoiser (pipeline/FileRunDenoise.cpp).
    void reduceNoise();
    void exportAsrFeed();
    Outcome writeFeed (const juce::File& feed);

    // The output (pipeline/FileRunOutput.cpp).
    bool runChainIntoOutput();
    bool openWorkingFile (std::unique_ptr<AudioFileSource>& source);
    std::optional<BackgroundGuard> backgroundGuardFor (const AudioBlockSource& working);
    bool completeOutput (output_sink::OutputSink& sink);
    std::optional<Analysis> checkWorking (AudioBlockSource& working, const juce::File& shownFile);
    bool copyToOutput();
    AudioBlockSource& atInputLength (AudioBlockSource& source, std::unique_ptr<FittedLengthSource>& fitted) const;

    // The end (pipeline/AudioPipeline.cpp).
    void finishOutputs();
    void measureOutput();

    const juce::File input, output;
    const PipelineConfig& config;
    const delivery::FinishAim aim; // the loudness finish's target and ceiling, read once for the file
    const double startMs = nowMs();
    PipelineResult result;
    work_folder::WorkFolder work;

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
    std::optional<file_passes::CheckedRead> workingChecked; // the working file's check, made while the pre-filter wrote it
};
} // namespace file_run

} // namespace tessaloom
