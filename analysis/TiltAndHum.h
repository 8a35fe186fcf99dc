#pragma once

// Tilt and hum: one FFT frame from the start of the file gives the spectral tilt
// and the 50 Hz grid hum. The frames they read are kept as the recording
// comes in blocks; both measurements run on them at the end.

#include "analysis/Measurements.h"

#include <juce_audio_basics/juce_audio_basics.h>

namespace tessaloom
{

namespace analysis_detail
{
// Slope in dB per octave of one FFT frame (up to 8,192 points) from the start
// of the buffer, 100 Hz to a quarter of the rate; 0 below 256 samples.
// Allocates the FFT frame.
SpectralTiltMeasurement spectralTiltOf (const juce::AudioBuffer<float>& start, double sampleRate);

// 50 Hz mains hum and harmonics in one FFT frame (up to 16,384 points) from
// the start of the buffer; not detected below 4,096 samples. Allocates the FFT frame.
GridHumMeasurement gridHumOf (const juce::AudioBuffer<float>& start, double sampleRate);

// The label the log shows beside a tilt.
const char* tiltProfile (double slopeDbPerOctave);

// The first frames of the file, as many as the spectral tilt and the grid hum read.
class StartFrames
{
public:
    StartFrames (int numChannels, double sampleRate);

    void add (const float* const* channels, int numFrames);
    SpectralTiltMeasurement spectralTilt() const;
    GridHumMeasurement gridHum() const;
    size_t heldBytes() const noexcept { return (size_t) frames.getNumChannels() * (size_t) capacity * sizeof (float); }

    static constexpr int capacity = 1 << 14; // the grid hum's largest frame; the tilt's is smaller

private:
    juce::AudioBuffer<float> held() const;

    double sampleRate = 0.0;
    juce::AudioBuffer<float> frames;
    int count = 0;
};
} // namespace analysis_detail

} // namespace tessaloom
