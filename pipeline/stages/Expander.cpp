#include "pipeline/stages/Expander.h"

namespace tessaloom
{

namespace stages
{
namespace
{
// Every dB the envelope falls below the threshold becomes two at the output.
constexpr float ratio = 2.0f;
constexpr float attackMs = 1.0f;
constexpr float releaseMs = 300.0f;
// The gate floors its linear threshold to 0 at this level and below.
constexpr float gateFloorDb = -200.0f;
} // namespace

ExpanderDesign designExpander (const ExpanderParameters& parameters, double sampleRate)
{
    ExpanderDesign design;
    design.thresholdDb = parameters.thresholdDb;
    design.ratio = ratio;

    // A threshold at or below the gate's floor (or not a number) is a linear
    // threshold of 0: no envelope can fall below it, so expansion would change
    // nothing, but the gate would compute 0 x infinity = NaN for every silent
    // sample. Such a threshold leaves the audio as it is.
    if (juce::Decibels::decibelsToGain (parameters.thresholdDb, gateFloorDb) > 0.0f)
        design.gate = dynamics_kernels::NoiseGate (sampleRate, parameters.thresholdDb, ratio, attackMs, releaseMs);
    return design;
}

Expander::Expander (const ExpanderDesign& design, int numChannels)
{
    jassert (numChannels >= 0); // a count of channels, not a failure code
    if (design.gate)
        channels.assign ((size_t) juce::jmax (0, numChannels), *design.gate);
}

void Expander::processChannel (int channel, float* samples, int numSamples) noexcept
{
    jassert (numSamples >= 0 && (samples != nullptr || numSamples == 0)); // a negative length, or a length with no samples behind it
    if (channels.empty())
        return; // the design cannot expand: every channel passes as it is
    jassert (juce::isPositiveAndBelow (channel, (int) channels.size())); // a channel the processor was not made for
    // A local copy of the state stays in registers (see DeEsser::processChannel).
    auto gate = channels[(size_t) channel];
    for (int n = 0; n < numSamples; ++n)
        samples[n] = gate.processSample (samples[n]);
    channels[(size_t) channel] = gate;
}
} // namespace stages

} // namespace tessaloom
