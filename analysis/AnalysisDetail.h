#pragma once

// Building blocks shared by the measurements and the driver. Not part of the
// analyzer's interface: the driver uses them to measure without a copy of the
// buffer and to share one scan among several measurements, and every such path
// gives the same bits as the plain public operation. None of them logs.

#include "analysis/AudioAnalyzer.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace analysis_detail
{
//==============================================================================
// Integrated loudness.

// BS.1770 gating constants.
constexpr double kLoudnessBlockSeconds = 0.4;     // 400 ms gating block
constexpr double kLoudnessHopSeconds = 0.1;       // 75 % overlap
constexpr double kLoudnessOffsetLu = -0.691;      // K-weighting offset of BS.1770
constexpr double kAbsoluteGateLufs = -70.0;
constexpr double kRelativeGateLu = -10.0;

struct LoudnessBlocks
{
    int blockSize = 0;
    int hop = 1;
    int numBlocks = 0; // 0: too short to measure
};

LoudnessBlocks loudnessBlocksFor (int numSamples, double sampleRate);

// Gated integration of the per-block powers (mean squares summed over the channels).
LoudnessMeasurement gateBlockPowers (const std::vector<double>& blockPower);

// The gating-block powers of the unweighted buffer: K-weights the channels in
// short runs (two channels side by side where the processor allows) straight
// into the block sums, so no K-weighted copy of the buffer is made. Equals the
// block powers of applyKWeighting on a copy, bit for bit. Allocates a few
// thousand floats and one double per block (LoudnessStream in one block).
std::vector<double> kWeightedBlockPowers (const juce::AudioBuffer<float>& buffer, double sampleRate);

//==============================================================================
// Sample-level scan for the voice activity, the SNR and the crest factor.

struct LevelScan
{
    int blockSize = 0;
    std::vector<double> blockSums;    // sum of squares over all channels, one per block
    std::vector<int> blockLengths;    // samples per channel in each block
    double sumOfSquares = 0.0;        // each channel's sum in sample order, the channels' sums added in order
    float samplePeak = 0.0f;
};

// Per-block sums of squares (channel by channel, in sample order, as the
// voice activity and SNR define them) and the crest factor's sums, in one pass.
// The blocks of blockSize samples (the last may be shorter; none if blockSize < 1).
LevelScan scanLevels (const juce::AudioBuffer<float>& buffer, int blockSize, bool withCrest);

VoiceActivityMeasurement voiceActivityFromScan (const LevelScan& scan, int numChannels);
SnrMeasurement snrFromScan (const LevelScan& scan, const std::vector<bool>& voiced, int numChannels);
CrestFactorMeasurement crestFactorFromScan (const LevelScan& scan, int numChannels, int numSamples);

//==============================================================================
// The labels the log shows beside a value.
const char* crestClass (double crestDb);
const char* tiltProfile (double slopeDbPerOctave);

} // namespace analysis_detail
