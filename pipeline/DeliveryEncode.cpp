#include "pipeline/DeliveryEncode.h"

#include "common/Levels.h"
#include "io/AudioFileIO.h"
#include "io/InFlightFiles.h"
#include "pipeline/Pass.h"
#include "pipeline/stages/LoudnessFinish.h"

// The decoded file's true peak is a delivery check's, so it is read with the
// accurate meter (a 4x polyphase FIR of BS.1770-4) where the build has it; the
// analysis meter stands in until then, reading high, never low.
#if __has_include("analysis/PrecisionTruePeak.h")
#include "analysis/PrecisionTruePeak.h"
using DecodedPeakMeter = PrecisionTruePeakMeter;
#else
#include "analysis/TruePeak.h"
namespace
{
class DecodedPeakMeter
{
public:
    DecodedPeakMeter (int numChannels, double) : stream (numChannels) {}
    void add (const float* const* channels, int numFrames) { stream.add (channels, numFrames); }
    double peakDbtp() const { return stream.finish().truePeakDbtp; }

private:
    analysis_detail::TruePeakStream stream;
};
} // namespace
#endif

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace delivery_encode
{
namespace
{
// Loudness below this was not measured (nothing passed the gates): no correction is worked out from it.
constexpr double kLowestMeasuredLufs = -70.0;
// A codec costs speech at most about half a loudness unit; the correction never raises the master by more than this.
constexpr double kMostRaiseDb = 1.0;
// Corrections closer than this to one already tried are not tried again.
constexpr double kSmallestStepDb = 0.05;

struct Try
{
    double gainDb = 0.0;
    juce::File file; // under its temporary name until chosen
    std::shared_ptr<InFlightFiles::Scope> inFlight; // an interrupted run removes it
    DecodedLevels levels;
    bool meets (double ceiling) const { return levels.truePeakDbtp <= ceiling; }
};

// One encode of the master at a gain, left under its temporary name.
Outcome encodeOnce (AudioBlockSource& master, const juce::File& target, const OutputFormat& format,
                    const AudioTags& tags, double gainDb, juce::File& written)
{
    std::unique_ptr<AudioOutputWriter> writer;
    if (const auto made = createOutputWriter (target, format, master.sampleRate(), master.numChannels(), tags, writer);
        ! made.ok())
        return made;
    const auto gain = (float) juce::Decibels::decibelsToGain (gainDb, -1000.0);
    pass::Pass p;
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n)
               {
                   if (gainDb != 0.0)
                       block.applyGain (0, n, gain);
                   writer->write (block, n);
               } };
    if (! pass::run (master, p))
        return Outcome::failure ("Failed to write output file: " + target.getFullPathName() + " (the master could not be read back)");
    written = writer->finishUnrenamed();
    if (written == juce::File())
        return Outcome::failure ("Failed to write output file: " + target.getFullPathName());
    return Outcome::success();
}
} // namespace

Outcome measureDecoded (const juce::File& file, DecodedLevels& levels)
{
    std::unique_ptr<AudioFileSource> source;
    if (const auto opened = openAudioFile (file, source); ! opened.ok())
        return opened.message.isNotEmpty() ? opened : Outcome::failure ("Could not decode " + file.getFullPathName());
    DecodedPeakMeter peak (source->numChannels(), source->sampleRate());
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

    double gainDb = 0.0;
    for (int k = 0; k < kMaxEncodes; ++k)
    {
        Try t;
        t.gainDb = gainDb;
        auto encoded = encodeOnce (master, target, format, tags, gainDb, t.file);
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

        const auto& L = t.levels;
        double next = gainDb;
        if (t.meets (ceilingDbtp))
        {
            // Under the ceiling: bring the decoded loudness back onto the target where the headroom allows.
            if (L.integratedLufs <= kLowestMeasuredLufs || std::abs (targetLufs - L.integratedLufs) <= kLoudnessToleranceLu)
                break;
            const double headroom = ceilingDbtp - L.truePeakDbtp - kAimBelowCeilingDb;
            next = std::min (gainDb + std::min (targetLufs - L.integratedLufs, headroom), kMostRaiseDb);
        }
        else
        {
            // Over: trim by the overshoot and a margin that grows with each try that went over. Where a
            // higher gain already met the ceiling, the trim goes no further than half way to it: the
            // overshoot is not monotonic in the gain, and the smallest correction is wanted.
            next = gainDb - (L.truePeakDbtp - ceilingDbtp) - kAimBelowCeilingDb * (k + 1);
            for (const auto& other : tries)
                if (other.meets (ceilingDbtp) && other.gainDb < gainDb && other.gainDb > next)
                    next = 0.5 * (other.gainDb + gainDb);
        }
        const bool tried = std::any_of (tries.begin(), tries.end(),
                                        [&] (const Try& o) { return std::abs (o.gainDb - next) < kSmallestStepDb; });
        if (tried)
            break;
        gainDb = next;
    }

    // The try that meets the ceiling with the loudness closest to the target (the smaller
    // correction when two are as close); when none meets it, the lowest true peak.
    const Try* chosen = nullptr;
    for (const auto& t : tries)
    {
        if (chosen == nullptr)
        {
            chosen = &t;
            continue;
        }
        const bool tMeets = t.meets (ceilingDbtp), cMeets = chosen->meets (ceilingDbtp);
        if (tMeets != cMeets)
        {
            if (tMeets)
                chosen = &t;
            continue;
        }
        if (! tMeets)
        {
            if (t.levels.truePeakDbtp < chosen->levels.truePeakDbtp)
                chosen = &t;
            continue;
        }
        const double dt = std::abs (t.levels.integratedLufs - targetLufs), dc = std::abs (chosen->levels.integratedLufs - targetLufs);
        if (dt < dc - 1e-9 || (std::abs (dt - dc) <= 1e-9 && std::abs (t.gainDb) < std::abs (chosen->gainDb)))
            chosen = &t;
    }

    delivered.format = format;
    if (delivered.format.bitrateKbps <= 0)
        delivered.format.bitrateKbps = defaultBitrateKbps (format.codec);
    delivered.encodes = (int) tries.size();
    delivered.correctionDb = chosen->gainDb;
    delivered.decodedLufs = chosen->levels.integratedLufs;
    delivered.decodedTruePeakDbtp = chosen->levels.truePeakDbtp;
    delivered.ceilingDbtp = ceilingDbtp;
    delivered.targetLufs = targetLufs;
    delivered.ceilingMet = chosen->meets (ceilingDbtp);

    const auto keep = chosen->file;
    removeTries (keep);
    if (! renameOver (keep, target))
    {
        keep.deleteFile();
        return Outcome::failure ("Failed to create output file: " + target.getFullPathName());
    }
    return Outcome::success();
}
} // namespace delivery_encode
