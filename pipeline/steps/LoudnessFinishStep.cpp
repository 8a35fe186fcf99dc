#include "pipeline/steps/Steps.h"

#include "pipeline/Delivery.h"

#include <cmath>

namespace tessaloom
{

// The loudness finish (--finish loudness), in place of the peak limiter: a
// true-peak limiter under the ceiling and a final gain onto the target,
// settled over measuring passes (pipeline/Chain.cpp runs them).

namespace steps
{
// clang-format off
const Row loudnessFinish {
    "Stage 6: Delivery Finish (Target: {target} LUFS, Ceiling: {ceiling} dBTP)", Header::always, 7, WhenBypassed::skip,
    Switch::none, "Limiter", "Delivery Finish" };
// clang-format on

std::optional<stages::TruePeakLimiterDesign> designFinishLimiter (const PipelineConfig& config, double sampleRate)
{
    if (! runs (loudnessFinish, config))
        return std::nullopt;
    stages::TruePeakLimiterParameters parameters;
    parameters.ceilingDbtp = delivery::finishAimOf (config).ceilingDbtp;
    return stages::designTruePeakLimiter (parameters, sampleRate);
}

stages::LoudnessFinishReport startFinishReport (const PipelineConfig& config, const NormalizationDesign& normalization)
{
    using Loudness = stages::LoudnessFinishReport::Loudness;
    stages::LoudnessFinishReport report;
    report.targetLufs = config.targetLufs;
    report.ceilingDbtp = delivery::finishAimOf (config).ceilingDbtp;
    if (! normalization.gain)
        report.loudness = normalization.parameters.bypassed ? Loudness::leftAlone : Loudness::notMeasured;
    return report;
}

LoudnessFinishSettings finishSettings (const PipelineConfig& config, const stages::LoudnessFinishReport& report,
                                       float gainDb)
{
    LoudnessFinishSettings s;
    s.ceilingDbtp = report.ceilingDbtp;
    s.maxGainReductionDb = report.limiter.maxGainReductionDb;
    s.meanGainReductionDb = report.limiter.meanGainReductionDb;
    if (report.loudness == stages::LoudnessFinishReport::Loudness::corrected)
    {
        s.driveDb = report.driveDb;
        s.gainDb = gainDb;
    }
    s.passes = (int) report.passes.size();
    return s;
}

namespace
{
juce::String signedDb (double v)
{
    return juce::String (v >= 0.0 ? "+" : "") + juce::String (v, 2);
}

juce::StringArray passLines (const stages::LoudnessFinishReport& r)
{
    juce::StringArray lines;
    for (size_t i = 0; i < r.passes.size(); ++i)
        lines.add ("[AudioPipeline/Finish] Pass " + juce::String ((int) i + 1) + ": " + signedDb (r.passes[i].driveDb)
                   + "dB into the limiter -> " + juce::String (r.passes[i].lufs, 2) + " LUFS");
    return lines;
}

juce::StringArray correctedLines (const stages::LoudnessFinishReport& r)
{
    juce::StringArray lines;
    lines.add ("[AudioPipeline/Finish] Final gain: " + signedDb (r.gain ? r.gain->gainDb : 0.0f) + "dB -> "
               + juce::String (r.finalLufs, 2) + " LUFS (Target: " + juce::String (r.targetLufs, 1) + " LUFS) after "
               + juce::String ((int) r.passes.size()) + (r.passes.size() == 1 ? " pass" : " passes"));
    if (std::abs (r.finalLufs - r.targetLufs) > r.toleranceLu)
        lines.add ("[AudioPipeline/Finish] WARNING: " + juce::String (r.targetLufs - r.finalLufs, 2)
                   + " LU short of the target: more loudness under the ceiling would take distortion");
    return lines;
}
} // namespace

juce::StringArray linesFor (const stages::LoudnessFinishReport& r)
{
    using Loudness = stages::LoudnessFinishReport::Loudness;
    juce::StringArray lines;
    if (r.loudness == Loudness::corrected)
        lines = passLines (r);
    lines.add ("[AudioPipeline/TruePeakLimiter] Applied True-Peak Limiter (Ceiling=" + juce::String (r.ceilingDbtp, 1)
               + " dBTP, 8x oversampled, linked): max gain reduction " + juce::String (r.limiter.maxGainReductionDb, 2)
               + "dB, mean " + juce::String (r.limiter.meanGainReductionDb, 2) + "dB");
    switch (r.loudness)
    {
        case Loudness::corrected:
            lines.addArray (correctedLines (r));
            break;
        case Loudness::notMeasured:
            lines.add ("[AudioPipeline/Finish] Loudness not measured: no final gain");
            break;
        case Loudness::leftAlone:
            lines.add ("[AudioPipeline/Finish] Normalization bypassed: loudness left as the limiter leaves it");
            break;
    }
    return lines;
}

void LoudnessFinishSettings::addKeys (ReportKeys& keys) const
{
    keys.number ("truePeakCeilingDbtp", ceilingDbtp)
        .number ("limiterMaxGainReductionDb", maxGainReductionDb)
        .number ("limiterMeanGainReductionDb", meanGainReductionDb)
        .number ("finishDriveDb", driveDb)
        .number ("finishGainDb", gainDb)
        .json ("finishPasses", passes > 0 ? juce::String (passes) : juce::String ("null"));
}
} // namespace steps

} // namespace tessaloom
