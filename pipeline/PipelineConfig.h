#pragma once

#include "io/CodecFiles.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace tessaloom
{

// How the chain ends (Stage 6).
enum class Finish
{
    peakTrim, // the limiter at -1 dB and the trim of the sample peak to -5.5 dBFS
    loudness  // a true-peak limiter under a ceiling and a final gain onto the target loudness
};

// What the pre-filter does about mains hum.
enum class HumMode
{
    specified, // the 50 Hz family at fixed notches, when the analysis's grid-hum check fires (no option given)
    automatic, // --hum auto: 50 or 60 Hz as measured, notching only the lines that stand out, where they lie
    mains50,   // --hum 50: as auto, but only the 50 Hz family is looked for
    mains60,   // --hum 60: as auto, but only the 60 Hz family is looked for
    off        // --hum off: no notch, whatever the recording holds
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
    // 1..7 each skip one step (each step's row in pipeline/steps/ holds its number); any other value skips nothing.
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

    // The room options (none of them changes a run that does not give them).
    HumMode hum = HumMode::specified;
    bool declip = false;                 // rebuild clipped stretches before the chain
    std::optional<float> denoiseLimitDb; // overrides the mapped attenuation limit of the denoiser
    bool outputsOnly = false;            // only the mastered outputs go into the output folder
    bool keepBackground = false;         // the chain never lifts the pauses towards the speech (the presets)
    bool roomLog = false;                // log the room lines (hum, clipping, background): a room option or a preset

    // Whether the step of this bypass number is skipped (0: a step no number reaches).
    bool bypasses (int stageNumber) const { return stageNumber != 0 && bypassStage == stageNumber; }
};

} // namespace tessaloom
