#pragma once

// Speech to pauses: the mean power of the blocks a recording's voice activity
// marked as speech over the mean power of its pauses (the other blocks), measured on other samples of the same length
// (the recording after processing), so the two are compared block for block.
// Takes the samples in blocks of any length; holds one power per 20 ms block.

#include <juce_core/juce_core.h>

#include <cmath>
#include <optional>
#include <vector>

namespace tessaloom
{

// The mean power of each block of a recording (every channel), in blocks of any length.
class BlockPowers
{
public:
    explicit BlockPowers (int blockFrames) : blockFrames (juce::jmax (1, blockFrames)) {}

    void add (const float* const* channels, int numChannels, int numFrames)
    {
        for (int i = 0; i < numFrames; ++i)
        {
            for (int c = 0; c < numChannels; ++c)
                openSum += (double) channels[c][i] * (double) channels[c][i];
            if (++openFrames == blockFrames)
                close (numChannels);
        }
        lastChannels = numChannels;
    }

    // One per block, the last one shorter.
    std::vector<double> finish()
    {
        if (openFrames > 0)
            close (lastChannels);
        return std::move (powers);
    }

private:
    void close (int numChannels)
    {
        powers.push_back (openSum / ((double) openFrames * juce::jmax (1, numChannels)));
        openSum = 0.0;
        openFrames = 0;
    }

    int blockFrames;
    int openFrames = 0, lastChannels = 1;
    double openSum = 0.0;
    std::vector<double> powers;
};

// What each block of the input is to the measure: speech, a pause, or neither
// (past the end of the analysis).
enum class BlockKind : signed char
{
    neither = -1,
    pause = 0,
    speech = 1
};

class SpeechToPause
{
public:
    SpeechToPause (const std::vector<BlockKind>& kinds, int blockFrames) : kinds (kinds), powers (blockFrames) {}

    void add (const float* const* channels, int numChannels, int numFrames) { powers.add (channels, numChannels, numFrames); }

    // dB; empty when either kind of block is missing or silent.
    std::optional<double> ratioDb() { return ratioOf (kinds, powers.finish()); }

    static std::optional<double> ratioOf (const std::vector<BlockKind>& kinds, const std::vector<double>& powers)
    {
        double speech = 0.0, pause = 0.0;
        juce::int64 speechBlocks = 0, pauseBlocks = 0;
        for (size_t i = 0; i < kinds.size() && i < powers.size(); ++i)
        {
            if (kinds[i] == BlockKind::speech)
            {
                speech += powers[i];
                ++speechBlocks;
            }
            else if (kinds[i] == BlockKind::pause)
            {
                pause += powers[i];
                ++pauseBlocks;
            }
        }
        if (speechBlocks == 0 || pauseBlocks == 0 || ! (speech > 0.0) || ! (pause > 0.0))
            return std::nullopt;
        return 10.0 * std::log10 ((speech / (double) speechBlocks) / (pause / (double) pauseBlocks));
    }

private:
    const std::vector<BlockKind>& kinds;
    BlockPowers powers;
};

} // namespace tessaloom
