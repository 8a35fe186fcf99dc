#include "pipeline/AudioPipeline.h"

// Each channel gets a filter of its own that starts from zero state, so one
// channel's history never leaks into the next and every application of a
// design behaves as if the file began at sample 0. Allocates one small filter
// per channel (its state is a few floats), never a copy of the audio.
void applyFilterToAllChannels (juce::AudioBuffer<float>& buffer,
                               const juce::dsp::IIR::Coefficients<float>::Ptr& coefficients)
{
    if (coefficients == nullptr)
        return;

    const int numSamples = buffer.getNumSamples();
    if (numSamples <= 0)
        return;

    for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
    {
        juce::dsp::IIR::Filter<float> filter;
        filter.coefficients = coefficients;
        filter.reset();

        float* samples = buffer.getWritePointer (channel);
        juce::dsp::AudioBlock<float> block (&samples, 1, (size_t) numSamples);
        filter.process (juce::dsp::ProcessContextReplacing<float> (block));
    }
}

// 0.45 of the rate keeps every design a little below Nyquist; the 1 kHz floor
// keeps the designs meaningful for very low rates. Single precision on purpose:
// the designs take their frequencies as floats.
float frequencyCeiling (double sampleRate)
{
    return juce::jmax (0.45f * (float) sampleRate, 1000.0f);
}
