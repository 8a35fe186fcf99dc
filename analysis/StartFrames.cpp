#include "analysis/AnalysisStreams.h"

analysis_detail::StartFrames::StartFrames (int numChannels, double rate)
    : sampleRate (rate), frames (std::max (0, numChannels), 0)
{
}

void analysis_detail::StartFrames::add (const float* const* channels, int numFrames)
{
    const int n = std::min (numFrames, capacity - count);
    if (n <= 0)
        return;
    if (frames.getNumSamples() < capacity)
        frames.setSize (frames.getNumChannels(), capacity, false, true, false);
    for (int c = 0; c < frames.getNumChannels(); ++c)
        std::copy (channels[c], channels[c] + n, frames.getWritePointer (c) + count);
    count += n;
}

// The held frames as a buffer of their own length: the FFT frame size follows
// from the length, and every frame size up to the largest the measurements use
// comes out the same as from the whole recording.
juce::AudioBuffer<float> analysis_detail::StartFrames::held() const
{
    if (count == 0)
        return juce::AudioBuffer<float> (frames.getNumChannels(), 0);
    return juce::AudioBuffer<float> (const_cast<float* const*> (frames.getArrayOfReadPointers()), frames.getNumChannels(), count);
}

SpectralTiltMeasurement analysis_detail::StartFrames::spectralTilt() const
{
    return AudioAnalyzer::measureSpectralTilt (held(), sampleRate);
}

GridHumMeasurement analysis_detail::StartFrames::gridHum() const
{
    return AudioAnalyzer::detectGridHum (held(), sampleRate);
}
