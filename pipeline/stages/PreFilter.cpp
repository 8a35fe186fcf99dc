#include "pipeline/stages/PreFilter.h"

namespace tessaloom
{

namespace stages
{
namespace
{
using Coefficients = juce::dsp::IIR::Coefficients<float>;

// Rumble and DC: a second-order Butterworth high-pass.
constexpr float highPassHz = 90.0f;
constexpr float butterworthQ = 0.707f;

// The 50 Hz mains family, in the order the cascade runs. The third harmonic
// gets a narrower notch (Q 30) so it takes about as little of the voice's
// fundamental region as the first.
struct Notch
{
    float centreHz;
    float q;
};
constexpr Notch humNotches[] = { { 50.0f, 10.0f }, { 100.0f, 10.0f }, { 150.0f, 30.0f } };
} // namespace

BiquadCascadeDesign designPreFilter (const PreFilterParameters& parameters, double sampleRate)
{
    BiquadCascadeDesign design;
    design.add (*Coefficients::makeHighPass (sampleRate, designFrequency (highPassHz, sampleRate), butterworthQ));
    if (parameters.measuredHumHz)
    {
        for (size_t i = 0; i < parameters.measuredHumHz->size() && i < kMostMeasuredNotches; ++i)
        {
            const float hz = designFrequency ((*parameters.measuredHumHz)[i], sampleRate);
            const float width = hz <= kHighestFundamentalHz ? kMeasuredFundamentalNotchWidthHz : kMeasuredNotchWidthHz;
            design.add (*Coefficients::makeNotch (sampleRate, hz, hz / width));
        }
        return design;
    }
    if (parameters.hasGridHum)
        for (const auto& notch : humNotches)
            design.add (*Coefficients::makeNotch (sampleRate, designFrequency (notch.centreHz, sampleRate), notch.q));
    return design;
}

PreFilterReport describePreFilter (const PreFilterParameters& parameters)
{
    if (parameters.measuredHumHz)
    {
        PreFilterReport report { highPassHz, ! parameters.measuredHumHz->empty(), *parameters.measuredHumHz };
        if (report.notchedHz.size() > kMostMeasuredNotches)
            report.notchedHz.resize (kMostMeasuredNotches);
        return report;
    }
    return { highPassHz, parameters.hasGridHum, {} };
}
} // namespace stages

} // namespace tessaloom
