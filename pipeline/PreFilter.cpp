#include "pipeline/AudioPipeline.h"
#include "pipeline/FilterDesign.h"

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

// Stage 1.5. The notches run for the whole file exactly when Pass 1 found hum
// ("gated" by the analysis, not by level). Allocates only the filter objects.
void AudioPipeline::applyPreFilter (juce::AudioBuffer<float>& buffer, double sampleRate, bool hasGridHum)
{
    applyFilterToAllChannels (buffer, Coefficients::makeHighPass (sampleRate, designFrequency (highPassHz, sampleRate),
                                                                  butterworthQ));
    juce::Logger::writeToLog ("[AudioPipeline/PreFilter] Applied HPF at 90Hz");

    if (! hasGridHum)
        return;

    for (const auto& notch : humNotches)
        applyFilterToAllChannels (buffer, Coefficients::makeNotch (sampleRate, designFrequency (notch.centreHz, sampleRate),
                                                                   notch.q));
    juce::Logger::writeToLog ("[AudioPipeline/PreFilter] Applied 50/100/150Hz Grid Hum Eradication (Gated)");
}
