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
#include <memory>
#include <optional>
#include <vector>

namespace delivery_encode
{
namespace
{
// Loudness below this was not measured (nothing passed the gates): no correction is worked out from it.
constexpr double kLowestMeasuredLufs = -70.0;
// The gain before encoding stays within these: it gives back what the codec and the limiter's
// lowering took (the lowering costs a master that was already limited about as much loudness).
constexpr double kMostRaiseDb = 6.0;
constexpr double kMostTrimDb = -6.0;
// How far apart two BS.1770-4 true-peak meters read the same decoded file (measured: the precision meter on our
// decode against libebur128 on FFmpeg's, up to 0.02 dB on Opus at 48 kbps).
constexpr double kMetersAgreeWithinDb = 0.03;
// Tries closer than this in both settings to one already made are not made again.
constexpr double kSmallestStepDb = 0.02;
// Above this lowering a try that met everything is followed by one with half the lowering:
// the overshoot is not monotonic, and a smaller correction may do.
constexpr double kLargeLoweringDb = 1.0;
// The limiter before the encoder keeps its output this far under its ceiling (its margin for other meters).
constexpr double kLimiterMarginDb = (double) stages::TruePeakLimiterParameters {}.marginDb;
// The gain into the limiter is found by at most this many measuring passes (no encode), to within this.
constexpr int kMostGainPasses = 3;
constexpr double kGainSearchWithinLu = 0.03;
// A limiter that gives back less loudness than this per dB of gain into it is near flat out.
constexpr double kLeastLoudnessPerDb = 0.25;
// Limiter ceilings closer than this count as the same for the gain found at one of them.
constexpr double kSameLimitDb = 0.1;
// The loudness the delivery promises to hold on the decoded file, less a margin for the codec's change.
constexpr double kPromiseLu = 0.4;

struct Setting
{
    std::optional<double> limitDbtp; // the ceiling of the limiter before the encoder; none: no limiter
    double gainDb = 0.0;
    bool same (const Setting& o) const
    {
        return limitDbtp.has_value() == o.limitDbtp.has_value() && std::abs (gainDb - o.gainDb) < kSmallestStepDb
               && (! limitDbtp || std::abs (*limitDbtp - *o.limitDbtp) < kSmallestStepDb);
    }
};

// The setting's signal before the encoder: its loudness and true peak. The codec's own change
// to both is the decode's reading less these.
struct BeforeEncoder
{
    double integratedLufs = -144.0;
    double truePeakDbtp = -144.0;
};

struct Try
{
    Setting setting;
    juce::File file; // under its temporary name until chosen
    std::shared_ptr<InFlightFiles::Scope> inFlight; // an interrupted run removes it
    DecodedLevels levels;
    BeforeEncoder before; // the signal the encoder was given
    // Under the ceiling by the meters' agreement: another BS.1770 meter reading the same decode
    // (libebur128 on FFmpeg's) may read a few hundredths of a dB higher.
    bool meets (double ceiling) const { return levels.truePeakDbtp <= ceiling - kMetersAgreeWithinDb; }
    double lowering (double ceiling) const { return setting.limitDbtp ? ceiling - *setting.limitDbtp : 0.0; }
};

// The master through a setting's gain and limiter into `writer` (none: measured only). The
// limiter delays by its look-ahead and gives those frames back at the end, so the result has
// the master's length.
bool runSetting (AudioBlockSource& master, const Setting& setting, AudioOutputWriter* writer, BeforeEncoder& before)
{
    std::optional<stages::TruePeakLimiter> limiter;
    if (setting.limitDbtp)
    {
        stages::TruePeakLimiterParameters parameters;
        parameters.ceilingDbtp = (float) *setting.limitDbtp;
        limiter.emplace (stages::designTruePeakLimiter (parameters, master.sampleRate()), master.numChannels());
    }
    PrecisionTruePeakMeter peak (master.numChannels(), master.sampleRate());
    stages::FinishLoudnessMeter loudness (master.numChannels(), master.sampleRate());
    // A measuring pass (no writer) needs the loudness only.
    const auto take = [&] (juce::AudioBuffer<float>& block, int n)
    {
        loudness.add (block.getArrayOfReadPointers(), n);
        if (writer != nullptr)
        {
            peak.add (block.getArrayOfReadPointers(), n);
            writer->write (block, n);
        }
    };
    const auto gain = (float) juce::Decibels::decibelsToGain (setting.gainDb, -1000.0);
    pass::Pass p;
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n)
               {
                   if (setting.gainDb != 0.0)
                       block.applyGain (0, n, gain);
                   take (block, limiter ? limiter->process (block.getArrayOfWritePointers(), n) : n);
               } };
    if (! pass::run (master, p))
        return false;
    if (limiter)
    {
        juce::AudioBuffer<float> tail (master.numChannels(), juce::jmax (1, limiter->latency()));
        take (tail, limiter->flush (tail.getArrayOfWritePointers()));
    }
    before.integratedLufs = loudness.integratedLufs();
    before.truePeakDbtp = peak.peakDbtp();
    return true;
}

