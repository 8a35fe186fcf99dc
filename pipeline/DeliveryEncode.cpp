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

struct Try
{
    Setting setting;
    juce::File file; // under its temporary name until chosen
    std::shared_ptr<in_flight_files::Scope> inFlight; // an interrupted run removes it
    DecodedLevels levels;
    // Under the ceiling by the meters' agreement: another BS.1770 meter reading the same decode
    // (libebur128 on FFmpeg's) may read a few hundredths of a dB higher.
    bool meets (double ceiling) const { return levels.truePeakDbtp <= ceiling - kMetersAgreeWithinDb; }
    double lowering (double ceiling) const { return setting.limitDbtp ? ceiling - *setting.limitDbtp : 0.0; }
};

// One encode of the master at a setting, left under its temporary name. The
// limiter delays by its look-ahead and gives those frames back at the end, so
// the encode has the master's length.
Outcome encodeOnce (AudioBlockSource& master, const juce::File& target, const OutputFormat& format,
                    const AudioTags& tags, const Setting& setting, juce::File& written)
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
    pass::Pass p;
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n)
               {
                   if (setting.gainDb != 0.0)
                       block.applyGain (0, n, gain);
                   const int out = limiter ? limiter->process (block.getArrayOfWritePointers(), n) : n;
                   writer->write (block, out);
               } };
    if (! pass::run (master, p))
        return Outcome::failure ("Failed to write output file: " + target.getFullPathName() + " (the master could not be read back)");
    if (limiter)
    {
        juce::AudioBuffer<float> tail (master.numChannels(), juce::jmax (1, limiter->latency()));
        writer->write (tail, limiter->flush (tail.getArrayOfWritePointers()));
    }
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
    if (! last.meets (ceiling))
    {
        // Over: lower the limiter's ceiling by the overshoot and a margin that grows with each try that
        // went over. Where a smaller lowering already met the ceiling, go only half way to it.
        const double base = last.setting.limitDbtp.value_or (ceiling);
        double limit = base - (L.truePeakDbtp - ceiling) - kAimBelowCeilingDb * (double) tries.size();
        for (const auto& t : tries)
            if (t.meets (ceiling) && t.setting.limitDbtp && *t.setting.limitDbtp > limit && *t.setting.limitDbtp < base)
                limit = 0.5 * (*t.setting.limitDbtp + base);
        next.limitDbtp = limit;
        // And the loudness back onto the target in the same step: the tries are few.
        const double off = targetLufs - L.integratedLufs;
        if (L.integratedLufs > kLowestMeasuredLufs && std::abs (off) > kLoudnessToleranceLu)
            next.gainDb = juce::jlimit (kMostTrimDb, kMostRaiseDb, last.setting.gainDb + off);
    }
    else
    {
        if (L.integratedLufs <= kLowestMeasuredLufs)
            return std::nullopt;
        const double off = targetLufs - L.integratedLufs;
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
            // Off the target: a gain, into a limiter at the ceiling when it raises (the master's peaks are at it).
            next.gainDb = juce::jlimit (kMostTrimDb, kMostRaiseDb, last.setting.gainDb + off);
            if (off > 0.0 && ! next.limitDbtp)
                next.limitDbtp = ceiling;
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
        auto encoded = encodeOnce (master, target, format, tags, t.setting, t.file);
        if (encoded.ok())
        {
            t.inFlight = std::make_shared<in_flight_files::Scope> (t.file);
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
    if (! in_flight_files::renameIntoPlace (keep, target, in_flight_files::Target::staysInFlight))
    {
        keep.deleteFile();
        return Outcome::failure ("Failed to create output file: " + target.getFullPathName());
    }
    return Outcome::success();
}
} // namespace delivery_encode

} // namespace tessaloom
