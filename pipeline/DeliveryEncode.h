#pragma once

#include "common/Levels.h"
#include "io/BlockSource.h"
#include "io/CodecFiles.h"

#include <juce_core/juce_core.h>

#include <vector>

namespace tessaloom
{

// A lossy delivery whose true peak and loudness hold on the decoded file, not
// only on the master: a codec's output overshoots the master's peaks by an
// amount only a decode tells (measured on speech: AAC 96 kbps +2.5 dBTP from a
// -1 dBTP master), and not monotonically in the level before it. So each try is
// encoded, decoded and measured, and the smallest correction that meets the
// ceiling is searched within a bound of encodes.
//
// The overshoot is local: a few short stretches of the decode go over (a
// transient, a frame whose bits ran short). So the correction is a cut of the
// master before the encoder in those stretches only, each by what its decode
// went over, ramped in and out over a couple of codec frames, growing where a
// later decode still goes over: the integrated loudness hardly moves, where
// lowering the whole file (a true-peak limiter before the encoder, its ceiling
// lowered by the overshoot) cost up to 1.6 LU at -14 LUFS in AAC 96 kbps, more
// than a gain could win back within the bound. That whole-file limiter stays
// as the fallback where the decode's windows do not say where it went over.
// Windows that came near the ceiling are cut with those that went over, and
// the last try, when none has met the ceiling, deepens the cuts it has and
// changes nothing else: a whole-file change there moved every frame's bits,
// and the codec went over somewhere new. A gain before both gives
// back what the codec's band limit took (up to 0.5 LU for 64 kbps MP3 or 48
// kbps Opus).

struct EncodedDelivery
{
    OutputFormat format;        // the codec and the bit rate actually used
    int encodes = 0;            // encodes made (at most kMaxEncodes)
    double correctionDb = 0.0;  // the most the codec's input was lowered anywhere (limiter lowering + deepest cut; 0: none; negative)
    double limiterLoweringDb = 0.0; // how far under the ceiling the whole-file limiter before the encoder was set (0: none; negative)
    double deepestCutDb = 0.0;  // the deepest local cut (0: none; negative)
    int cutWindows = 0;         // windows of 1024 master frames cut
    double correctionCostLu = 0.0; // the integrated loudness the local cuts took from the codec's input (0: none)
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

// A stretch of the master (frames) whose decode read above a level, and its decoded true peak there.
struct OverWindow
{
    juce::int64 start = 0, end = 0;
    double peakDbtp = kNoLevelDb;
};

// The decoded file's true peak (dBTP, -144 for silence) and integrated loudness
// (LUFS, -144 when nothing passes the gates), read in blocks.
struct DecodedLevels
{
    double truePeakDbtp = kNoLevelDb;
    double integratedLufs = kNoLevelDb;
    juce::int64 frames = 0;
    double sampleRate = 0.0;
    // Where the decode read above keepWindowsAboveDbtp, in windows of about a codec frame mapped onto the master's
    // frames (masterRate; 0: the decode's own). Only those are held: a few per overshoot, none for most of a file.
    std::vector<OverWindow> overs;
};
Outcome measureDecoded (const juce::File& file, DecodedLevels& levels, double masterRate = 0.0,
                        double keepWindowsAboveDbtp = kNoLevelDb);

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
