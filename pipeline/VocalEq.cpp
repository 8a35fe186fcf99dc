#include "pipeline/AudioPipeline.h"
#include "pipeline/FilterDesign.h"

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

// Stage 3. Five or six second-order sections in series, each channel in one
// pass, every section from zero state. Allocates only the section list.
void AudioPipeline::applyVocalEQ (juce::AudioBuffer<float>& buffer, double sampleRate, const juce::String& voiceType,
                                  float airShelfDb, float presenceDb, float mudCutDb)
{
    // Case-sensitive on purpose: "Female" does not contain "Male".
    const auto& band = voiceType.contains ("Male") ? maleBand : femaleBand;
    auto at = [sampleRate] (float hz) { return designFrequency (hz, sampleRate); };

    std::vector<Coefficients::Ptr> sections;
    sections.push_back (Coefficients::makeHighPass (sampleRate, at (band.highPassHz), butterworthQ));
    sections.push_back (Coefficients::makePeakFilter (sampleRate, at (thicknessHz), thicknessQ, gainFactor (thicknessDb)));
    if (mudCutDb < mudCutEngagesBelowDb)
        sections.push_back (Coefficients::makePeakFilter (sampleRate, at (mudHz), mudQ, gainFactor (mudCutDb)));
    sections.push_back (Coefficients::makePeakFilter (sampleRate, at (presenceHz), presenceQ, gainFactor (presenceDb)));
    sections.push_back (Coefficients::makeHighShelf (sampleRate, at (airHz), airQ, gainFactor (airShelfDb + airLiftDb)));
    sections.push_back (Coefficients::makeLowPass (sampleRate, at (band.lowPassHz), butterworthQ));
    applySectionsToAllChannels (buffer, sections);

    juce::Logger::writeToLog ("[AudioPipeline/EQ] Applied " + voiceType + " vocal EQ: "
                              + "Thickness=" + juce::String (thicknessDb, 1) + "dB, "
                              + "MudCut=" + juce::String (mudCutDb, 1) + "dB, "
                              + "Presence=" + juce::String (presenceDb, 1) + "dB, "
                              + "AirShelf=" + juce::String (airShelfDb, 1) + "dB");
}
