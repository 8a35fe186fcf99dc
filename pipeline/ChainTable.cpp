#include "pipeline/ChainSteps.h"

// The chain as a table: the header, switches and labels of every step.

namespace
{
constexpr auto always = Header::always;
constexpr auto whenItRuns = Header::whenItRuns;
constexpr auto skip = WhenBypassed::skip;
constexpr auto measureOnly = WhenBypassed::measureOnly;

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
} // namespace

const std::vector<ShapingStep>& shapingSteps()
{
    // clang-format off
    static const std::vector<ShapingStep> steps {
        // header                                                          printed     bypass                    bypassed     switch              check         report                       designed by
        { { "Stage 1.6: Pre-Gain Leveling (Target: {target} LUFS)",         always,     BypassStage::preGain,     measureOnly, Switch::none,       "PreGain",    "PreGain",                   }, step_design::preGain },
        { { "Stage 1.7: Dynamic De-esser",                                  always,     BypassStage::deEsser,     skip,        Switch::none,       "De-esser",   "De-esser",                  }, step_design::deEsser },
        { { "Stage 1.8: Downward Expander",                                 always,     BypassStage::none,        skip,        Switch::none,       "Expander",   "Expander",                  }, step_design::expander },
        { { "Stage 3: Corrective & Enhancement EQ ({voice})",               whenItRuns, BypassStage::vocalEq,     skip,        Switch::eq,         "Vocal EQ",   "Corrective/Enhancement EQ", }, step_design::vocalEq },
        { { "Stage 2: Opto-Style Serial Leveler",                           whenItRuns, BypassStage::leveler,     skip,        Switch::compressor, "Compressor", "Compressor",                }, step_design::leveler },
        { { "Stage 4: Harmonic Saturation",                                 always,     BypassStage::saturation,  skip,        Switch::none,       "Saturation", "Saturation",                }, step_design::saturation },
    };
    // clang-format on
    return steps;
}

// clang-format off
const ChainStep normalizationStep {
    "Stage 5: Broadcast Normalization (Target: {target} LUFS)", always, BypassStage::normalization, measureOnly,
    Switch::none, "Final Normalization", "Final Normalization" };
const ChainStep limiterStep {
    "Stage 6: True Peak Limiter", always, BypassStage::limiter, skip,
    Switch::none, "Limiter", "Limiter & Output Trim" };
// The same bypass number as the peak limiter, its own header and report label.
const ChainStep loudnessFinishStep {
    "Stage 6: Delivery Finish (Target: {target} LUFS, Ceiling: {ceiling} dBTP)", always, BypassStage::limiter, skip,
    Switch::none, "Limiter", "Delivery Finish" };
// clang-format on

bool bypassed (const ChainStep& step, const PipelineConfig& config)
{
    return config.bypasses (step.bypass);
}

bool runs (const ChainStep& step, const PipelineConfig& config)
{
    return switchedOn (step.switchedBy, config) && ! (bypassed (step, config) && step.whenBypassed == skip);
}

void logHeader (const ChainStep& step, const PipelineConfig& config)
{
    if (runs (step, config) || step.headerPrinted == always)
        juce::Logger::writeToLog ("[AudioPipeline] "
                                  + juce::String (step.header)
                                        .replace ("{target}", juce::String (config.targetLufs, 1))
                                        .replace ("{ceiling}", juce::String (config.truePeakDbtp, 1))
                                        .replace ("{voice}", config.voiceType));
}
