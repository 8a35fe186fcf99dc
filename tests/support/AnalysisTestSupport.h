#pragma once

// Helpers of the analyzer tests: extra test signals and plain
// reference implementations of the measurements that matter.

#include "support/TestSupport.h"

#include <juce_dsp/juce_dsp.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace tessaloom
{

namespace analysis_testing
{
// Sums of sines with stated amplitudes over a base of white noise (48 kHz hum tests).
inline juce::AudioBuffer<float> humPlusNoise (int samples, double sampleRate, std::vector<std::pair<double, float>> tones,
                                              float noiseRms, juce::int64 seed = 11)
{
    auto b = testing_support::whiteNoise (1, samples, noiseRms, seed);
    for (const auto& [hz, amp] : tones)
        for (int i = 0; i < samples; ++i)
            b.addSample (0, i, (float) (amp * std::sin (2.0 * juce::MathConstants<double>::pi * hz * i / sampleRate)));
    return b;
}

inline juce::AudioBuffer<float> withChannels (const juce::AudioBuffer<float>& mono, int channels)
{
    juce::AudioBuffer<float> b (channels, mono.getNumSamples());
    for (int c = 0; c < channels; ++c)
        b.copyFrom (c, 0, mono, 0, 0, mono.getNumSamples());
    return b;
}

inline juce::AudioBuffer<float> concatenate (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    juce::AudioBuffer<float> r (a.getNumChannels(), a.getNumSamples() + b.getNumSamples());
    for (int c = 0; c < a.getNumChannels(); ++c)
    {
        r.copyFrom (c, 0, a, c, 0, a.getNumSamples());
        r.copyFrom (c, a.getNumSamples(), b, c, 0, b.getNumSamples());
    }
    return r;
}

inline juce::AudioBuffer<float> dc (int channels, int samples, float value)
{
    juce::AudioBuffer<float> b (channels, samples);
    for (int c = 0; c < channels; ++c)
        juce::FloatVectorOperations::fill (b.getWritePointer (c), value, samples);
    return b;
}

// ---- Plain references -------------------------------------------------------

// K-weighting written the long way: the fixed 48 kHz direct-form-I biquads in
// double, one whole-channel pass per stage; at other rates the JUCE filters run
// through an AudioBlock. Then the gated integration with each block summed afresh.
inline void referenceKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    if (std::abs (sampleRate - 48000.0) < 1.0)
    {
        const double stages[2][5] = { { 1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241, 0.73248077421585 },
                                      { 1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621 } };
        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            for (const auto& c : stages)
            {
                float* x = buffer.getWritePointer (ch);
                double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
                for (int i = 0; i < buffer.getNumSamples(); ++i)
                {
                    const double in = x[i];
                    const double y = c[0] * in + c[1] * x1 + c[2] * x2 - c[3] * y1 - c[4] * y2;
                    x2 = x1; x1 = in; y2 = y1; y1 = y;
                    x[i] = (float) y;
                }
            }
        return;
    }

    auto shelf = juce::dsp::IIR::Coefficients<float>::makeHighShelf (sampleRate, 1500.0f, 0.707f, std::pow (10.0f, 0.2f));
    auto highPass = juce::dsp::IIR::Coefficients<float>::makeHighPass (sampleRate, 38.0f, 0.5f);
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        float* data[] = { buffer.getWritePointer (ch) };
        juce::dsp::AudioBlock<float> block (data, 1, (size_t) buffer.getNumSamples());
        for (auto& c : { shelf, highPass })
        {
            juce::dsp::IIR::Filter<float> f (c);
            f.reset();
            f.process (juce::dsp::ProcessContextReplacing<float> (block));
        }
    }
}

inline double referenceGatedLoudness (const juce::AudioBuffer<float>& k, double sampleRate)
{
    const int blockSize = (int) (sampleRate * 0.4), hop = (int) (sampleRate * 0.1);
    const int n = k.getNumSamples();
    if (blockSize < 1 || n < blockSize)
        return -144.0;
    std::vector<double> l;
    for (int start = 0; start + blockSize <= n; start += hop)
    {
        double z = 0.0;
        for (int ch = 0; ch < k.getNumChannels(); ++ch)
        {
            double s = 0.0;
            for (int i = start; i < start + blockSize; ++i)
                s += (double) k.getSample (ch, i) * (double) k.getSample (ch, i);
            z += s / blockSize;
        }
        l.push_back (z > 1e-30 ? 10.0 * std::log10 (z) - 0.691 : -144.0);
    }
    double sum = 0.0;
    int count = 0;
    for (double v : l)
        if (v > -70.0) { sum += std::pow (10.0, (v + 0.691) / 10.0); ++count; }
    if (count == 0)
        return -144.0;
    const double threshold = 10.0 * std::log10 (sum / count) - 0.691 - 10.0;
    sum = 0.0;
    count = 0;
    for (double v : l)
        if (v > -70.0 && v > threshold) { sum += std::pow (10.0, (v + 0.691) / 10.0); ++count; }
    if (count == 0)
        return -144.0;
    return 10.0 * std::log10 (sum / count) - 0.691;
}

// The true peak through the JUCE oversampler itself, fed in chunks of
// `chunk` samples; `resetBetweenChunks` restarts the filters for every chunk.
inline double referenceTruePeakDb (const juce::AudioBuffer<float>& buffer, int chunk = 65536, bool resetBetweenChunks = false)
{
    juce::dsp::Oversampling<float> os ((size_t) buffer.getNumChannels(), 2,
                                       juce::dsp::Oversampling<float>::filterHalfBandPolyphaseIIR, true, false);
    os.initProcessing ((size_t) chunk);
    float peak = 0.0f;
    for (int start = 0; start < buffer.getNumSamples(); start += chunk)
    {
        const int len = std::min (buffer.getNumSamples() - start, chunk);
        juce::AudioBuffer<float> piece (buffer.getNumChannels(), len);
        for (int c = 0; c < buffer.getNumChannels(); ++c)
            piece.copyFrom (c, 0, buffer, c, start, len);
        auto up = os.processSamplesUp (juce::dsp::AudioBlock<const float> (piece));
        for (size_t c = 0; c < up.getNumChannels(); ++c)
            for (size_t i = 0; i < up.getNumSamples(); ++i)
                peak = std::max (peak, std::abs (up.getSample ((int) c, (int) i)));
        if (resetBetweenChunks)
            os.reset();
    }
    return peak > 1e-10f ? 20.0 * std::log10 ((double) peak) : -144.0;
}

// Leaves a failing test's signal beside the test run as a 32-bit float WAV.
inline void keepFailingSignal (const std::string& label, const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    const auto name = "analysis_failure_" + juce::File::createLegalFileName (juce::String (label)).replaceCharacter (' ', '_') + ".wav";
    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile (name);
    testing_support::writeWav (file, buffer, sampleRate, 32);
    std::printf ("kept the failing signal as %s\n", file.getFullPathName().toRawUTF8());
}

} // namespace analysis_testing

} // namespace tessaloom