// One encode of the master at a setting, left under its temporary name.
Outcome encodeOnce (AudioBlockSource& master, const juce::File& target, const OutputFormat& format,
                    const AudioTags& tags, const Setting& setting, juce::File& written, BeforeEncoder& before)
{
    std::unique_ptr<AudioOutputWriter> writer;
    if (const auto made = createOutputWriter (target, format, master.sampleRate(), master.numChannels(), tags, writer);
        ! made.ok())
        return made;
    if (! runSetting (master, setting, writer.get(), before))
        return Outcome::failure ("Failed to write output file: " + target.getFullPathName() + " (the master could not be read back)");
    written = writer->finishUnrenamed();
    if (written == juce::File())
        return Outcome::failure ("Failed to write output file: " + target.getFullPathName());
    return Outcome::success();
}

// The gain into a limiter at `limitDbtp` (none: a plain gain) that brings the signal before the
// encoder to `wantLufs`, found by measuring passes without encoding: a limiter's loudness does
// not follow its gain one for one once it works hard, but it rises with it, so a secant step or
// two lands within a few hundredths of a unit. `fromDb` is where the search starts.
std::optional<double> gainFor (AudioBlockSource& master, std::optional<double> limitDbtp, double wantLufs, double fromDb)
{
    double gain = juce::jlimit (kMostTrimDb, kMostRaiseDb, fromDb);
    std::optional<std::pair<double, double>> previous; // gain, loudness
    for (int pass = 0; pass < kMostGainPasses; ++pass)
    {
        BeforeEncoder b;
        if (! runSetting (master, Setting { limitDbtp, gain }, nullptr, b))
            return std::nullopt;
        if (b.integratedLufs <= kLowestMeasuredLufs)
            return gain;
        const double off = wantLufs - b.integratedLufs;
        if (std::abs (off) <= kGainSearchWithinLu)
            return gain;
        double slope = 1.0;
        if (previous && std::abs (gain - previous->first) > 1e-6)
        {
            slope = (b.integratedLufs - previous->second) / (gain - previous->first);
            // A limiter that gives back little per dB pushed into it is near flat out: more gain
            // squashes the speech harder for little loudness. It is pushed on only while that
            // brings the loudness within the promise; where the smaller gain is already within
            // it, or where even the most gain would not reach it, the smaller gain.
            if (slope < kLeastLoudnessPerDb)
            {
                const bool smallerFirst = previous->first < gain;
                const double smallerGain = smallerFirst ? previous->first : gain;
                const double smallerLufs = smallerFirst ? previous->second : b.integratedLufs;
                const double shortfall = wantLufs - smallerLufs;
                const double reachable = std::max (0.0, slope) * (kMostRaiseDb - smallerGain);
                if (shortfall <= kPromiseLu || reachable < shortfall - kPromiseLu)
                    return smallerGain;
            }
            slope = juce::jlimit (0.05, 1.0, slope);
        }
        previous = std::make_pair (gain, b.integratedLufs);
        const double next = juce::jlimit (kMostTrimDb, kMostRaiseDb, gain + off / slope);
        if (std::abs (next - gain) < 1e-6)
            return gain; // at a bound
        gain = next;
    }
    return gain;
}

