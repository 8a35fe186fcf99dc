#pragma once

// Levels: one scan of the samples in 20 ms blocks gives the voice activity,
// the SNR and the crest factor. The stream that takes the recording in blocks
// of any length, and the three measurements made from what it found.

#include "analysis/Measurements.h"

#include <juce_core/juce_core.h>

#include <vector>

namespace tessaloom
{

namespace analysis_detail
{
// What the scan found.
struct LevelScan
{
    int blockSize = 0;
    std::vector<double> blockSums;    // sum of squares over all channels, one per block
    std::vector<int> blockLengths;    // samples per channel in each block
    double sumOfSquares = 0.0;        // each channel's sum in sample order, the channels' sums added in order
    float samplePeak = 0.0f;
};

// Per-block sums of squares (channel by channel, in sample order, as the voice
// activity and SNR define them) and the crest factor's sums, in one pass over
// blocks of blockSize samples (the last may be shorter; none if blockSize < 1).
// A block boundary of the recording never changes the order of a sum: the
// samples of an unfinished 20 ms block are held until it completes. Reads only
// its own state and the block, so other streams may run beside it.
class LevelStream
{
public:
    LevelStream (int numChannels, int blockSize, bool withCrest);

    // last: no frame follows, so a shorter block at the end is scanned in place.
    void add (const float* const* channels, int numFrames, bool last = false);
    // Closes the last, shorter block. Call once.
    LevelScan finish();
    size_t heldBytes() const noexcept;

private:
    void scanBlock (const float* const* channels, int from, int length);
    void hold (const float* const* channels, int from, int length);
    void scanHeld();

    int numChannels = 0, blockSize = 0;
    bool withCrest = false;
    std::vector<double> blockSums;
    std::vector<double> channelSums; // the crest factor's sum of squares, per channel
    float samplePeak = 0.0f;
    std::vector<float> held;         // an unfinished block, channel after channel
    int heldFrames = 0;
    juce::int64 frames = 0;
};

// One flag per block: RMS over all channels strictly above three times the
// tenth-percentile RMS.
VoiceActivityMeasurement voiceActivityFromScan (const LevelScan& scan, int numChannels);
// Mean power of voiced over unvoiced blocks (dB), mean power of the unvoiced
// blocks (dBFS, -144 if none has energy) and the voiced share (0 to 100).
SnrMeasurement snrFromScan (const LevelScan& scan, const std::vector<bool>& voiced, int numChannels);
// Sample peak over RMS of all channels in dB; 0 for silence.
CrestFactorMeasurement crestFactorFromScan (const LevelScan& scan, int numChannels, int numSamples);

// The label the log shows beside a crest factor.
const char* crestClass (double crestDb);
} // namespace analysis_detail

} // namespace tessaloom
