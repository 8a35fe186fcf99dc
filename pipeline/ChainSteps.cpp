#include "pipeline/ChainSteps.h"

#include "analysis/AnalysisLog.h"
#include "pipeline/StageLog.h"

// Each step designed for one file: its processor, the settings it records and
// the lines it logs. Called once per file, before any pass runs the step.

namespace
{
juce::StringArray logLinesOf (const Analysis& a)
{
    auto lines = analysis_log::openingLines (a.result);
    lines.addArray (analysis_log::measurementLines (a.measurements));
    lines.addArray (analysis_log::closingLines (a.result));
    return lines;
}
} // namespace

using pass::holding;

namespace step_design
{
PreparedStep preGain (const StepContext& c, bool bypassed)
{
    const stages::PreGainParameters p { c.config.targetLufs, (float) c.beforePreGain.result.integratedLUFS, bypassed };
    const auto setting = stages::designPreGain (p);
    auto lines = logLinesOf (c.beforePreGain);
    lines.addArray (stage_log::linesFor (stages::PreGainReport { p.measuredLufs, setting }));
    if (setting)
        c.settings.preGainDb = setting->gainDb;
    return { lines, setting ? holding (std::make_shared<stages::Gain> (setting->factor)) : pass::ChannelProcess() };
}

PreparedStep deEsser (const StepContext& c, bool)
{
    const auto design = stages::designDeEsser ({ AutoMap::deEsserThreshold (c.config.targetLufs, c.beforePreGain.result) },
                                               c.sampleRate);
    c.settings.deEsserThresholdDb = design.thresholdDb;
    return { stage_log::linesFor (stages::DeEsserReport { design.thresholdDb }),
             holding (std::make_shared<stages::DeEsser> (design, c.numChannels)) };
}

PreparedStep expander (const StepContext& c, bool)
{
    const float threshold = AutoMap::expanderThreshold (c.config.targetLufs, c.beforePreGain.result,
                                                        c.params.expanderThresholdDb,
                                                        c.config.bypasses (BypassStage::preGain));
    const auto design = stages::designExpander ({ threshold }, c.sampleRate);
    c.settings.expanderThresholdDb = design.thresholdDb;
    c.settings.expanderRatio = design.ratio;
    return { stage_log::linesFor (stages::ExpanderReport { design.thresholdDb, design.ratio }),
             holding (std::make_shared<stages::Expander> (design, c.numChannels)) };
}

PreparedStep vocalEq (const StepContext& c, bool)
{
    const stages::VocalEqParameters p { c.config.voiceType, c.params.airShelfDb, c.params.presenceDb, c.params.mudCutDb };
    c.settings.vocalEq = true;
    return { stage_log::linesFor (stages::describeVocalEq (p)),
             holding (std::make_shared<stages::BiquadCascade> (stages::designVocalEq (p, c.sampleRate), c.numChannels)) };
}

PreparedStep leveler (const StepContext& c, bool)
{
    c.settings.compressorRatio = c.params.reportedCompRatio;
    return { stage_log::linesFor (stages::LevelerReport {}),
             holding (std::make_shared<stages::Leveler> (stages::designLeveler ({}, c.sampleRate), c.numChannels)) };
}

PreparedStep saturation (const StepContext& c, bool)
{
    const stages::SaturationParameters p { c.params.saturationDriveDb };
    c.settings.saturationDriveDb = p.driveDb;
    return { stage_log::linesFor (stages::SaturationReport { p.driveDb }),
             holding (std::make_shared<stages::Saturation> (stages::designSaturation (p, c.sampleRate), c.numChannels)) };
}

} // namespace step_design

NormalizationDesign designNormalization (const StepContext& c, const Analysis& shaped)
{
    NormalizationDesign d;
    d.parameters = { c.config.targetLufs, (float) shaped.result.integratedLUFS, bypassed (normalizationStep, c.config) };
    d.gain = stages::designNormalizationGain (d.parameters);
    c.settings.normalizationMeasuredLufs = d.parameters.measuredLufs;
    if (d.gain)
        c.settings.normalizationGainDb = d.gain->gainDb;
    d.lines = logLinesOf (shaped);
    d.lines.addArray (stage_log::linesFor (stages::NormalizationReport { d.parameters.measuredLufs,
                                                                         d.parameters.targetLufs, d.gain }));
    return d;
}

TrimDesign designTrim (const StepContext& c, float peakAfterLimiter)
{
    const float ceilingDb = stages::LimiterParameters().ceilingDb;
    TrimDesign d;
    d.trim = stages::designOutputTrim ({ peakAfterLimiter });
    c.settings.limiterCeilingDb = ceilingDb;
    if (d.trim)
        c.settings.outputTrimDb = d.trim->gainDb;
    d.lines = stage_log::linesFor (stages::LimiterReport { ceilingDb });
    d.lines.addArray (stage_log::linesFor (stages::OutputTrimReport { d.trim }));
    return d;
}

void recordFinish (const StepContext& c, const stages::LoudnessFinishReport& report, float gainDb)
{
    auto& s = c.settings;
    s.truePeakCeilingDbtp = c.config.truePeakDbtp;
    s.limiterMaxGainReductionDb = report.limiter.maxGainReductionDb;
    s.limiterMeanGainReductionDb = report.limiter.meanGainReductionDb;
    if (report.loudness == stages::LoudnessFinishReport::Loudness::corrected)
    {
        s.finishDriveDb = report.driveDb;
        s.finishGainDb = gainDb;
    }
    s.finishPasses = (int) report.passes.size();
}
