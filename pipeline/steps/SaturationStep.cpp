#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// Saturation: the mapping's drive into the tape curve, with its roll-off.

namespace steps
{
namespace
{
Designed<SaturationSettings> design (const Context& c, bool)
{
    const stages::SaturationParameters p { c.params.saturationDriveDb };
    return { linesFor (stages::SaturationReport { p.driveDb }),
             pass::holding (std::make_shared<stages::Saturation> (stages::designSaturation (p, c.sampleRate), c.numChannels)),
             { p.driveDb } };
}
} // namespace

// clang-format off
const Shaping saturation {
    { "Stage 4: Harmonic Saturation", Header::always, 5, WhenBypassed::skip, Switch::none, "Saturation", "Saturation" },
    designAndRecord<&ChainSettings::saturation, design> };
// clang-format on

juce::StringArray linesFor (const stages::SaturationReport& r)
{
    return { "[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+"
             + juce::String (r.driveDb, 1) + "dB)" };
}

void SaturationSettings::addKeys (ReportKeys& keys) const
{
    keys.number ("saturationDriveDb", driveDb);
}
} // namespace steps

} // namespace tessaloom