// What the codec did to the last try: how much it changed the loudness (decoded less before
// the encoder, averaged over the tries: it barely moves with the level) and how far it raised
// the true peak over the signal it was given (the last try's: it grows with the level into
// the limiter, so older tries at other levels say less).
struct CodecEstimate
{
    double loudnessChangeLu = 0.0;
    double overshootDb = 0.0;
};
CodecEstimate estimateCodec (const std::vector<Try>& tries)
{
    CodecEstimate e;
    int measured = 0;
    for (const auto& t : tries)
        if (t.levels.integratedLufs > kLowestMeasuredLufs && t.before.integratedLufs > kLowestMeasuredLufs)
        {
            e.loudnessChangeLu += t.levels.integratedLufs - t.before.integratedLufs;
            ++measured;
        }
    if (measured > 0)
        e.loudnessChangeLu /= measured;
    e.overshootDb = tries.back().levels.truePeakDbtp - tries.back().before.truePeakDbtp;
    return e;
}

// The setting of the next try, from the tries so far; empty when the search is done. Both
// settings are predicted together from both errors: the limiter's ceiling from the peak the
// codec added to the last try, and the gain into it (found by measuring, not encoding) so
// that the loudness lands on the target after the codec's change, with the new ceiling
// already in place: a limiter lowered by 2 dB with the last try's gain would cost the
// loudness the lowering takes.
std::optional<Setting> nextSetting (AudioBlockSource& master, const std::vector<Try>& tries, double ceiling, double targetLufs,
                                    int triesLeft)
{
    const auto& last = tries.back();
    const auto& L = last.levels;
    const bool loudnessMeasured = L.integratedLufs > kLowestMeasuredLufs;
    const double off = targetLufs - L.integratedLufs;
    const bool onTarget = ! loudnessMeasured || std::abs (off) <= kLoudnessToleranceLu;
    if (last.meets (ceiling) && onTarget)
    {
        // Both met. A large lowering may be more than needed: try half of it while tries are left.
        const double lowering = last.lowering (ceiling);
        if (lowering <= kLargeLoweringDb || triesLeft <= 0 || ! loudnessMeasured)
            return std::nullopt;
        Setting half { ceiling - 0.5 * lowering, last.setting.gainDb };
        if (const auto gain = gainFor (master, half.limitDbtp, targetLufs - estimateCodec (tries).loudnessChangeLu, half.gainDb))
            half.gainDb = *gain;
        for (const auto& t : tries)
            if (t.setting.same (half))
                return std::nullopt;
        return half;
    }

    // Where a lower limiter already gave a higher decoded peak than a higher one (the codec's
    // overshoot does not follow the level into it), lowering further will not help: a plain
    // trim by the overshoot instead.
    if (! last.meets (ceiling) && last.setting.limitDbtp)
        for (const auto& t : tries)
            if (&t != &last && t.setting.limitDbtp && *t.setting.limitDbtp > *last.setting.limitDbtp
                && t.levels.truePeakDbtp < L.truePeakDbtp)
            {
                const Setting trim { std::nullopt, juce::jlimit (kMostTrimDb, 0.0, -(L.truePeakDbtp - ceiling) - kAimBelowCeilingDb) };
                for (const auto& u : tries)
                    if (u.setting.same (trim))
                        return std::nullopt;
                return trim;
            }

    // The limiter's ceiling that puts the decoded peak just under the delivery's: the peak
    // before the encoder lowered by what the codec added to the last try, with a margin that
    // grows with each try that went over. The limiter keeps its peaks its own margin under its
    // ceiling.
    int over = 0;
    double worstOvershoot = 0.0, leastGain = last.setting.gainDb;
    for (const auto& t : tries)
    {
        over += t.meets (ceiling) ? 0 : 1;
        worstOvershoot = std::max (worstOvershoot, t.levels.truePeakDbtp - t.before.truePeakDbtp);
        leastGain = std::min (leastGain, t.setting.gainDb);
    }
    // The last encode when none has met the ceiling yet keeps the promise first: the codec
    // adds more to a signal pushed harder into the limiter (measured: AAC 96 kbps on noisy
    // speech, +2 dB at the master's level, +3 dB with 6 dB into the limiter), so the limiter
    // goes by the most it has added and the gain into it is no more than any try's.
    const bool lastChance = triesLeft <= 1 && over == (int) tries.size();
    const auto codec = estimateCodec (tries);
    const double overshoot = lastChance ? worstOvershoot : std::max (0.0, codec.overshootDb);
    double limit = std::min (ceiling, ceiling - overshoot + kLimiterMarginDb - kAimBelowCeilingDb * (1 + over));
    // A try that met the ceiling at this limiter had its gain found for it already: a gain that
    // did not reach the target then will not now (the limiter is flat out).
    if (last.meets (ceiling) && last.setting.limitDbtp && std::abs (limit - *last.setting.limitDbtp) < kSameLimitDb)
        return std::nullopt;
    // Never back up to a ceiling that has already gone over.
    for (const auto& t : tries)
        if (! t.meets (ceiling))
            limit = std::min (limit, t.setting.limitDbtp.value_or (ceiling) - (t.levels.truePeakDbtp - ceiling) - kAimBelowCeilingDb);
    Setting next { limit, last.setting.gainDb + (loudnessMeasured ? off : 0.0) };
    if (loudnessMeasured)
    {
        const auto gain = gainFor (master, next.limitDbtp, targetLufs - codec.loudnessChangeLu, next.gainDb);
        if (! gain)
            return std::nullopt;
        next.gainDb = *gain;
    }
    if (lastChance)
        next.gainDb = std::min (next.gainDb, leastGain);
    next.gainDb = juce::jlimit (kMostTrimDb, kMostRaiseDb, next.gainDb);
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
    return a.lowering (ceiling) < b.lowering (ceiling);
}
} // namespace

