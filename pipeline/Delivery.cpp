#include "pipeline/Delivery.h"

#include "common/Levels.h"

#include <cmath>

namespace tessaloom
{

namespace delivery
{
// clang-format off
// Podcast: the loudness Apple and most podcast hosts ask for; streaming: the
// music platforms' playback loudness; broadcast: EBU R 128 (-23 LUFS +-0.5 LU,
// -1 dBTP); audiobook: the common audiobook-store rule (RMS -23 to -18 dBFS,
// peaks at most -3 dBFS, noise floor at most -60 dBFS). For the audiobook the
// finish aims at -20 LUFS, which for speech puts the RMS inside its range
// (pauses pull the RMS a little under the loudness), and at -3.5 dBTP, which
// keeps the sample peak, never above the true peak, under -3 dBFS.
const std::vector<Preset>& presets()
{
    static const std::vector<Preset> table {
        //  name         target  ceiling  loudness +-  true peak  RMS from   RMS to     sample peak  noise floor
        { "podcast",     -16.0f, -1.0f,   1.0f,        -1.0f,     {},        {},        {},          {},
          "-16 LUFS +-1 LU, true peak at most -1 dBTP" },
        { "streaming",   -14.0f, -1.0f,   1.0f,        -1.0f,     {},        {},        {},          {},
          "-14 LUFS +-1 LU, true peak at most -1 dBTP" },
        { "broadcast",   -23.0f, -1.0f,   0.5f,        -1.0f,     {},        {},        {},          {},
          "EBU R 128: -23 LUFS +-0.5 LU, true peak at most -1 dBTP" },
        { "audiobook",   -20.0f, -3.5f,   {},          {},        -23.0f,    -18.0f,    -3.0f,       -60.0f,
          "RMS -23 to -18 dBFS, sample peak at most -3 dBFS, noise floor at most -60 dBFS (quietest 0.5 s)" },
    };
    return table;
}
// clang-format on

const Preset* findPreset (const juce::String& name)
{
    for (const auto& p : presets())
        if (name == p.name)
            return &p;
    return nullptr;
}

FinishAim finishAimOf (const PipelineConfig& config)
{
    return { config.targetLufs, config.truePeakDbtp };
}

namespace
{
Check within (const char* requirement, double measured, std::optional<double> min, std::optional<double> max)
{
    Check c { requirement, measured, min, max, true };
    // A level that does not exist (silence) meets no lower bound; a value is compared to hundredths, as reported.
    if (min && ! (measured >= *min - 0.005))
        c.pass = false;
    if (max && ! (measured <= *max + 0.005))
        c.pass = false;
    return c;
}

std::optional<double> opt (const std::optional<float>& v)
{
    return v ? std::optional<double> ((double) *v) : std::nullopt;
}
} // namespace

Verdict check (const Preset& preset, const OutputMeasurement& o)
{
    Verdict v;
    v.preset = preset.name;
    if (preset.loudnessToleranceLu)
        v.checks.push_back (within ("integratedLufs", o.analysis.integratedLUFS, preset.targetLufs - *preset.loudnessToleranceLu,
                                    preset.targetLufs + *preset.loudnessToleranceLu));
    if (preset.maxTruePeakDbtp)
        v.checks.push_back (within ("truePeakDbtp", o.truePeakDbtp, std::nullopt, opt (preset.maxTruePeakDbtp)));
    if (preset.minRmsDbfs || preset.maxRmsDbfs)
        v.checks.push_back (within ("rmsDbfs", o.rmsDbfs, opt (preset.minRmsDbfs), opt (preset.maxRmsDbfs)));
    if (preset.maxSamplePeakDbfs)
        v.checks.push_back (within ("samplePeakDbfs", o.samplePeakDbfs, std::nullopt, opt (preset.maxSamplePeakDbfs)));
    if (preset.maxNoiseFloorDbfs)
        v.checks.push_back (within ("noiseFloorDbfs", o.quietestHalfSecondDbfs, std::nullopt, opt (preset.maxNoiseFloorDbfs)));
    v.pass = true;
    for (const auto& c : v.checks)
        v.pass = v.pass && c.pass;
    return v;
}

//==============================================================================
QuietestHalfSecond::QuietestHalfSecond (int channels, double sampleRate)
    : numChannels (std::max (1, channels)), stepFrames (std::max (1, (int) std::lround (sampleRate * 0.1)))
{
}

void QuietestHalfSecond::add (const float* const* channels, int numFrames)
{
    for (int i = 0; i < numFrames; ++i)
    {
        double sum = 0.0;
        for (int c = 0; c < numChannels; ++c)
            sum += (double) channels[c][i] * (double) channels[c][i];
        open += sum;
        total += sum;
        ++frames;
        if (++openFrames < stepFrames)
            continue;
        steps[completeSteps % stepsPerWindow] = open;
        ++completeSteps;
        open = 0.0;
        openFrames = 0;
        if (completeSteps >= stepsPerWindow)
        {
            double window = 0.0;
            for (double s : steps)
                window += s;
            const double meanSquare = window / ((double) stepsPerWindow * stepFrames * numChannels);
            if (quietest < 0.0 || meanSquare < quietest)
                quietest = meanSquare;
        }
    }
}

double QuietestHalfSecond::finishDbfs() const
{
    const double meanSquare = quietest >= 0.0 ? quietest : (frames > 0 ? total / ((double) frames * numChannels) : 0.0);
    return levelDbfs (std::sqrt (meanSquare));
}
} // namespace delivery

} // namespace tessaloom
