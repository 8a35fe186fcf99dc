#include "pipeline/Chain.h"

#include "analysis/AudioAnalyzer.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"

namespace
{
void log (const juce::String& message)
{
    juce::Logger::writeToLog (message);
}

// The in-memory chain as a table, in run order.

// What the stage operations work on.
struct ChainContext
{
    juce::AudioBuffer<float>& buffer;
    double sampleRate;
    const PipelineConfig& config;
    const AutoMapParameters& params;
    // The analysis after pre-filter and noise reduction, before pre-gain; the
    // dynamics thresholds are re-referenced from it.
    AnalysisResult beforePreGain {};
};

// Which command-line switch a step depends on.
enum class Switch { none, eq, compressor };

// What a bypass number does to its step.
enum class WhenBypassed
{
    skip,        // the step does not run (and its header is printed only if `header` says always)
    measureOnly  // the step runs its measurement, and applies no gain
};

// Whether the header line is printed when the step does not run.
enum class Header { always, whenItRuns };

struct ChainStep
{
    const char* header;      // "{target}" and "{voice}" are filled in
    Header headerPrinted;
    BypassStage bypass;
    WhenBypassed whenBypassed;
    Switch switchedBy;
    const char* checkLabel;  // names the step in a non-finite error
    const char* reportLabel; // names the step in the peak report
    void (*run) (ChainContext&, bool bypassed);
};

void preGain (ChainContext& c, bool bypassed)
{
    c.beforePreGain = AudioAnalyzer::analyze (c.buffer, c.sampleRate);
    stage_log::write (stages::applyPreGain (
        c.buffer, { c.config.targetLufs, (float) c.beforePreGain.integratedLUFS, bypassed }));
}

void deEsser (ChainContext& c, bool)
{
    stage_log::write (stages::applyDeEsser (c.buffer, c.sampleRate,
                                            { AutoMap::deEsserThreshold (c.config.targetLufs, c.beforePreGain) }));
}

void expander (ChainContext& c, bool)
{
    const float threshold = AutoMap::expanderThreshold (c.config.targetLufs, c.beforePreGain,
                                                        c.params.expanderThresholdDb,
                                                        c.config.bypasses (BypassStage::preGain));
    stage_log::write (stages::applyExpander (c.buffer, c.sampleRate, { threshold }));
}

void vocalEq (ChainContext& c, bool)
{
    stage_log::write (stages::applyVocalEq (
        c.buffer, c.sampleRate, { c.config.voiceType, c.params.airShelfDb, c.params.presenceDb, c.params.mudCutDb }));
}

void leveler (ChainContext& c, bool)
{
    stage_log::write (stages::applyLeveler (c.buffer, c.sampleRate));
}

void saturation (ChainContext& c, bool)
{
    stage_log::write (stages::applySaturation (c.buffer, c.sampleRate, { c.params.saturationDriveDb }));
}

void normalization (ChainContext& c, bool bypassed)
{
    // Measured even when bypassed: the analyzer's report is part of the log.
    const auto analysis = AudioAnalyzer::analyze (c.buffer, c.sampleRate);
    stage_log::write (stages::applyNormalizationGain (
        c.buffer, { c.config.targetLufs, (float) analysis.integratedLUFS, bypassed }));
}

void limiterAndTrim (ChainContext& c, bool)
{
    stage_log::write (stages::applyLimiter (c.buffer, c.sampleRate, {}));
    stage_log::write (stages::applyOutputTrim (c.buffer));
}

constexpr auto always = Header::always;
constexpr auto whenItRuns = Header::whenItRuns;
constexpr auto skip = WhenBypassed::skip;
constexpr auto measureOnly = WhenBypassed::measureOnly;

// clang-format off
const ChainStep chain[] = {
    // header                                                         printed     bypass                       bypassed     switch              check                  report                        operation
    { "Stage 1.6: Pre-Gain Leveling (Target: {target} LUFS)",         always,     BypassStage::preGain,        measureOnly, Switch::none,       "PreGain",             "PreGain",                    preGain },
    { "Stage 1.7: Dynamic De-esser",                                  always,     BypassStage::deEsser,        skip,        Switch::none,       "De-esser",            "De-esser",                   deEsser },
    { "Stage 1.8: Downward Expander",                                 always,     BypassStage::none,           skip,        Switch::none,       "Expander",            "Expander",                   expander },
    { "Stage 3: Corrective & Enhancement EQ ({voice})",               whenItRuns, BypassStage::vocalEq,        skip,        Switch::eq,         "Vocal EQ",            "Corrective/Enhancement EQ",  vocalEq },
    { "Stage 2: Opto-Style Serial Leveler",                           whenItRuns, BypassStage::leveler,        skip,        Switch::compressor, "Compressor",          "Compressor",                 leveler },
    { "Stage 4: Harmonic Saturation",                                 always,     BypassStage::saturation,     skip,        Switch::none,       "Saturation",          "Saturation",                 saturation },
    { "Stage 5: Broadcast Normalization (Target: {target} LUFS)",     always,     BypassStage::normalization,  measureOnly, Switch::none,       "Final Normalization", "Final Normalization",        normalization },
    { "Stage 6: True Peak Limiter",                                   always,     BypassStage::limiter,        skip,        Switch::none,       "Limiter",             "Limiter & Output Trim",      limiterAndTrim },
};
// clang-format on

bool switchedOn (Switch s, const PipelineConfig& config)
{
    switch (s)
    {
        case Switch::eq:         return config.eq;
        case Switch::compressor: return config.compressor;
        case Switch::none:       break;
    }
    return true;
}

juce::String headerText (const ChainStep& step, const PipelineConfig& config)
{
    return "[AudioPipeline] "
           + juce::String (step.header)
                 .replace ("{target}", juce::String (config.targetLufs, 1))
                 .replace ("{voice}", config.voiceType);
}
} // namespace

std::optional<ChainStop> runChain (juce::AudioBuffer<float>& buffer, double sampleRate, const PipelineConfig& config,
                                   const AutoMapParameters& params)
{
    ChainContext context { buffer, sampleRate, config, params };
    for (const auto& step : chain)
    {
        const bool bypassed = config.bypasses (step.bypass);
        const bool runs = switchedOn (step.switchedBy, config) && ! (bypassed && step.whenBypassed == skip);
        if (runs || step.headerPrinted == always)
            log (headerText (step, config));
        if (runs)
            step.run (context, bypassed);

        if (buffer.getNumChannels() > 0)
            if (const int count = sample_checks::countNonFinite (buffer); count > 0)
                return ChainStop { step.checkLabel, count };
        log (stage_log::peakLine (step.reportLabel, sample_checks::peakLevelDbfs (buffer)));
    }
    return std::nullopt;
}
