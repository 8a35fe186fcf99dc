#pragma once

#include <juce_core/juce_core.h>

#include "common/Outcome.h"

#include <cstdint>

namespace tessaloom
{

struct NoiseReducerConfig
{
    juce::String deepFilterPath;
    juce::String ffmpegPath;
    int targetSampleRate = 48000;
    // Handed to the denoiser as --atten-lim only when below 100.
    float attenuationLimitDb = 100.0f;
};

enum class NoiseReductionEngine : std::int32_t
{
    DeepFilterNet3 = 0,
    Passthrough = 1
};

// What the noise reduction did. It never fails: without a usable result from
// the denoiser the input is passed through, so there is no failure status here.
struct NoiseReductionResult
{
    NoiseReductionEngine engine = NoiseReductionEngine::DeepFilterNet3;
    // The file the chain continues with; empty when nothing was run.
    juce::String outputPath;
    // Why the input was passed through; empty when it was denoised.
    juce::String message;
    double elapsedMs = 0.0;
};

// Stage 1: noise reduction by the outside DeepFilterNet3 executable, with
// FFmpeg converting to and from 48 kHz. Never fails towards its caller: on any
// failure it passes the input through.
class NoiseReducer
{
public:
    static NoiseReductionResult process (const juce::String& inputPath, const juce::String& outputPath,
                                         const NoiseReducerConfig& config);
    // The denoiser's result at outputPath, or a failure saying why there is none.
    static Outcome runDeepFilterNet3 (const juce::String& inputPath, const juce::String& outputPath,
                                      const NoiseReducerConfig& config);
    // A yes or no, not an Outcome: a step of runDeepFilterNet3, which words the failure.
    static bool resampleWithFFmpeg (const juce::String& inputPath, const juce::String& outputPath,
                                    int sampleRate, const juce::String& ffmpegPath);
};

} // namespace tessaloom
