#include "pipeline/stages/Leveler.h"

namespace tessaloom
{

namespace stages
{
LevelerDesign designLeveler (const LevelerParameters& p, double sampleRate)
{
    return { dynamics_kernels::Compressor (sampleRate, p.thresholdDb, p.ratio, p.attackMs, p.releaseMs) };
}

Leveler::Leveler (const LevelerDesign& design, int numChannels)
    : channels ((size_t) juce::jmax (0, numChannels), design.compressor)
{
    jassert (numChannels >= 0); // a count of channels, not a failure code
}

void Leveler::processChannel (int channel, float* samples, int numSamples) noexcept
{
    jassert (juce::isPositiveAndBelow (channel, (int) channels.size())); // a channel the processor was not made for
    jassert (numSamples >= 0 && (samples != nullptr || numSamples == 0)); // a negative length, or a length with no samples behind it
    // A local copy of the state stays in registers (see DeEsser::processChannel).
    auto compressor = channels[(size_t) channel];
    for (int n = 0; n < numSamples; ++n)
        samples[n] = compressor.processSample (samples[n]);
    channels[(size_t) channel] = compressor;
}
} // namespace stages

} // namespace tessaloom
