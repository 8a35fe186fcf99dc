#pragma once

#include "analysis/AnalysisResult.h"
#include "analysis/Clipping.h"
#include "analysis/MainsHum.h"
#include "analysis/Overview.h"
#include "common/Levels.h"
#include "pipeline/AutoMap.h"
#include "pipeline/DeliveryEncode.h"
#include "pipeline/steps/StepSettings.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace tessaloom
{

// The finished file as written: the analysis of its 16-bit samples.
struct OutputMeasurement
{
    AnalysisResult analysis;   // integratedLUFS, truePeakDBTP, durationSeconds, numSamples (frames per channel)...
    // The true peak by the accurate meter (analysis/PrecisionTruePeak.h), dBTP:
    // what the report gives and the delivery checks compare. The analysis
    // meter's truePeakDBTP above reads high near Nyquist and on clicks.
    double truePeakDbtp = kNoLevelDb;
    double samplePeakDbfs = kNoLevelDb;
    double rmsDbfs = kNoLevelDb;                // over every channel and frame
    double quietestHalfSecondDbfs = kNoLevelDb; // RMS of the quietest 0.5 s (the noise floor between words)
    std::optional<double> loudnessRangeLu; // EBU Tech 3342; empty below one 3 s window or when nothing passes the gates
    juce::int64 numFrames = 0;
};

// What the run found of the room and did about it: each field is empty when it
// was not measured or not done (the room options and the presets; clipping with --report too).
struct RoomFindings
{
    std::optional<ClippingMeasurement> clipping; // the input's, with --report, --declip or a preset
    std::optional<MainsHumMeasurement> hum;      // with --hum auto, 50 or 60 (and the presets)
    std::vector<float> humNotchedHz;             // the lines the pre-filter notched, measured
    std::optional<juce::int64> declippedSamples; // with --declip: samples rebuilt
    juce::int64 declipLeftRuns = 0;              // runs too long to rebuild
    float declipHeadroomDb = 0.0f;               // the gain the declipped file was lowered by
    // The denoiser's attenuation limit as run, and where it came from ("mapped", "option", "preset").
    std::optional<float> denoiseLimitDb;
    juce::String denoiseLimitSource;
    std::optional<float> denoiseLimitNeededDb;   // audiobook: what the -60 dBFS floor would need
    // Mean power of the input's speech blocks over its pause blocks (20 ms each, the voice
    // activity of the input's analysis), in the input and in the output's working samples.
    std::optional<double> inputSpeechToPauseDb, outputSpeechToPauseDb;
    float backgroundDuckDb = 0.0f;               // how far the blocks without speech were lowered to keep the pauses down
    int backgroundShapePasses = 0;
    std::vector<std::pair<float, double>> backgroundTried; // each shaping pass: the lowering, dB, and the ratio it gave
    // The denoiser that ran (its result was used), as given and whether it is the bundled one.
    juce::String denoiserPath;
    std::optional<bool> denoiserBundled;
};

// What one pipeline call reports. Every field is defined on every return.
struct PipelineResult
{
    bool success = false;
    juce::String errorMessage;
    // "DeepFilterNet3", "None (passthrough)", "Failed" or "Skipped".
    juce::String denoiseEngine;
    // JSON of the input's analysis; empty when the input could not be opened for it.
    juce::String analysisJson;
    double processingTimeMs = 0.0;

    // Filled only when the configuration asks for the output to be measured.
    AutoMapParameters mapping;             // the mapping of the input's analysis (its defaults when there was none)
    ChainSettings settings;
    std::optional<OutputMeasurement> output; // empty when the file failed or its output could not be read back
    juce::String outputMeasureError;         // why a written output could not be measured
    double outputMeasureMs = 0.0;            // the measurement's time, not part of processingTimeMs
    // The pictures of the input as its analysis read it and of the written output;
    // empty when that file was not read to its end.
    std::optional<SignalOverview> inputOverview;
    std::optional<SignalOverview> outputOverview;
    RoomFindings room;
    // A lossy output: the codec, the encodes and the correction, and the decoded
    // file's loudness and true peak (those two measured only when the loudness
    // finish searched the correction). Empty for WAV and FLAC.
    std::optional<EncodedDelivery> encode;
};

} // namespace tessaloom
