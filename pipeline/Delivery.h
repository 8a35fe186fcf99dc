#pragma once

#include "pipeline/PipelineConfig.h"
#include "pipeline/PipelineResult.h"

#include <juce_core/juce_core.h>

#include <optional>
#include <vector>

namespace tessaloom
{

// The places people deliver spoken word to: what each asks of a file, and the
// loudness finish's settings that meet it. One table; the command line's
// --preset and the report's delivery checks read it.
namespace delivery
{
struct Preset
{
    const char* name;
    float targetLufs;   // what --preset sets --target-lufs to
    float ceilingDbtp;  // and --true-peak
    // The requirements, each checked only when given.
    std::optional<float> loudnessToleranceLu; // integrated loudness within the target +- this
    std::optional<float> maxTruePeakDbtp;
    std::optional<float> minRmsDbfs, maxRmsDbfs;   // RMS over the whole file and every channel
    std::optional<float> maxSamplePeakDbfs;
    std::optional<float> maxNoiseFloorDbfs;        // RMS of the quietest half-second
    const char* description;                       // for the help and the README
};

const std::vector<Preset>& presets();

// The preset of that name, or null.
const Preset* findPreset (const juce::String& name);

// What the loudness finish of a file aims at: the integrated loudness and the
// true-peak ceiling, as the options left them (a preset sets both, each option
// given on its own overrides it). Made once per file by the driver and handed
// to what needs it.
struct FinishAim
{
    float targetLufs = 0.0f;
    float ceilingDbtp = 0.0f;
};

FinishAim finishAimOf (const PipelineConfig& config);

struct Check
{
    const char* requirement; // "integratedLufs", "truePeakDbtp", "rmsDbfs", "samplePeakDbfs", "noiseFloorDbfs"
    double measured = 0.0;
    std::optional<double> min, max;
    bool pass = false;
};

struct Verdict
{
    juce::String preset;
    std::vector<Check> checks;
    bool pass = false; // every check passed
};

// The preset's requirements against the written file's measurements.
Verdict check (const Preset& preset, const OutputMeasurement& output);

// The RMS over every channel of the quietest half-second of a recording, taken
// in steps of 0.1 s: how loud the room is where nobody speaks. Takes the
// recording in blocks of any length; holds six doubles.
class QuietestHalfSecond
{
public:
    QuietestHalfSecond (int numChannels, double sampleRate);

    void add (const float* const* channels, int numFrames);

    // dBFS; -144 for digital silence; the whole recording's RMS when it is shorter than half a second.
    double finishDbfs() const;

private:
    int numChannels;
    int stepFrames;
    static constexpr int stepsPerWindow = 5;
    double steps[stepsPerWindow] = {};
    int completeSteps = 0;
    double open = 0.0;
    int openFrames = 0;
    double quietest = -1.0; // mean square of the quietest window so far; < 0: none yet
    double total = 0.0;
    juce::int64 frames = 0;
};
} // namespace delivery

} // namespace tessaloom
