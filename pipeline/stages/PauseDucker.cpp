#include "pipeline/stages/PauseDucker.h"

#include <cmath>

namespace tessaloom
{

namespace stages
{
PauseDuckerDesign designPauseDucker (const PauseDuckerParameters& p, double sampleRate)
{
    PauseDuckerDesign d;
    d.blockFrames = juce::jmax (1, p.blockFrames);
    d.duckGain = std::pow (10.0, -juce::jmax (0.0f, p.duckDb) / 20.0);
    d.rampFrames = juce::jmax (1.0, p.rampMs * 0.001 * sampleRate);
    // A power per sample cost more than the rest of the stage together, and
    // inside the ramp the distance takes whole values only.
    constexpr double kMostRampGains = 1 << 16;
    d.rampGains.resize ((size_t) std::ceil (juce::jmin (d.rampFrames, kMostRampGains)));
    for (size_t k = 0; k < d.rampGains.size(); ++k)
        d.rampGains[k] = std::pow (d.duckGain, (double) k / d.rampFrames);
    const size_t n = p.speechBlocks.size();
    d.speechEndBefore.assign (n, -1);
    d.speechStartAfter.assign (n, -1);
    juce::int64 end = -1;
    for (size_t i = 0; i < n; ++i)
    {
        if (p.speechBlocks[i])
            end = (juce::int64) (i + 1) * d.blockFrames;
        d.speechEndBefore[i] = end;
    }
    juce::int64 start = -1;
    for (size_t i = n; i-- > 0;)
    {
        if (p.speechBlocks[i])
            start = (juce::int64) i * d.blockFrames;
        d.speechStartAfter[i] = start;
    }
    return d;
}

PauseDucker::PauseDucker (const PauseDuckerDesign& d, int numChannels)
    : design (d), positions ((size_t) juce::jmax (0, numChannels), 0)
{
}

double PauseDucker::rampGain (double distance) const noexcept
{
    if (distance >= design.rampFrames)
        return design.duckGain;
    if (distance < (double) design.rampGains.size())
        return design.rampGains[(size_t) distance];
    return std::pow (design.duckGain, distance / design.rampFrames);
}

void PauseDucker::processChannel (int channel, float* samples, int numSamples) noexcept
{
    jassert (channel >= 0 && channel < (int) positions.size() && numSamples >= 0);
    auto& at = positions[(size_t) channel];
    // Block by block: a block's nearest speech is the same for each of its frames.
    for (int i = 0; i < numSamples;)
    {
        const juce::int64 first = at + i;
        const auto block = (size_t) (first / design.blockFrames);
        const int n = (int) juce::jmin ((juce::int64) (numSamples - i), (juce::int64) (block + 1) * design.blockFrames - first);
        float* const x = samples + i;
        if (block < design.speechEndBefore.size()) // past the blocks the gain is 1: nothing changes
        {
            const auto end = design.speechEndBefore[block], start = design.speechStartAfter[block];
            for (int k = 0; k < n; ++k)
            {
                // The distance to the nearest speech, before or after: full depth a ramp away from it.
                const juce::int64 frame = first + k;
                double distance = 1.0e300;
                if (end >= 0)
                    distance = frame < end ? 0.0 : (double) (frame - end + 1);
                if (start >= 0)
                    distance = std::min (distance, frame >= start ? 0.0 : (double) (start - frame));
                x[k] = (float) (x[k] * rampGain (distance));
            }
        }
        i += n;
    }
    at += numSamples;
}
} // namespace stages

} // namespace tessaloom
