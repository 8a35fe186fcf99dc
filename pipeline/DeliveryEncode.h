#pragma once

#include "common/Levels.h"
#include "io/BlockSource.h"
#include "io/CodecFiles.h"

#include <juce_core/juce_core.h>

namespace tessaloom
{

// A lossy delivery whose true peak and loudness hold on the decoded file, not
// only on the master: a codec's output overshoots the master's peaks by an
// amount only a decode tells (measured on speech: AAC 96 kbps +2.5 dBTP from a
// -1 dBTP master), and not monotonically in the level before it. So each try is
// encoded, decoded and measured, and the smallest correction that meets the
// ceiling is searched within a bound of encodes.
//
// The correction is a true-peak limiter before the encoder, its ceiling lowered
// under the delivery's by the overshoot measured, with a gain into it: a plain
// trim by the overshoot would cost the whole file that much loudness (measured:
// 0.7 LU off the target for clicks in AAC 96 kbps), where the limiter takes it
// from the peaks that overshoot only, and the gain gives back what the codec's
// band limit took (up to 0.5 LU for 64 kbps MP3 or 48 kbps Opus).

struct EncodedDelivery
{
    OutputFormat format;        // the codec and the bit rate actually used
    int encodes = 0;            // encodes made (at most kMaxEncodes)
    double correctionDb = 0.0;  // how far under the ceiling the limiter before the encoder was set (0: none; negative)
    double gainDb = 0.0;        // the gain before encoding (into that limiter when there is one)
    double decodedLufs = kNoLevelDb;        // integrated loudness of the delivered file, decoded
    double decodedTruePeakDbtp = kNoLevelDb; // its true peak, decoded
    double ceilingDbtp = 0.0;
    double targetLufs = 0.0;
    bool ceilingMet = false;    // false: no try within the bound decoded under the ceiling
};

namespace delivery_encode
{
// At most this many encodes of one file: each costs an encode and a decode of the whole file.
constexpr int kMaxEncodes = 4;

// The decoded loudness within this of the target stops the search (a codec's
// band limit costs speech up to about 0.5 LU at 128 kbps MP3, more at lower rates).
constexpr double kLoudnessToleranceLu = 0.1;

// The margin under the ceiling a correction aims at, so a try lands under it
// rather than on it; grows with each try that still went over.
constexpr double kAimBelowCeilingDb = 0.05;

// The decoded file's true peak (dBTP, -144 for silence) and integrated loudness
// (LUFS, -144 when nothing passes the gates), read in blocks.
struct DecodedLevels
{
    double truePeakDbtp = kNoLevelDb;
    double integratedLufs = kNoLevelDb;
    juce::int64 frames = 0;
    double sampleRate = 0.0;
};
Outcome measureDecoded (const juce::File& file, DecodedLevels& levels);

// Encodes `master` (the finished samples) into `target` in the lossy `format`,
// decodes each try and measures it, and delivers the try that meets the
// ceiling with the loudness closest to the target (within the tolerance, the
// one with the smallest correction); when none meets it, the one with the
// lowest true peak, and ceilingMet says so. Each try is written under a
// temporary name; only the chosen one is renamed over the target, the others
// are removed. Memory: a block per pass; the disk holds at most kMaxEncodes tries.
Outcome deliver (AudioBlockSource& master, const juce::File& target, const OutputFormat& format, const AudioTags& tags,
                 double ceilingDbtp, double targetLufs, EncodedDelivery& delivered);
} // namespace delivery_encode

} // namespace tessaloom
