#include "pipeline/stages/Limiter.h"

namespace tessaloom
{

namespace stages
{
LimiterDesign designLimiter (const LimiterParameters& parameters, double sampleRate)
{
    return { dynamics_kernels::LimiterStages (sampleRate, parameters.ceilingDb, parameters.releaseMs) };
}

Limiter::Limiter (const LimiterDesign& design, int numChannels)
    : channels ((size_t) juce::jmax (0, numChannels), design.kernel)
{
    jassert (numChannels >= 0); // a count of channels, not a failure code
}

void Limiter::processChannel (int channel, float* x, int numSamples) noexcept
{
    jassert (juce::isPositiveAndBelow (channel, (int) channels.size())); // a channel the processor was not made for
    jassert (numSamples >= 0 && (x != nullptr || numSamples == 0)); // a negative length, or a length with no samples behind it
    if (numSamples <= 0)
        return;

    // After a loud passage the envelopes decay through the subnormal range
    // during silence and stay there; flushing them to zero keeps silence as
    // cheap as sound and changes no sample a 16-bit file can hold. The flag
    // belongs to the thread, and the make-up gain and the clip run under it too.
    const juce::ScopedNoDenormals noDenormals;

    // A local copy of the state stays in registers (see DeEsser::processChannel).
    auto limiter = channels[(size_t) channel];
    for (int n = 0; n < numSamples; ++n)
        x[n] = limiter.processSample (x[n]);
    channels[(size_t) channel] = limiter;
    juce::FloatVectorOperations::multiply (x, limiter.outputGain, numSamples);
    juce::FloatVectorOperations::clip (x, x, -1.0f, 1.0f, numSamples);
}
} // namespace stages

} // namespace tessaloom
