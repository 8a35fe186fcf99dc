#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <cstdint>
#include <vector>

namespace tessaloom
{

// The checks the driver runs on the audio between the stages: that every sample
// is a finite number, and how high the peak is.
namespace sample_checks
{
// Above this sample peak the peak report warns.
constexpr float peakWarningDbfs = -1.0f;

// Over a file read in blocks: the pieces, and the figures they add up to.
std::int64_t countNonFinite (const float* samples, int numSamples);
float peakMagnitude (const float* samples, int numSamples); // max |sample|
// Both of the above in one read of the samples: adds the count to nonFinite and
// raises peak to the block's peak.
void countAndPeak (const float* samples, int numSamples, std::int64_t& nonFinite, float& peak);
// A count of NaN or infinite samples, saturating at the largest int (a wrap could reach 0 and pass).
int saturatingCount (std::int64_t count);
// Sample peak in dBFS: -144 for silence or no channels, never below -100 otherwise.
float peakLevelDbfs (float peakMagnitude, int numChannels);

// The check after a step over a file read in blocks: how many samples are not
// finite numbers, and the highest |sample|. Counts add exactly and the peak is
// a maximum, so the tallies of blocks and channels add up to the same figures
// in any order.
struct Tally
{
    std::int64_t nonFinite = 0;
    float peak = 0.0f;

    void add (const float* samples, int numSamples)
    {
        countAndPeak (samples, numSamples, nonFinite, peak);
    }

    void add (const Tally& other)
    {
        nonFinite += other.nonFinite;
        peak = juce::jmax (peak, other.peak);
    }
};

// One tally per channel, so the channels of a block may be checked side by
// side on different threads; total() adds them up once the file is through.
class ChannelTallies
{
public:
    explicit ChannelTallies (int numChannels) : perChannel ((size_t) juce::jmax (0, numChannels)) {}

    void add (int channel, const float* samples, int numSamples) { perChannel[(size_t) channel].add (samples, numSamples); }

    Tally total() const
    {
        Tally sum;
        for (const auto& t : perChannel)
            sum.add (t);
        return sum;
    }

private:
    std::vector<Tally> perChannel;
};
} // namespace sample_checks

} // namespace tessaloom
