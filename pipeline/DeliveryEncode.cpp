#include "pipeline/DeliveryEncode.h"

#include "analysis/PrecisionTruePeak.h"
#include "common/Levels.h"
#include "io/AudioFileIO.h"
#include "io/InFlightFiles.h"
#include "pipeline/Pass.h"
#include "pipeline/stages/LoudnessFinish.h"
#include "pipeline/stages/TruePeakLimiter.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace tessaloom
{

namespace delivery_encode
{
namespace
{
// Loudness below this was not measured (nothing passed the gates): no correction is worked out from it.
constexpr double kLowestMeasuredLufs = -70.0;
// The gain before encoding stays within these: a codec costs speech a loudness unit at most.
constexpr double kMostRaiseDb = 3.0;
constexpr double kMostTrimDb = -6.0;
// How far apart two BS.1770-4 true-peak meters read the same decoded file (measured: the precision meter on our
// decode against libebur128 on FFmpeg's, up to 0.02 dB on Opus at 48 kbps).
constexpr double kMetersAgreeWithinDb = 0.03;
// Tries closer than this in both settings to one already made are not made again.
constexpr double kSmallestStepDb = 0.02;
// Above this lowering a try that met everything is followed by one with half the lowering:
// the overshoot is not monotonic, and a smaller correction may do.
constexpr double kLargeLoweringDb = 1.0;
// The most a delivery's decoded loudness may be off its target.
constexpr double kMostOffLu = 0.5;

// The local cut. A codec overshoots in a few short stretches (a transient, a frame whose bits ran short), so the
// master is lowered there only and the integrated loudness hardly moves. Its windows are of master frames, about a
// codec frame (AAC 1024, MP3 1152, Opus 960 at 48 kHz); a cut ramps in and out over a window on either side,
// since a codec frame's overshoot spreads over its neighbours and a step in the gain would splatter.
constexpr int kCutWindowFrames = 1024;
constexpr int kCutRampFrames = 1024;
// The share of a cut that lowers the limiter's ceiling there; the rest lowers the stretch as a whole. Lowering only
// the ceiling left some windows over however deep it went (the codec overshoots on loud speech under the peaks,
// not only on them); lowering only the stretch cost up to 0.8 LU where the overshoot was everywhere, and half of
// each still cost up to 0.8 LU at -14 LUFS, where loud speech overshoots in a quarter of the windows.
constexpr float kCutIntoLimiter = 0.75f;
// A window that went over is cut by its overshoot and this margin, more with each try that still went over, and so
// are its neighbours: a cut moves the codec's bits, and the overshoot moves with them to the next frame.
constexpr double kCutMarginDb = 0.25;
// The decoded windows over which the peak is read, in decoded frames.
constexpr int kDecodedWindowFrames = 1024;
// Windows that decoded this close under the ceiling are cut too (by the little they lack of the margin): a cut
// elsewhere moves the codec's bits, and a window just under can go over in the next try.
constexpr double kNearCeilingDb = 0.1;
// On the last try with none under the ceiling yet, every window cut before is cut this much deeper too: the
// codec's overshoot moves around the stretches it went over in, and a little more there costs little loudness
// (measured: a file that stayed 0.003 dB over after 4 encodes without it landed 0.04 dB under).
constexpr double kLastChanceDeepenDb = 0.15;

// The local cuts: per window of kCutWindowFrames master frames that was cut, its cut in dB (positive). Only the
// windows that went over are held, so it stays small whatever the file's length.
using Cuts = std::map<juce::int64, double>;

struct Setting
{
    std::optional<double> limitDbtp; // the ceiling of the limiter before the encoder; none: no limiter
    double gainDb = 0.0;
    std::shared_ptr<const Cuts> cuts; // after the limiter; none: no cut
    double deepestCutDb() const
    {
        double deepest = 0.0;
        if (cuts)
            for (const auto& [w, cut] : *cuts)
                deepest = std::max (deepest, cut);
        return deepest;
    }
    bool sameCuts (const Setting& o) const
    {
        const bool none = ! cuts || cuts->empty(), otherNone = ! o.cuts || o.cuts->empty();
        if (none || otherNone)
            return none == otherNone;
        if (cuts->size() != o.cuts->size())
            return false;
        for (auto a = cuts->begin(), b = o.cuts->begin(); a != cuts->end(); ++a, ++b)
            if (a->first != b->first || std::abs (a->second - b->second) >= kSmallestStepDb)
                return false;
        return true;
    }
    bool same (const Setting& o) const
    {
        return limitDbtp.has_value() == o.limitDbtp.has_value() && std::abs (gainDb - o.gainDb) < kSmallestStepDb
               && (! limitDbtp || std::abs (*limitDbtp - *o.limitDbtp) < kSmallestStepDb) && sameCuts (o);
    }
};

// The gain curve of the local cuts, applied block by block in master time: each cut window at its full cut, a
// raised-cosine ramp of kCutRampFrames on either side; where ramps of two windows meet, the deeper cut holds.
// A cut lowers the ceiling of the limiter before the encoder there by its depth, and the stretch as a whole by a
// part of it: the curve raises the master into the limiter by the rest and lowers what comes out by the whole
// depth, so the peaks come down by the depth and the speech under them by less.
class LocalCut
{
public:
    LocalCut (const Cuts& c, int channels) : cuts (c), numChannels (channels) {}

    // Lowers the next numFrames frames (from master frame `start`) by the cuts, or raises them into the limiter
    // by kCutIntoLimiter of them (`raise`); returns whether any was changed.
    bool process (float* const* channels, juce::int64 start, int numFrames, bool raise = false)
    {
        const juce::int64 end = start + numFrames;
        auto it = cuts.lower_bound ((start - kCutRampFrames) / kCutWindowFrames - 1);
        bool any = false;
        for (; it != cuts.end() && it->first * kCutWindowFrames - kCutRampFrames < end; ++it)
        {
            const juce::int64 from = it->first * kCutWindowFrames, to = from + kCutWindowFrames;
            const juce::int64 a = std::max (start, from - kCutRampFrames), b = std::min (end, to + kCutRampFrames);
            if (a >= b)
                continue;
            if (! any)
            {
                depth.assign ((size_t) numFrames, 0.0f);
                any = true;
            }
            for (juce::int64 t = a; t < b; ++t)
            {
                double shape = 1.0;
                if (t < from)
                    shape = 0.5 - 0.5 * std::cos (M_PI * (double) (t - (from - kCutRampFrames)) / kCutRampFrames);
                else if (t >= to)
                    shape = 0.5 + 0.5 * std::cos (M_PI * (double) (t - to + 1) / kCutRampFrames);
                auto& d = depth[(size_t) (t - start)];
                d = std::max (d, (float) (it->second * shape));
            }
        }
        if (! any)
            return false;
        for (int i = 0; i < numFrames; ++i)
            depth[(size_t) i] = depth[(size_t) i] > 0.0f
                                    ? std::pow (10.0f, (raise ? kCutIntoLimiter * depth[(size_t) i] : -depth[(size_t) i]) / 20.0f)
                                    : 1.0f;
        for (int c = 0; c < numChannels; ++c)
            juce::FloatVectorOperations::multiply (channels[c], depth.data(), numFrames);
        return true;
    }

private:
    const Cuts& cuts;
    int numChannels;
    std::vector<float> depth; // a block's cut (dB), then its gain
};

struct Try
{
    Setting setting;
    juce::File file; // under its temporary name until chosen
    std::shared_ptr<in_flight_files::Scope> inFlight; // an interrupted run removes it
    DecodedLevels levels;
    double costLu = 0.0; // the loudness the local cuts took, before the encoder
    // Under the ceiling by the meters' agreement: another BS.1770 meter reading the same decode
    // (libebur128 on FFmpeg's) may read a few hundredths of a dB higher.
    bool meets (double ceiling) const { return levels.truePeakDbtp <= ceiling - kMetersAgreeWithinDb; }
    double lowering (double ceiling) const { return setting.limitDbtp ? ceiling - *setting.limitDbtp : 0.0; }
    // The most the codec's input was lowered anywhere: the limiter's lowering and the deepest local cut.
    double correction (double ceiling) const { return lowering (ceiling) + setting.deepestCutDb(); }
};

// One encode of the master at a setting, left under its temporary name. The
// limiter delays by its look-ahead and gives those frames back at the end, so
// the encode has the master's length.
Outcome encodeOnce (AudioBlockSource& master, const juce::File& target, const OutputFormat& format,
                    const AudioTags& tags, const Setting& setting, juce::File& written, double& costLu)
{
    std::unique_ptr<AudioOutputWriter> writer;
    if (const auto made = createOutputWriter (target, format, master.sampleRate(), master.numChannels(), tags, writer);
        ! made.ok())
        return made;
    std::optional<stages::TruePeakLimiter> limiter;
    if (setting.limitDbtp)
    {
        stages::TruePeakLimiterParameters parameters;
        parameters.ceilingDbtp = (float) *setting.limitDbtp;
        limiter.emplace (stages::designTruePeakLimiter (parameters, master.sampleRate()), master.numChannels());
    }
    const auto gain = (float) juce::Decibels::decibelsToGain (setting.gainDb, -1000.0);
    // The local cuts around the limiter (which delays by its look-ahead: `framesIn` and `framesOut` count master
    // frames into and out of it), and the loudness before and after them, to say what they cost.
    std::optional<LocalCut> cut;
    std::optional<stages::FinishLoudnessMeter> uncut, wasCut;
    if (setting.cuts && ! setting.cuts->empty() && limiter)
    {
        cut.emplace (*setting.cuts, master.numChannels());
        uncut.emplace (master.numChannels(), master.sampleRate());
        wasCut.emplace (master.numChannels(), master.sampleRate());
    }
    juce::int64 framesIn = 0, framesOut = 0;
    const auto out = [&] (juce::AudioBuffer<float>& block, int n)
    {
        if (cut)
        {
            cut->process (block.getArrayOfWritePointers(), framesOut, n);
            wasCut->add (block.getArrayOfReadPointers(), n);
        }
        framesOut += n;
        writer->write (block, n);
    };
    pass::Pass p;
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n)
               {
                   if (setting.gainDb != 0.0)
                       block.applyGain (0, n, gain);
                   if (cut)
                   {
                       uncut->add (block.getArrayOfReadPointers(), n);
                       cut->process (block.getArrayOfWritePointers(), framesIn, n, true);
                   }
                   framesIn += n;
                   out (block, limiter ? limiter->process (block.getArrayOfWritePointers(), n) : n);
               } };
    if (! pass::run (master, p))
        return Outcome::failure ("Failed to write output file: " + target.getFullPathName() + " (the master could not be read back)");
    if (limiter)
    {
        juce::AudioBuffer<float> tail (master.numChannels(), juce::jmax (1, limiter->latency()));
        out (tail, limiter->flush (tail.getArrayOfWritePointers()));
    }
    costLu = 0.0;
    if (cut && uncut->integratedLufs() > kLowestMeasuredLufs && wasCut->integratedLufs() > kLowestMeasuredLufs)
        costLu = uncut->integratedLufs() - wasCut->integratedLufs();
    written = writer->finishUnrenamed();
    if (written == juce::File())
        return Outcome::failure ("Failed to write output file: " + target.getFullPathName());
    return Outcome::success();
}

// The setting of the next try, from the tries so far; empty when the search is done.
std::optional<Setting> nextSetting (const std::vector<Try>& tries, double ceiling, double targetLufs, int triesLeft)
{
    const auto& last = tries.back();
    const auto& L = last.levels;
    Setting next = last.setting;
    // The loudness back onto the target in the same step as any cut: the tries are few.
    const double off = targetLufs - L.integratedLufs;
    const bool measured = L.integratedLufs > kLowestMeasuredLufs;
    // Over the ceiling, a gain only when the loudness is off by more than a delivery may be: a raise drives every
    // peak into the limiter, and the codec overshoots at new places (measured: a raise of 0.26 dB after the cuts
    // made 16 windows go over that had not). Never on the last try with none under the ceiling yet: the ceiling
    // comes first (measured: a raise of 0.54 dB there took the file from 0.07 over to 0.11 over).
    bool anyMet = false;
    for (const auto& t : tries)
        anyMet = anyMet || t.meets (ceiling);
    const bool lastChance = triesLeft <= 1 && ! anyMet;
    if (measured && std::abs (off) > (last.meets (ceiling) ? kLoudnessToleranceLu : kMostOffLu) && ! lastChance)
        next.gainDb = juce::jlimit (kMostTrimDb, kMostRaiseDb, last.setting.gainDb + off);
    // A raise goes into a limiter at the ceiling (the master's peaks are at it).
    if (next.gainDb > 0.0 && ! next.limitDbtp)
        next.limitDbtp = ceiling;
    if (! last.meets (ceiling))
    {
        // Over: cut the windows that went over (or came within kNearCeilingDb of it) by what they went over and a
        // margin that grows with each try that went over; the cuts of earlier tries stay. On the last try with none
        // under the ceiling yet, twice that: the ceiling comes first. Only those windows change: a whole-file
        // lowering on the last try moved every frame's bits, and new windows went over (measured: 3 of the 91
        // streaming deliveries stayed over with it, and 3 lost more than 0.5 LU to it).
        const double margin = kCutMarginDb * (double) tries.size();
        Cuts grown;
        for (const auto& o : L.overs)
            if (o.peakDbtp > ceiling - kMetersAgreeWithinDb - kNearCeilingDb)
                for (juce::int64 w = o.start / kCutWindowFrames - 1; w * kCutWindowFrames < o.end + kCutWindowFrames; ++w)
                    if (w >= 0)
                        grown[w] = std::max (grown[w], (o.peakDbtp - ceiling + margin) * (lastChance ? 2.0 : 1.0));
        auto cuts = std::make_shared<Cuts> (last.setting.cuts ? *last.setting.cuts : Cuts {});
        if (lastChance)
            for (auto& [w, cut] : *cuts)
                cut += kLastChanceDeepenDb;
        for (const auto& [w, cut] : grown)
            (*cuts)[w] += cut;
        next.cuts = cuts;
        if (! next.limitDbtp)
            next.limitDbtp = ceiling;
        // The whole-file fallback: where no window told where it went over, the limiter's ceiling is lowered by
        // the overshoot and a margin. Where a smaller lowering already met the ceiling, only half way to it.
        if (grown.empty())
        {
            const double base = last.setting.limitDbtp.value_or (ceiling);
            double limit = base - (L.truePeakDbtp - ceiling) - kAimBelowCeilingDb * (double) tries.size();
            for (const auto& t : tries)
                if (t.meets (ceiling) && t.setting.limitDbtp && *t.setting.limitDbtp > limit && *t.setting.limitDbtp < base)
                    limit = 0.5 * (*t.setting.limitDbtp + base);
            next.limitDbtp = limit;
        }
    }
    else
    {
        if (! measured)
            return std::nullopt;
        if (std::abs (off) <= kLoudnessToleranceLu)
        {
            // Both met. A large lowering may be more than needed: try half of it while tries are left.
            const double lowering = last.lowering (ceiling);
            if (lowering <= kLargeLoweringDb || triesLeft <= 0)
                return std::nullopt;
            next.limitDbtp = ceiling - 0.5 * lowering;
        }
        else
        {
            // Off the target: the gain (set above), into the limiter with its cuts: they hold the ceiling.
        }
    }
    for (const auto& t : tries)
        if (t.setting.same (next))
            return std::nullopt;
    return next;
}

// How good a try is, smaller first: meeting the ceiling, then the loudness outside the tolerance, then the
// correction. When none meets the ceiling, the lowest true peak.
bool better (const Try& a, const Try& b, double ceiling, double targetLufs)
{
    if (a.meets (ceiling) != b.meets (ceiling))
        return a.meets (ceiling);
    if (! a.meets (ceiling))
        return a.levels.truePeakDbtp < b.levels.truePeakDbtp;
    const auto outside = [&] (const Try& t) { return std::max (0.0, std::abs (t.levels.integratedLufs - targetLufs) - kLoudnessToleranceLu); };
    if (std::abs (outside (a) - outside (b)) > 1e-9)
        return outside (a) < outside (b);
    return a.correction (ceiling) < b.correction (ceiling);
}
// The meter's windows that went over, as stretches of master frames: a window's points lag its decoded frames
// by the interpolation's delay, and an Opus decode is at 48 kHz whatever the master's rate (toMaster).
std::vector<OverWindow> oversInMasterFrames (const PrecisionTruePeakMeter& meter, juce::int64 decodedFrames, double toMaster)
{
    std::vector<OverWindow> overs;
    const juce::int64 delay = meter.interpolationDelayFrames();
    for (const auto& w : meter.windowsAbove())
    {
        const juce::int64 first = w.index * kDecodedWindowFrames;
        const juce::int64 last = std::min (first + kDecodedWindowFrames, std::max (first, decodedFrames));
        overs.push_back ({ (juce::int64) std::floor (std::max (0.0, (double) (first - delay) * toMaster)),
                           (juce::int64) std::ceil ((double) (last - delay) * toMaster), levelDbfs ((double) w.peakLinear) });
    }
    return overs;
}
} // namespace

