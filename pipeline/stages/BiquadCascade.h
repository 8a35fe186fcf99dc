#pragma once

#include "dsp/Biquad.h"

#include <juce_dsp/juce_dsp.h>

#include <array>
#include <vector>

namespace tessaloom
{

namespace stages
{
// One second-order section, normalised so that a0 = 1.
using BiquadSection = juce_arithmetic::BiquadSection;

// Up to eight sections run in series, in order. The stages' designs need six at most.
struct BiquadCascadeDesign
{
    static constexpr size_t maxSections = 8;
    std::array<BiquadSection, maxSections> sections {};
    size_t numSections = 0;

    // Appends a JUCE-designed section; the designs the stages use are all second order.
    void add (const juce::dsp::IIR::Coefficients<float>& coefficients);
};

// The frequency a stage designs a second-order section at: the wanted
// frequency, no higher than frequencyCeiling, and never at or above Nyquist.
// The ceiling's 1 kHz floor alone would put designs at or beyond Nyquist for
// rates below 2222 Hz, where the bilinear designs collapse (the vocal EQ's
// low-pass silences a 1 kHz-rate file). From 2222 Hz up this is exactly
// min(hz, frequencyCeiling).
float designFrequency (float hz, double sampleRate);

// Highest design frequency allowed at this rate: max(0.45 * rate, 1000) Hz.
float frequencyCeiling (double sampleRate);

// The sections of a design run in series, every channel from zero state.
// Each step is dsp/Biquad.h's section of juce::dsp::IIR::Filter, so a section
// gives what that filter gives bit for bit; running all sections in one pass
// lets their feedback chains overlap instead of queueing (several times faster
// for a 4-6 section cascade), and from three sections on they run side by side
// in vector lanes, each a sample behind the one before, in the same arithmetic.
// Unlike the JUCE filter, the state is never snapped to zero between blocks, so
// the block lengths never change a sample. Allocates the per-channel state when
// made, nothing while processing.
class BiquadCascade
{
public:
    BiquadCascade (const BiquadCascadeDesign& design, int numChannels);

    void processChannel (int channel, float* samples, int numSamples) noexcept;

private:
    struct State
    {
        std::array<float, BiquadCascadeDesign::maxSections> v1 {}, v2 {};
    };

    BiquadCascadeDesign design;
    std::vector<State> states;
};
} // namespace stages

} // namespace tessaloom
