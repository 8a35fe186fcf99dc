// The inline kernels of dsp/ held to the JUCE processors they stand in for,
// sample by sample and bit for bit: the leveler's and the de-esser's
// Compressor, the expander's NoiseGate, the de-esser's Linkwitz-Riley split,
// the limiter's two compressors with make-up gain and clip, and the one
// second-order section the cascades, the K-weighting and the sibilance band run
// (IIR::Filter). One table of cases: the engine's settings, several signals,
// 16 / 44.1 / 48 kHz, mono and stereo.
//
// Each JUCE processor is prepared for all channels of the signal at once and
// fed the whole signal, once as 512-sample blocks and once as a single block;
// each kernel gets one object per channel, as the stages run them, but for the
// section's stereo cases, which run two channels in the lanes of one register
// as the K-weighting does.

#include "dsp/Biquad.h"
#include "dsp/DynamicsKernels.h"
#include "support/TestSupport.h"

#include <juce_dsp/juce_dsp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

using namespace tessaloom;

namespace
{
// ---- Signals ---------------------------------------------------------------

enum class Signal
{
    speech,          // syllable bursts with pauses and a little background noise
    loudSine,        // 997 Hz at -0.9 dBFS
    hotSine,         // 997 Hz at +6 dBFS, as a large normalisation boost leaves it
    noise,           // white, RMS -10 dBFS
    quietNoise,      // white, RMS -50 dBFS: around the expander's thresholds
    loudThenSilence, // 0.3 s of loud noise, then silence long enough for every
                     // release to run down into subnormal values
    silence
};

const char* signalName (Signal s)
{
    switch (s)
    {
        case Signal::speech: return "Speech";
        case Signal::loudSine: return "LoudSine";
        case Signal::hotSine: return "HotSine";
        case Signal::noise: return "Noise";
        case Signal::quietNoise: return "QuietNoise";
        case Signal::loudThenSilence: return "LoudThenSilence";
        case Signal::silence: return "Silence";
    }
    return "?";
}

// A sine has the same samples in every channel; scaling the later channels
// keeps a channel from passing for another.
void scaleLaterChannels (juce::AudioBuffer<float>& b)
{
    for (int c = 1; c < b.getNumChannels(); ++c)
        b.applyGain (c, 0, b.getNumSamples(), 1.0f - 0.3f * (float) c);
}

juce::AudioBuffer<float> makeSignal (Signal s, int channels, double rate)
{
    using namespace testing_support;
    const int threeSeconds = (int) (3.0 * rate);

    switch (s)
    {
        case Signal::speech: return speechLike (channels, threeSeconds, rate, 7);
        case Signal::loudSine:
        case Signal::hotSine:
        {
            auto b = sine (channels, threeSeconds, rate, 997.0, s == Signal::loudSine ? 0.9f : 2.0f);
            scaleLaterChannels (b);
            return b;
        }
        case Signal::noise: return whiteNoise (channels, threeSeconds, 0.316f, 3);
        case Signal::quietNoise: return whiteNoise (channels, threeSeconds, 0.00316f, 5);
        case Signal::loudThenSilence:
        {
            // The slowest release here (300 ms) needs about 4.2 s to fall from
            // full scale to the subnormal range.
            auto b = silence (channels, (int) (6.0 * rate));
            const int burst = (int) (0.3 * rate);
            const auto loud = whiteNoise (channels, burst, 0.5f, 9);
            for (int c = 0; c < channels; ++c)
                b.copyFrom (c, 0, loud, c, 0, burst);
            return b;
        }
        case Signal::silence: return silence (channels, (int) rate);
    }
    return {};
}

// ---- The table ---------------------------------------------------------------

enum class Kernel
{
    compressor,
    noiseGate,
    split,
    limiter,
    biquad
};

enum class Denormals
{
    kept,
    flushed // juce::ScopedNoDenormals around both, as the limiter stage runs
};

struct Case
{
    const char* setting; // which of the engine's uses, for the test name
    Kernel kernel;
    Signal signal;
    double rate;
    int channels;
    // Compressor and gate: all four. Limiter: thresholdDb and releaseMs.
    // Split: cutoffHz only. Biquad: cutoffHz, ratio as its Q and thresholdDb
    // as a high shelf's gain (0: a high-pass).
    float thresholdDb = 0.0f, ratio = 1.0f, attackMs = 0.0f, releaseMs = 0.0f;
    float cutoffHz = 0.0f;
    Denormals denormals = Denormals::kept;
};

// The de-esser's split: 5 kHz, or just under Nyquist at low rates.
float crossover (double rate) { return juce::jmin (0.5f * (float) rate - 1.0f, 5000.0f); }

Case leveler (Signal s, double rate, int channels, Denormals d = Denormals::kept)
{
    return { "Leveler", Kernel::compressor, s, rate, channels, -18.0f, 3.0f, 12.0f, 250.0f, 0.0f, d };
}
Case deEsserBand (const char* setting, float thresholdDb, Signal s, double rate, int channels)
{
    return { setting, Kernel::compressor, s, rate, channels, thresholdDb, 4.0f, 1.0f, 50.0f };
}
Case expander (const char* setting, float thresholdDb, Signal s, double rate, int channels,
               Denormals d = Denormals::kept)
{
    return { setting, Kernel::noiseGate, s, rate, channels, thresholdDb, 2.0f, 1.0f, 300.0f, 0.0f, d };
}
Case split (Signal s, double rate, int channels, Denormals d = Denormals::kept)
{
    return { "Split", Kernel::split, s, rate, channels, 0.0f, 1.0f, 0.0f, 0.0f, crossover (rate), d };
}
Case limiter (Signal s, double rate, int channels, Denormals d = Denormals::flushed)
{
    return { "Limiter", Kernel::limiter, s, rate, channels, -1.0f, 1.0f, 0.0f, 50.0f, 0.0f, d };
}
// The K-weighting's designed stages away from 48 kHz and the sibilance band's high-pass.
Case kShelf (Signal s, double rate, int channels, Denormals d = Denormals::kept)
{
    return { "KWeightingShelf", Kernel::biquad, s, rate, channels, 4.0f, 0.707f, 0.0f, 0.0f, 1500.0f, d };
}
Case kHighPass (Signal s, double rate, int channels, Denormals d = Denormals::kept)
{
    return { "KWeightingHighPass", Kernel::biquad, s, rate, channels, 0.0f, 0.5f, 0.0f, 0.0f, 38.0f, d };
}
Case sibilanceHighPass (Signal s, double rate, int channels, Denormals d = Denormals::kept)
{
    return { "SibilanceHighPass", Kernel::biquad, s, rate, channels, 0.0f, 0.707f, 0.0f, 0.0f, 5000.0f, d };
}

constexpr int mono = 1, stereo = 2;
using S = Signal;

const Case cases[] = {
    leveler (S::speech, 44100.0, mono),
    leveler (S::speech, 48000.0, stereo),
    leveler (S::loudSine, 48000.0, mono),
    leveler (S::noise, 44100.0, stereo),
    leveler (S::loudThenSilence, 48000.0, mono),
    leveler (S::loudThenSilence, 44100.0, stereo, Denormals::flushed),
    leveler (S::silence, 44100.0, mono),
    leveler (S::speech, 16000.0, mono),

    deEsserBand ("DeEsserBandM40", -40.0f, S::speech, 48000.0, stereo),
    deEsserBand ("DeEsserBandM40", -40.0f, S::loudSine, 16000.0, mono),
    deEsserBand ("DeEsserBandM20", -20.0f, S::noise, 44100.0, mono),
    deEsserBand ("DeEsserBandM20", -20.0f, S::hotSine, 48000.0, stereo),
    deEsserBand ("DeEsserBandM20", -20.0f, S::loudThenSilence, 44100.0, mono),

    expander ("ExpanderM60", -60.0f, S::speech, 48000.0, mono),
    expander ("ExpanderM60", -60.0f, S::loudThenSilence, 48000.0, stereo),
    expander ("ExpanderM60", -60.0f, S::loudThenSilence, 44100.0, mono, Denormals::flushed),
    expander ("ExpanderM45", -45.0f, S::speech, 44100.0, stereo),
    expander ("ExpanderM45", -45.0f, S::quietNoise, 48000.0, mono),
    expander ("ExpanderM45", -45.0f, S::loudSine, 44100.0, mono),
    expander ("ExpanderM45", -45.0f, S::silence, 48000.0, stereo),
    expander ("ExpanderM45", -45.0f, S::speech, 16000.0, mono),

    split (S::speech, 48000.0, stereo),
    split (S::speech, 44100.0, mono),
    split (S::noise, 44100.0, mono),
    split (S::loudSine, 48000.0, mono),
    split (S::loudThenSilence, 44100.0, mono),
    split (S::loudThenSilence, 48000.0, stereo, Denormals::flushed),
    split (S::silence, 48000.0, mono),
    split (S::speech, 16000.0, mono),
    split (S::noise, 16000.0, stereo),

    limiter (S::speech, 48000.0, stereo),
    limiter (S::loudSine, 44100.0, mono),
    limiter (S::hotSine, 48000.0, stereo),
    limiter (S::noise, 44100.0, stereo),
    limiter (S::loudThenSilence, 48000.0, mono),
    limiter (S::loudThenSilence, 44100.0, mono, Denormals::kept),
    limiter (S::silence, 44100.0, stereo),
    limiter (S::hotSine, 16000.0, mono),

    kShelf (S::speech, 44100.0, stereo),
    kShelf (S::hotSine, 44100.0, mono),
    kShelf (S::loudThenSilence, 16000.0, stereo, Denormals::flushed),
    kHighPass (S::noise, 44100.0, stereo),
    kHighPass (S::loudThenSilence, 44100.0, mono),
    kHighPass (S::silence, 16000.0, stereo),
    sibilanceHighPass (S::speech, 48000.0, stereo),
    sibilanceHighPass (S::quietNoise, 44100.0, mono),
    sibilanceHighPass (S::loudThenSilence, 48000.0, stereo),
};

std::string describe (const Case& c)
{
    std::ostringstream s;
    switch (c.kernel)
    {
        case Kernel::compressor:
        case Kernel::noiseGate:
            s << (c.kernel == Kernel::compressor ? "compressor " : "noise gate ") << c.thresholdDb << " dB "
              << c.ratio << ":1 " << c.attackMs << "/" << c.releaseMs << " ms";
            break;
        case Kernel::split: s << "split at " << c.cutoffHz << " Hz"; break;
        case Kernel::limiter: s << "limiter " << c.thresholdDb << " dB, release " << c.releaseMs << " ms"; break;
        case Kernel::biquad:
            s << (c.thresholdDb != 0.0f ? "high shelf " : "high-pass ") << c.cutoffHz << " Hz Q " << c.ratio;
            if (c.thresholdDb != 0.0f)
                s << " " << c.thresholdDb << " dB";
            break;
    }
    s << ", " << signalName (c.signal) << ", " << c.rate << " Hz, " << c.channels << " ch, denormals "
      << (c.denormals == Denormals::kept ? "kept" : "flushed");
    return s.str();
}

// ---- Running both sides ----------------------------------------------------------

// What a kernel gives: one buffer, or the split's low and high bands.
struct Output
{
    const char* band;
    juce::AudioBuffer<float> audio;
};

juce::dsp::IIR::Coefficients<float>::Ptr designBiquad (const Case& c)
{
    using Coefficients = juce::dsp::IIR::Coefficients<float>;
    if (c.thresholdDb != 0.0f)
        return Coefficients::makeHighShelf (c.rate, c.cutoffHz, c.ratio, std::pow (10.0f, c.thresholdDb / 20.0f));
    return Coefficients::makeHighPass (c.rate, c.cutoffHz, c.ratio);
}

template <typename Processor>
void processInBlocks (Processor& processor, juce::AudioBuffer<float>& audio, int blockSize)
{
    juce::dsp::AudioBlock<float> whole (audio);
    for (int start = 0; start < audio.getNumSamples(); start += blockSize)
    {
        const int length = juce::jmin (blockSize, audio.getNumSamples() - start);
        auto block = whole.getSubBlock ((size_t) start, (size_t) length);
        processor.process (juce::dsp::ProcessContextReplacing<float> (block));
    }
}

std::vector<Output> runJuce (const Case& c, const juce::AudioBuffer<float>& input, int blockSize)
{
    const juce::dsp::ProcessSpec spec { c.rate, (juce::uint32) blockSize, (juce::uint32) c.channels };
    juce::AudioBuffer<float> audio (input);

    switch (c.kernel)
    {
        // Compressor::process and NoiseGate::process run processSample over
        // each channel and keep no block-level state, so the block size
        // changes nothing for them.
        case Kernel::compressor:
        {
            juce::dsp::Compressor<float> compressor;
            compressor.setThreshold (c.thresholdDb);
            compressor.setRatio (c.ratio);
            compressor.setAttack (c.attackMs);
            compressor.setRelease (c.releaseMs);
            compressor.prepare (spec);
            processInBlocks (compressor, audio, blockSize);
            return { { "", audio } };
        }
        case Kernel::noiseGate:
        {
            juce::dsp::NoiseGate<float> gate;
            gate.setThreshold (c.thresholdDb);
            gate.setRatio (c.ratio);
            gate.setAttack (c.attackMs);
            gate.setRelease (c.releaseMs);
            gate.prepare (spec);
            processInBlocks (gate, audio, blockSize);
            return { { "", audio } };
        }
        case Kernel::split:
        {
            juce::AudioBuffer<float> high (input);
            juce::dsp::LinkwitzRileyFilter<float> lowPass, highPass;
            lowPass.setType (juce::dsp::LinkwitzRileyFilterType::lowpass);
            highPass.setType (juce::dsp::LinkwitzRileyFilterType::highpass);
            lowPass.prepare (spec);
            highPass.prepare (spec);
            lowPass.setCutoffFrequency (c.cutoffHz);
            highPass.setCutoffFrequency (c.cutoffHz);
            processInBlocks (lowPass, audio, blockSize);
            processInBlocks (highPass, high, blockSize);
            return { { "low band", audio }, { "high band", high } };
        }
        case Kernel::limiter:
        {
            // Why kernel, multiply and clip give Limiter::process bit for bit:
            // - it runs the first compressor over the block, then the second in
            //   place; each keeps only its own per-channel envelope, so stage by
            //   stage over a block is the kernel's stage after stage per sample.
            // - its output gain is a linear SmoothedValue. Set before prepare (no
            //   ramp length yet) it jumps to the target, and prepare's reset()
            //   snaps it there again, so it is never smoothing and
            //   AudioBlock::multiplyBy takes its plain target: one
            //   FloatVectorOperations::multiply by the float the kernel's
            //   outputGain repeats. A threshold set after prepare would instead
            //   ramp from the previous gain over the first millisecond.
            // - the clip is FloatVectorOperations::clip to [-1, 1], the call the
            //   limiter stage makes.
            // - Compressor::process does not snap its envelopes to zero, so the
            //   block size changes nothing.
            juce::dsp::Limiter<float> limiter;
            limiter.setThreshold (c.thresholdDb);
            limiter.setRelease (c.releaseMs);
            limiter.prepare (spec);
            processInBlocks (limiter, audio, blockSize);
            return { { "", audio } };
        }
        case Kernel::biquad:
        {
            // IIR::Filter is one channel; the duplicator gives each its own state.
            juce::dsp::ProcessorDuplicator<juce::dsp::IIR::Filter<float>, juce::dsp::IIR::Coefficients<float>> filter;
            filter.state = designBiquad (c);
            filter.prepare (spec);
            processInBlocks (filter, audio, blockSize);
            return { { "", audio } };
        }
    }
    return {};
}

// The section over every channel: pairs of channels in the lanes of one
// register where the processor has them, the rest one by one.
juce::AudioBuffer<float> runBiquad (const Case& c, const juce::AudioBuffer<float>& input)
{
    const auto coefficients = designBiquad (c);
    const int length = input.getNumSamples();
    juce::AudioBuffer<float> audio (input);
    int ch = 0;
   #if TESSALOOM_SSE2
    for (; ch + 1 < c.channels; ch += 2)
    {
        juce_arithmetic::BiquadLanes k (*coefficients);
        float* a = audio.getWritePointer (ch);
        float* b = audio.getWritePointer (ch + 1);
        for (int n = 0; n < length; ++n)
        {
            alignas (16) float lanes[4];
            _mm_store_ps (lanes, k.process (_mm_setr_ps (a[n], b[n], 0.0f, 0.0f)));
            a[n] = lanes[0];
            b[n] = lanes[1];
        }
    }
   #endif
    for (; ch < c.channels; ++ch)
    {
        juce_arithmetic::Biquad k (*coefficients);
        float* x = audio.getWritePointer (ch);
        for (int n = 0; n < length; ++n)
            x[n] = k.process (x[n]);
    }
    return audio;
}

// Each channel through a kernel object of its own, as the stages run them.
std::vector<Output> runKernel (const Case& c, const juce::AudioBuffer<float>& input)
{
    if (c.kernel == Kernel::biquad)
        return { { "", runBiquad (c, input) } };

    const int length = input.getNumSamples();
    juce::AudioBuffer<float> audio (input);
    juce::AudioBuffer<float> high (c.channels, length);

    for (int ch = 0; ch < c.channels; ++ch)
    {
        float* x = audio.getWritePointer (ch);
        switch (c.kernel)
        {
            case Kernel::compressor:
            {
                dynamics_kernels::Compressor k (c.rate, c.thresholdDb, c.ratio, c.attackMs, c.releaseMs);
                for (int n = 0; n < length; ++n)
                    x[n] = k.processSample (x[n]);
                break;
            }
            case Kernel::noiseGate:
            {
                dynamics_kernels::NoiseGate k (c.rate, c.thresholdDb, c.ratio, c.attackMs, c.releaseMs);
                for (int n = 0; n < length; ++n)
                    x[n] = k.processSample (x[n]);
                break;
            }
            case Kernel::split:
            {
                dynamics_kernels::LinkwitzRileySplit k (c.rate, c.cutoffHz);
                float* h = high.getWritePointer (ch);
                for (int n = 0; n < length; ++n)
                    k.processSample (x[n], x[n], h[n]);
                break;
            }
            case Kernel::limiter:
            {
                // Kernel, make-up gain, clip: the limiter stage's own sequence.
                dynamics_kernels::LimiterStages k (c.rate, c.thresholdDb, c.releaseMs);
                for (int n = 0; n < length; ++n)
                    x[n] = k.processSample (x[n]);
                juce::FloatVectorOperations::multiply (x, k.outputGain, length);
                juce::FloatVectorOperations::clip (x, x, -1.0f, 1.0f, length);
                break;
            }
            case Kernel::biquad: break; // above
        }
    }

    if (c.kernel == Kernel::split)
        return { { "low band", audio }, { "high band", high } };
    return { { "", audio } };
}

// ---- Comparing ---------------------------------------------------------------------

std::uint32_t bitsOf (float x)
{
    std::uint32_t bits;
    std::memcpy (&bits, &x, sizeof bits);
    return bits;
}

struct Difference
{
    int differing = 0; // samples whose bit patterns differ, over all channels
    int channel = -1, index = -1;
    float juceValue = 0.0f, kernelValue = 0.0f; // at the first differing sample
    double largest = 0.0;                      // largest absolute difference
};

Difference compare (const juce::AudioBuffer<float>& fromJuce, const juce::AudioBuffer<float>& fromKernel)
{
    Difference d;
    const int length = fromJuce.getNumSamples();
    for (int ch = 0; ch < fromJuce.getNumChannels(); ++ch)
    {
        const float* a = fromJuce.getReadPointer (ch);
        const float* b = fromKernel.getReadPointer (ch);
        if (std::memcmp (a, b, sizeof (float) * (size_t) length) == 0)
            continue;

        for (int n = 0; n < length; ++n)
        {
            if (bitsOf (a[n]) == bitsOf (b[n]))
                continue;
            if (d.differing++ == 0)
            {
                d.channel = ch;
                d.index = n;
                d.juceValue = a[n];
                d.kernelValue = b[n];
            }
            d.largest = std::max (d.largest, std::abs ((double) a[n] - (double) b[n]));
        }
    }
    return d;
}

std::string show (float x)
{
    std::ostringstream s;
    s << std::setprecision (9) << x << " (0x" << std::hex << std::setw (8) << std::setfill ('0') << bitsOf (x) << ")";
    return s.str();
}

std::string report (const Case& c, const char* band, int blockSize, int length, const Difference& d)
{
    std::ostringstream s;
    s << describe (c) << (*band != 0 ? ", " : "") << band << ", JUCE fed "
      << (blockSize == length ? std::string ("in one block") : std::to_string (blockSize) + "-sample blocks")
      << ": " << d.differing << " samples differ, first at channel " << d.channel << " index " << d.index
      << ": JUCE " << show (d.juceValue) << ", kernel " << show (d.kernelValue) << "; largest difference "
      << std::setprecision (3) << d.largest;
    return s.str();
}

// JUCE's LinkwitzRileyFilter::process() ends every call by snapping each filter
// state within +-1e-8 to zero (JUCE_DSP_ENABLE_SNAP_TO_ZERO, on for Intel);
// the split kernel never snaps, as the de-esser runs it through the whole file.
// Fed in one block, JUCE snaps only after the last sample and the two agree bit
// for bit. Fed in blocks, they part from the first block end at which a state
// lay inside that band: from there JUCE's output is the kernel's less the
// response to the zeroed states, four per filter of at most 1e-8 each with
// gains of order one, and the filters' quick decay keeps such responses from
// building up across blocks. That stays under one 24-bit step (1.2e-7). In
// these cases a state only lands in the band in a decaying silent tail, having
// fallen far below 1e-8 since the previous block end (the largest difference is
// about 2e-17); wherever there is sound they agree bit for bit. IIR::Filter
// snaps its two states the same way at the end of every call, and the section
// never does, so the same holds for it.
constexpr double splitSnapBound = 1.0e-7;

// gtest names a failing case by its parameter; the settings read better than its bytes.
void PrintTo (const Case& c, std::ostream* os) { *os << describe (c); }

class KernelsVsJuce : public ::testing::TestWithParam<Case>
{
};

TEST_P (KernelsVsJuce, GivesTheJuceProcessorsSamples)
{
    const Case& c = GetParam();
    const auto input = makeSignal (c.signal, c.channels, c.rate);
    const int length = input.getNumSamples();

    // Both sides run in the same denormal mode, or the comparison would be of
    // the two modes rather than of the arithmetic.
    std::optional<juce::ScopedNoDenormals> noDenormals;
    if (c.denormals == Denormals::flushed)
        noDenormals.emplace();

    const auto fromKernel = runKernel (c, input);

    for (const int blockSize : { 512, length })
    {
        const auto fromJuce = runJuce (c, input, blockSize);
        ASSERT_EQ (fromJuce.size(), fromKernel.size());

        for (size_t band = 0; band < fromJuce.size(); ++band)
        {
            const auto d = compare (fromJuce[band].audio, fromKernel[band].audio);
            const auto message = report (c, fromJuce[band].band, blockSize, length, d);

            if ((c.kernel == Kernel::split || c.kernel == Kernel::biquad) && blockSize != length)
                EXPECT_LE (d.largest, splitSnapBound) << message;
            else
                EXPECT_EQ (d.differing, 0) << message;
        }
    }
}

std::string caseName (const ::testing::TestParamInfo<Case>& info)
{
    const Case& c = info.param;
    return std::string (c.setting) + "_" + signalName (c.signal) + "_" + std::to_string ((int) c.rate) + "Hz_"
           + (c.channels == 1 ? "Mono" : "Stereo") + (c.denormals == Denormals::flushed ? "_NoDenormals" : "");
}

INSTANTIATE_TEST_SUITE_P (Table, KernelsVsJuce, ::testing::ValuesIn (cases), caseName);
} // namespace
