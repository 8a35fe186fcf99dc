#include "pipeline/stages/VocalEq.h"

namespace tessaloom
{

namespace stages
{
namespace
{
using Coefficients = juce::dsp::IIR::Coefficients<float>;

constexpr float butterworthQ = 0.707f;

// Band limits per voice: a female voice sits higher, so its high-pass and
// low-pass both move up.
struct VoiceBand
{
    float highPassHz;
    float lowPassHz;
};
constexpr VoiceBand maleBand { 80.0f, 16000.0f };
constexpr VoiceBand femaleBand { 120.0f, 17000.0f };

// Fixed low-mid body.
constexpr float thicknessHz = 150.0f;
constexpr float thicknessQ = 0.4f;
constexpr float thicknessDb = 3.5f;

// Mud cut, only when the mapping asks for a real cut.
constexpr float mudHz = 300.0f;
constexpr float mudQ = 1.0f;
constexpr float mudCutEngagesBelowDb = -0.1f;

constexpr float presenceHz = 4500.0f;
constexpr float presenceQ = 1.0f;

// The air shelf always carries a fixed lift on top of the mapped value.
constexpr float airHz = 10000.0f;
constexpr float airQ = 0.707f;
constexpr float airLiftDb = 2.5f;

float gainFactor (float db)
{
    return juce::Decibels::decibelsToGain (db);
}
} // namespace

BiquadCascadeDesign designVocalEq (const VocalEqParameters& p, double sampleRate)
{
    // Case-sensitive on purpose: "Female" does not contain "Male".
    const auto& band = p.voiceType.contains ("Male") ? maleBand : femaleBand;
    auto at = [sampleRate] (float hz) { return designFrequency (hz, sampleRate); };

    BiquadCascadeDesign design;
    design.add (*Coefficients::makeHighPass (sampleRate, at (band.highPassHz), butterworthQ));
    design.add (*Coefficients::makePeakFilter (sampleRate, at (thicknessHz), thicknessQ, gainFactor (thicknessDb)));
    if (p.mudCutDb < mudCutEngagesBelowDb)
        design.add (*Coefficients::makePeakFilter (sampleRate, at (mudHz), mudQ, gainFactor (p.mudCutDb)));
    design.add (*Coefficients::makePeakFilter (sampleRate, at (presenceHz), presenceQ, gainFactor (p.presenceDb)));
    design.add (*Coefficients::makeHighShelf (sampleRate, at (airHz), airQ, gainFactor (p.airShelfDb + airLiftDb)));
    design.add (*Coefficients::makeLowPass (sampleRate, at (band.lowPassHz), butterworthQ));
    return design;
}

VocalEqReport describeVocalEq (const VocalEqParameters& p)
{
    return { p.voiceType, thicknessDb, p.mudCutDb, p.presenceDb, p.airShelfDb };
}
} // namespace stages

} // namespace tessaloom