Outcome measureDecoded (const juce::File& file, DecodedLevels& levels)
{
    std::unique_ptr<AudioFileSource> source;
    if (const auto opened = openAudioFile (file, source); ! opened.ok())
        return opened.message.isNotEmpty() ? opened : Outcome::failure ("Could not decode " + file.getFullPathName());
    PrecisionTruePeakMeter peak (source->numChannels(), source->sampleRate());
    stages::FinishLoudnessMeter loudness (source->numChannels(), source->sampleRate());
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
        auto encoded = encodeOnce (master, target, format, tags, t.setting, t.file, t.before);
        if (encoded.ok())
        {
            t.inFlight = std::make_shared<InFlightFiles::Scope> (t.file);
            encoded = measureDecoded (t.file, t.levels);
            if (! encoded.ok())
                t.file.deleteFile();
        }
        if (! encoded.ok())
        {
            removeTries ({});
            return encoded;
        }
        tries.push_back (t);
        if ((int) tries.size() < kMaxEncodes)
            setting = nextSetting (master, tries, ceilingDbtp, targetLufs, kMaxEncodes - (int) tries.size());
    }

    const Try* chosen = &tries.front();
    for (const auto& t : tries)
        if (better (t, *chosen, ceilingDbtp, targetLufs))
            chosen = &t;

    delivered.format = format;
    if (delivered.format.bitrateKbps <= 0)
        delivered.format.bitrateKbps = defaultBitrateKbps (format.codec);
    delivered.encodes = (int) tries.size();
    const double lowering = chosen->lowering (ceilingDbtp);
    delivered.correctionDb = lowering > 0.0 ? -lowering : 0.0;
    delivered.gainDb = chosen->setting.gainDb;
    delivered.decodedLufs = chosen->levels.integratedLufs;
    delivered.decodedTruePeakDbtp = chosen->levels.truePeakDbtp;
    delivered.ceilingDbtp = ceilingDbtp;
    delivered.targetLufs = targetLufs;
    delivered.ceilingMet = chosen->levels.truePeakDbtp <= ceilingDbtp;

    const auto keep = chosen->file;
    removeTries (keep);
    // In flight until its report line is written, as every output is.
    if (! InFlightFiles::renameIntoPlace (keep, target, InFlightFiles::Target::staysInFlight))
    {
        keep.deleteFile();
        return Outcome::failure ("Failed to create output file: " + target.getFullPathName());
    }
    return Outcome::success();
}
} // namespace delivery_encode
