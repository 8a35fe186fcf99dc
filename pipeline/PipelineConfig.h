#pragma once

#include "io/CodecFiles.h"

#include <juce_core/juce_core.h>

// The stages a run may skip, by the number the command line gives them.
enum class BypassStage : int
{
    none = 0,
    preGain = 1,       // the analysis still runs; no gain, and the expander keeps its base threshold
    deEsser = 2,
    vocalEq = 3,
    leveler = 4,
    saturation = 5,
    normalization = 6, // the analysis still runs; no gain
    limiter = 7        // the limiter and the output trim
};

// How the chain ends (Stage 6).
enum class Finish
{
    peakTrim, // the limiter at -1 dB and the trim of the sample peak to -5.5 dBFS
    loudness  // a true-peak limiter under a ceiling and a final gain onto the target loudness
};

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
    // 1..7 each skip one stage (see BypassStage); any other value skips nothing.
    int bypassStage = 0;
    // Measure each written output and record what the chain chose (for the
    // per-file report); off, the run does no extra work.
    bool measureOutput = false;
    Finish finish = Finish::peakTrim;
    // The loudness finish's ceiling for the reconstructed output, dBTP.
    float truePeakDbtp = -1.0f;
    // The delivery preset the report checks the output against; empty: none.
    juce::String deliveryPreset;
    // The output's format (io/CodecFiles.h); the default is the specified 16-bit WAV.
    OutputFormat outputFormat;

    bool bypasses (BypassStage stage) const { return stage != BypassStage::none && bypassStage == (int) stage; }
};
