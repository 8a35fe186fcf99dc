#pragma once

#include "analysis/AudioAnalyzer.h"
#include "analysis/SpeechToPause.h"
#include "io/BlockSource.h"
#include "pipeline/AutoMap.h"
#include "pipeline/Pass.h"
#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <optional>

namespace tessaloom
{

// Where the chain stopped: the first step after which a sample was not a
// finite number, and how many such samples the whole file held then; or, when
// the working file could not be read to its end or the chain's own samples
// could not be kept or read back, why.
struct ChainStop
{
    juce::String checkLabel;
    int nonFiniteCount = 0;
    juce::String readError; // set instead of the two above
};

// Where the finished audio goes, block by block, in order.
class ChainSink
{
public:
    virtual ~ChainSink() = default;
    virtual void write (const juce::AudioBuffer<float>& block, int numFrames) = 0;
};

// With a preset: the chain may not bring the pauses closer to the speech than
// the input has them. The shaping pass measures its speech-to-pause ratio on
// the input's speech and pause blocks; when it falls short, the shaping runs
// again with the input's blocks without speech lowered by the shortfall
// (stages::PauseDucker; a few passes at most).
struct BackgroundGuard
{
    const std::vector<BlockKind>& blocks;  // the input's speech and pauses, 20 ms blocks
    int blockFrames;
    double inputSpeechToPauseDb;
    RoomFindings& findings;                // receives the ratio after the chain and the raise
};

struct ChainInput
{
    AudioBlockSource& source;          // the working file, after pre-filter and noise reduction
    juce::File sourceFile;             // its name, for a read error
    const Analysis& beforePreGain;     // its analysis; the dynamics thresholds are re-referenced from it
    const PipelineConfig& config;
    const AutoMapParameters& params;   // the mapping of the input's analysis
    juce::File spillFile;              // where the chain keeps its samples between passes; none: in memory
    ChainSettings* settings = nullptr; // when given, receives what each stage was set to
    BackgroundGuard* background = nullptr; // when given, the pauses are kept down
    std::vector<double> loudnessWeights = {}; // the channels' BS.1770 weights for the loudness finish; empty: 1.0 each
};

// Runs the stages from pre-gain to the output trim (or the loudness finish)
// over the source in their fixed order: the shaping pass into the spill, then
// the level passes over the spill into the sink (pipeline/FilePasses.h). Each
// step is followed by the non-finite check and the peak report over the whole
// file; the log has each step's header, lines and peak in run order, once its
// pass is through. Stops at the first step that leaves a sample that is not a
// finite number; the sink then has been given nothing. Memory: a few blocks,
// the stages' states and the analysis lists, whatever the length of the file.
std::optional<ChainStop> runChain (const ChainInput& input, ChainSink& sink);

} // namespace tessaloom
