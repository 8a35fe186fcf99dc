#pragma once

#include <cmath>

namespace tessaloom
{

// Program-wide level conventions, shared by the measurements and the chain.

// A level that does not exist (silence, nothing measured) is written as -144 dB.
constexpr double kNoLevelDb = -144.0;
// A loudness at or below -140 LUFS counts as "not measured" by every consumer.
constexpr double kNotMeasuredLufs = -140.0;
// An amplitude (peak, RMS) at or below this is silence: its level is kNoLevelDb
// rather than a logarithm of a rounding residue. 1e-10 is -200 dBFS, far below
// what a 24-bit file can hold.
constexpr double kSilenceAmplitude = 1.0e-10;
constexpr float kSilenceAmplitudeF = 1.0e-10f;
static_assert ((float) kSilenceAmplitude == kSilenceAmplitudeF, "one silence amplitude in either precision");

// The level of an amplitude in dB (dBFS, dBTP), kNoLevelDb for silence. The float form
// compares in float, as a float peak always has, so a peak on the threshold stays silence.
inline double levelDbfs (double amplitude)
{
    return amplitude > kSilenceAmplitude ? 20.0 * std::log10 (amplitude) : kNoLevelDb;
}
inline double levelDbfs (float amplitude)
{
    return amplitude > kSilenceAmplitudeF ? 20.0 * std::log10 ((double) amplitude) : kNoLevelDb;
}

} // namespace tessaloom
