#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// The leveler (with --compressor on): a fixed serial opto-style design; the
// report gives the ratio the mapping names for it.

namespace steps
{
namespace
{
Designed<LevelerSettings> design (const Context& c, bool)
{
    return { linesFor (stages::LevelerReport {}),
             pass::holding (std::make_shared<stages::Leveler> (stages::designLeveler ({}, c.sampleRate), c.numChannels)),
             { c.params.reportedCompRatio } };
}
} // namespace

// clang-format off
const Shaping leveler {
    { "Stage 2: Opto-Style Serial Leveler", Header::whenItRuns, 4, WhenBypassed::skip, Switch::compressor,
      "Compressor", "Compressor" },
    designAndRecord<&ChainSettings::leveler, design> };
// clang-format on

juce::StringArray linesFor (const stages::LevelerReport&)
{
    return { "[AudioPipeline/Compressor] Applied Serial Opto-Style Leveler (LA-2A Topology)" };
}

void LevelerSettings::addKeys (ReportKeys& keys) const
{
    keys.number ("compressorRatio", ratio);
}
} // namespace steps

} // namespace tessaloom
