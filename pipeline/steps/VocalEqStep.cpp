#include "pipeline/steps/Steps.h"

namespace tessaloom
{

// The vocal EQ (with --eq on): the voice type's band and the mapping's air,
// presence and mud cut.

namespace steps
{
namespace
{
Designed<VocalEqSettings> design (const Context& c, bool)
{
    const stages::VocalEqParameters p { c.config.voiceType, c.params.airShelfDb, c.params.presenceDb, c.params.mudCutDb };
    return { linesFor (stages::describeVocalEq (p)),
             pass::holding (std::make_shared<stages::BiquadCascade> (stages::designVocalEq (p, c.sampleRate), c.numChannels)),
             { true, p.voiceType, p.airShelfDb, p.presenceDb, p.mudCutDb } };
}
} // namespace

// clang-format off
const Shaping vocalEq {
    { "Stage 3: Corrective & Enhancement EQ ({voice})", Header::whenItRuns, 3, WhenBypassed::skip, Switch::eq,
      "Vocal EQ", "Corrective/Enhancement EQ" },
    designAndRecord<&ChainSettings::vocalEq, design> };
// clang-format on

juce::StringArray linesFor (const stages::VocalEqReport& r)
{
    const auto db = [] (float value) { return juce::String (value, 1); };
    return { "[AudioPipeline/EQ] Applied " + r.voiceType + " vocal EQ: " + "Thickness=" + db (r.thicknessDb) + "dB, "
             + "MudCut=" + db (r.mudCutDb) + "dB, " + "Presence=" + db (r.presenceDb) + "dB, " + "AirShelf="
             + db (r.airShelfDb) + "dB" };
}

void VocalEqSettings::addKeys (ReportKeys& keys) const
{
    if (! ran)
    {
        keys.json ("eq", "null");
        return;
    }
    ReportKeys eq (keys.quote);
    eq.text ("voiceType", voiceType).number ("airShelfDb", airShelfDb).number ("presenceDb", presenceDb);
    keys.json ("eq", eq.number ("mudCutDb", mudCutDb).close());
}
} // namespace steps

} // namespace tessaloom