Outcome measureDecoded (const juce::File& file, DecodedLevels& levels, double masterRate, double keepWindowsAboveDbtp)
{
    std::unique_ptr<AudioFileSource> source;
    if (const auto opened = openAudioFile (file, source); ! opened.ok())
        return opened.message.isNotEmpty() ? opened : Outcome::failure ("Could not decode " + file.getFullPathName());
    PrecisionTruePeakMeter peak (source->numChannels(), source->sampleRate());
    stages::FinishLoudnessMeter loudness (source->numChannels(), source->sampleRate());
    const bool keepWindows = keepWindowsAboveDbtp > kNoLevelDb;
    if (keepWindows)
        peak.keepWindowsAbove (kDecodedWindowFrames, (float) juce::Decibels::decibelsToGain (keepWindowsAboveDbtp, -1000.0));
    pass::Pass p;
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n)
               {
                   peak.add (block.getArrayOfReadPointers(), n);
                   loudness.add (block.getArrayOfReadPointers(), n);
               } };
    if (! pass::run (*source, p))
        return Outcome::failure (readErrorMessage (file));
    levels.truePeakDbtp = peak.peakDbtp();
    levels.integratedLufs = loudness.integratedLufs();
    levels.frames = source->lengthInFrames();
    levels.sampleRate = source->sampleRate();
    levels.overs.clear();
    if (keepWindows)
        levels.overs = oversInMasterFrames (peak, levels.frames, masterRate > 0.0 ? masterRate / levels.sampleRate : 1.0);
    return Outcome::success();
}

