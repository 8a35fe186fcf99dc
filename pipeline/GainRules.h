#pragma once

#include <optional>

// The gain arithmetic of the level stages (pre-gain, normalization gain, output
// trim): pure functions of the figures they are given, so each rule can be
// checked with a loudness or a peak given directly. Nothing here measures,
// touches audio or logs.
namespace GainRules
{
// Pre-gain never boosts by more than this; there is no lower limit.
constexpr float maxPreGainBoostDb = 12.0f;

// The output trim sets the sample peak to 10^(-5.5/20) = 10^(-0.275).
constexpr float outputPeakTarget = 0.530884444f;
// Peaks at or below this are left alone by the trim (silence, dither residue).
constexpr float outputTrimFloor = 1.0e-6f;

// Gains in dB and their printouts bottom out here (JUCE's minus infinity).
constexpr float minusInfinityDb = -100.0f;

// true when a loudness counts as measured (above -140 LUFS).
bool isMeasured (float lufs);

// The linear factor of a gain in dB: 10^(dB/20), or 0 at -100 dB and below.
float gainFactor (float gainDb);

// The pre-gain for a measured loudness, or nothing when it does not apply
// (loudness not measured, or the stage bypassed): min(12, target - measured).
std::optional<float> preGainDb (float targetLufs, float measuredLufs, bool bypassed);

// The final tweak of normalization, or nothing when it does not apply
// (loudness not measured, or the stage bypassed): target - measured, unlimited.
std::optional<float> normalizationDb (float targetLufs, float measuredLufs, bool bypassed);

// The factor that moves a sample peak to outputPeakTarget, up or down, or
// nothing when the peak is not above outputTrimFloor (or not a number).
std::optional<float> outputTrimGain (float samplePeak);
} // namespace GainRules
