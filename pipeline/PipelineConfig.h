#pragma once

#include <juce_core/juce_core.h>

// The run configuration, copied by value into every per-file job.
struct PipelineConfig
{
    bool denoise = true;
    bool compressor = true;
    bool eq = true;
    juce::String voiceType { "Male" };
    juce::String deepFilterPath;
    juce::String ffmpegPath;
    float targetLufs = -18.0f;
    // 1..7 each skip one stage; any other value skips nothing.
    int bypassStage = 0;
};