Outcome deliver (AudioBlockSource& master, const juce::File& target, const OutputFormat& format, const AudioTags& tags,
                 double ceilingDbtp, double targetLufs, EncodedDelivery& delivered)
{
    std::vector<Try> tries;
    auto removeTries = [&] (const juce::File& keep)
    {
        for (auto& t : tries)
            if (t.file != keep)
                t.file.deleteFile();
    };

    std::optional<Setting> setting = Setting {};
    while (setting && (int) tries.size() < kMaxEncodes)
    {
        Try t;
        t.setting = *setting;
        auto encoded = encodeOnce (master, target, format, tags, t.setting, t.file, t.costLu);
        if (encoded.ok())
        {
            t.inFlight = std::make_shared<in_flight_files::Scope> (t.file);
            encoded = measureDecoded (t.file, t.levels, master.sampleRate(), ceilingDbtp - kMetersAgreeWithinDb - kNearCeilingDb);
            if (! encoded.ok())
                t.file.deleteFile();
        }
        if (! encoded.ok())
        {
            removeTries ({});
            return encoded;
        }
        tries.push_back (t);
        setting = nextSetting (tries, ceilingDbtp, targetLufs, kMaxEncodes - (int) tries.size());
    }

    const Try* chosen = &tries.front();
    for (const auto& t : tries)
        if (better (t, *chosen, ceilingDbtp, targetLufs))
            chosen = &t;

    delivered.format = format;
    if (delivered.format.bitrateKbps <= 0)
        delivered.format.bitrateKbps = defaultBitrateKbps (format.codec);
    delivered.encodes = (int) tries.size();
    const double correction = chosen->correction (ceilingDbtp);
    delivered.correctionDb = correction > 0.0 ? -correction : 0.0;
    const double lowering = chosen->lowering (ceilingDbtp);
    delivered.limiterLoweringDb = lowering > 0.0 ? -lowering : 0.0;
    delivered.deepestCutDb = -chosen->setting.deepestCutDb();
    delivered.cutWindows = chosen->setting.cuts ? (int) chosen->setting.cuts->size() : 0;
    delivered.correctionCostLu = chosen->costLu;
    delivered.gainDb = chosen->setting.gainDb;
    delivered.decodedLufs = chosen->levels.integratedLufs;
    delivered.decodedTruePeakDbtp = chosen->levels.truePeakDbtp;
    delivered.ceilingDbtp = ceilingDbtp;
    delivered.targetLufs = targetLufs;
    delivered.ceilingMet = chosen->levels.truePeakDbtp <= ceilingDbtp;

    const auto keep = chosen->file;
    removeTries (keep);
    // In flight until its report line is written, as every output is.
    if (! in_flight_files::renameIntoPlace (keep, target, in_flight_files::Target::staysInFlight))
    {
        keep.deleteFile();
        return Outcome::failure ("Failed to create output file: " + target.getFullPathName());
    }
    return Outcome::success();
}
} // namespace delivery_encode

} // namespace tessaloom
