#pragma once

// The measurements as streams: each takes the recording in blocks of any
// length, in order, and gives at the end the values the whole-buffer operation
// gives, bit for bit. A block boundary never changes the order of a sum: a
// filter's state runs on into the next block, a sum that spans the boundary
// is carried over in its running value, and where a sum would have to take
// samples of one channel that have not arrived before those of the next (the
// 20 ms level blocks) the few samples of the unfinished block are held until
// it completes. Apart from the per-block lists (a double per 100 ms and per
// 20 ms), what each stream holds does not grow with the length.
//
// Each stream reads only its own state and the block, so different streams
// may run side by side on the same block. None of them logs.

#include "analysis/AnalysisDetail.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>
#include <vector>

namespace analysis_detail
{
// Gating-block powers of the K-weighted channels (what kWeightedBlockPowers gives).
class LoudnessStream
{
public:
    LoudnessStream (int numChannels, double sampleRate);
    // Blocks of another length and hop, with the same weighting and sums.
    LoudnessStream (int numChannels, double sampleRate, LoudnessBlocks geometry);
    ~LoudnessStream();

    void add (const float* const* channels, int numFrames);

    // The powers of the gating blocks completed so far; once every frame is
    // in, those of the whole recording.
    const std::vector<double>& blockPowers() const noexcept { return powers; }
    // Forgets the powers handed out so far: a reader that takes them as they
    // come keeps the stream's memory flat however long the recording.
    void dropBlockPowers() noexcept { powers.clear(); }
    size_t heldBytes() const noexcept;

    struct Group;

private:
    void addRange (const float* const* channels, int from, int to);
    void closeBlock();

    LoudnessBlocks blocks;
    int numChannels = 0;
    std::vector<std::unique_ptr<Group>> groups;
    std::vector<double> openSums; // per channel, the running sums of the open blocks, oldest first
    int maxOpen = 0;
    std::vector<float> runs[2];
    juce::int64 position = 0, nextStart = 0, nextEnd = 0;
    std::vector<double> powers;
};

// The 4x-oversampled peak (what AudioAnalyzer::measureTruePeak gives).
class TruePeakStream
{
public:
    explicit TruePeakStream (int numChannels);
    ~TruePeakStream();

    void add (const float* const* channels, int numFrames);
    TruePeakMeasurement finish() const;

    struct Group;

private:
    std::vector<std::unique_ptr<Group>> groups;
    juce::int64 position = 0;
};

// The 20 ms level blocks and the crest factor's sums (what scanLevels gives).
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

// The 5 to 8 kHz band's sum of squares (what AudioAnalyzer::measureSibilance gives).
class SibilanceStream
{
public:
    SibilanceStream (int numChannels, double sampleRate);
    ~SibilanceStream();

    void add (const float* const* channels, int numFrames);
    // Adds channel c only; the channels are independent until finish.
    void addChannel (int c, const float* samples, int numFrames);
    void countFrames (int numFrames) noexcept { frames += numFrames; }
    SibilanceMeasurement finish() const;

private:
    struct Band;
    bool measurable = false;
    // One filter and running sum per channel, each in its own allocation, so
    // that channels filtered on different threads write apart.
    std::vector<std::unique_ptr<Band>> bands;
    juce::int64 frames = 0;
};

// The first frames of the file, as many as the spectral tilt and the grid hum read.
class StartFrames
{
public:
    StartFrames (int numChannels, double sampleRate);

    void add (const float* const* channels, int numFrames);
    SpectralTiltMeasurement spectralTilt() const;
    GridHumMeasurement gridHum() const;
    size_t heldBytes() const noexcept { return (size_t) frames.getNumChannels() * (size_t) capacity * sizeof (float); }

    static constexpr int capacity = 1 << 14; // the grid hum's largest frame; the tilt's is smaller

private:
    juce::AudioBuffer<float> held() const;

    double sampleRate = 0.0;
    juce::AudioBuffer<float> frames;
    int count = 0;
};
} // namespace analysis_detail
