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
// ("gated" by the analysis, not by level). High-pass then notches, each channel
// in one pass from zero state. Allocates only the section list.
void AudioPipeline::applyPreFilter (juce::AudioBuffer<float>& buffer, double sampleRate, bool hasGridHum)
{
    std::vector<Coefficients::Ptr> sections {
        Coefficients::makeHighPass (sampleRate, designFrequency (highPassHz, sampleRate), butterworthQ)
    };
    if (hasGridHum)
        for (const auto& notch : humNotches)
            sections.push_back (Coefficients::makeNotch (sampleRate, designFrequency (notch.centreHz, sampleRate), notch.q));

    applySectionsToAllChannels (buffer, sections);

    juce::Logger::writeToLog ("[AudioPipeline/PreFilter] Applied HPF at 90Hz");
    if (hasGridHum)
        juce::Logger::writeToLog ("[AudioPipeline/PreFilter] Applied 50/100/150Hz Grid Hum Eradication (Gated)");
}
