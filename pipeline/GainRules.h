#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <optional>

// The gain arithmetic of the level stages (pre-gain, normalization, limiter and
// output trim), kept apart from the loudness measurement that feeds it, so each
// rule can be exercised with a loudness given directly.
namespace GainRules
{
// Pre-gain never boosts by more than this; there is no lower limit.
constexpr float maxPreGainBoostDb = 12.0f;

// Limiter settings: ceiling (also printed) and release of its second stage.
constexpr float limiterThresholdDb = -1.0f;
constexpr float limiterReleaseMs = 50.0f;

// The output trim sets the sample peak to 10^(-5.5/20) = 10^(-0.275).
constexpr float outputPeakTarget = 0.530884444f;
// Peaks at or below this are left alone by the trim (silence, dither residue).
constexpr float outputTrimFloor = 1.0e-6f;

// Peak report: levels at or below this amplitude are "no level" (-144 dBFS);
// any other level is reported no lower than -100 dBFS.
constexpr float peakSilenceFloor = 1.0e-10f;
constexpr float peakWarningDbfs = -1.0f;

// Gains in dB and their printouts bottom out here (JUCE's minus infinity).
constexpr float minusInfinityDb = -100.0f;

// true when a loudness counts as measured (above -140 LUFS).
bool isMeasured (float lufs);

// The linear factor of a gain in dB: 10^(dB/20), or 0 at -100 dB and below.
float gainFactor (float gainDb);

// The pre-gain for a measured loudness, or nothing when it does not apply
// (loudness not measured, or bypassStage 1): min(12, target - measured).
std::optional<float> preGainDb (float targetLufs, float measuredLufs, int bypassStage);

// The final tweak of normalization, or nothing when it does not apply
// (loudness not measured, or bypassStage 6): target - measured, unlimited.
std::optional<float> normalizationDb (float targetLufs, float measuredLufs, int bypassStage);

// Pre-gain leveling for a loudness already measured: logs and applies the gain
// when it applies, else leaves the buffer and the log alone.
void levelToTarget (juce::AudioBuffer<float>& buffer, float targetLufs, float measuredLufs, int bypassStage);

// Normalization for a loudness already measured, in the same way.
void normalizeToTarget (juce::AudioBuffer<float>& buffer, float targetLufs, float measuredLufs, int bypassStage);

// The -1 dB limiter over the whole buffer as one block, and its log line.
// Its output never exceeds full scale. Allocates only the limiter's
// per-channel envelope state.
void limitPeaks (juce::AudioBuffer<float>& buffer, double sampleRate);

// Sets the sample peak of the whole buffer to outputPeakTarget, up or down, and
// logs the trim. A cleared or channel-less buffer, or one whose peak is not
// above outputTrimFloor, is left alone without a line. Returns the factor
// applied (1 when nothing was done).
float trimToOutputPeak (juce::AudioBuffer<float>& buffer);
} // namespace GainRules
