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

double PauseDucker::gainAt (juce::int64 frame) const noexcept
{
    const auto block = (size_t) (frame / design.blockFrames);
    if (block >= design.speechEndBefore.size())
        return 1.0;
    // The distance to the nearest speech, before or after: full depth a ramp away from it.
    double distance = 1.0e300;
    if (const auto end = design.speechEndBefore[block]; end >= 0)
        distance = frame < end ? 0.0 : (double) (frame - end + 1);
    if (const auto start = design.speechStartAfter[block]; start >= 0)
        distance = std::min (distance, frame >= start ? 0.0 : (double) (start - frame));
    if (distance >= design.rampFrames)
        return design.duckGain;
    const double fraction = distance / design.rampFrames;
    return std::pow (design.duckGain, fraction);
}

void PauseDucker::processChannel (int channel, float* samples, int numSamples) noexcept
{
    jassert (channel >= 0 && channel < (int) positions.size() && numSamples >= 0);
    auto& at = positions[(size_t) channel];
    for (int i = 0; i < numSamples; ++i)
        samples[i] = (float) (samples[i] * gainAt (at + i));
    at += numSamples;
}
} // namespace stages

} // namespace tessaloom
