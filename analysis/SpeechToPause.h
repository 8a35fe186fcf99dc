#pragma once

// Speech to pauses: the mean power of the blocks a recording's voice activity
// marked as speech over the mean power of the others, measured on other
// samples of the same length (the recording after processing), so the two are
// compared frame for frame. For the input itself this is its SNR. Takes the
// samples in blocks of any length; holds two sums and the open block.

#include <juce_core/juce_core.h>

#include <cmath>
#include <optional>
#include <vector>

class SpeechToPause
{
public:
    // speechBlocks: one flag per block of blockFrames frames (the analysis's 20 ms blocks).
    SpeechToPause (const std::vector<bool>& speechBlocks, int blockFrames)
        : speech (speechBlocks), blockFrames (juce::jmax (1, blockFrames))
    {
    }

    void add (const float* const* channels, int numChannels, int numFrames)
    {
        for (int i = 0; i < numFrames; ++i)
        {
            double sum = 0.0;
            for (int c = 0; c < numChannels; ++c)
                sum += (double) channels[c][i] * (double) channels[c][i];
            openSum += sum;
            if (++openFrames == blockFrames)
                closeBlock();
        }
    }

    // dB; empty when either kind of block is missing or silent.
    std::optional<double> ratioDb()
    {
        if (openFrames > 0)
            closeBlock();
        if (speechBlocks == 0 || pauseBlocks == 0 || ! (speechPower > 0.0) || ! (pausePower > 0.0))
            return std::nullopt;
        return 10.0 * std::log10 ((speechPower / speechBlocks) / (pausePower / pauseBlocks));
    }

private:
    void closeBlock()
    {
        const bool isSpeech = block < speech.size() && speech[block];
        const double mean = openSum / openFrames;
        if (block < speech.size())
        {
            (isSpeech ? speechPower : pausePower) += mean;
            ++(isSpeech ? speechBlocks : pauseBlocks);
        }
        ++block;
        openSum = 0.0;
        openFrames = 0;
    }

    const std::vector<bool>& speech;
    int blockFrames;
    size_t block = 0;
    double openSum = 0.0;
    int openFrames = 0;
    double speechPower = 0.0, pausePower = 0.0;
    juce::int64 speechBlocks = 0, pauseBlocks = 0;
};
