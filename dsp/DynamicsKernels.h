#pragma once

#include "dsp/JuceArithmetic.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <cmath>

namespace tessaloom
{

// Inline per-sample kernels of the JUCE dynamics processors the stages use
// (dsp::BallisticsFilter, Compressor, NoiseGate, LinkwitzRileyFilter and the
// two compressors of dsp::Limiter), in JUCE's arithmetic (see
// dsp/JuceArithmetic.h). JUCE compiles those out of line and runs every sample
// through one or two calls; here the same arithmetic runs in the stage's own
// loop. No allocation anywhere.
namespace dynamics_kernels
{
// BallisticsFilter::calculateLimitedCte: the one-pole coefficient of a time
// constant; times under a microsecond follow the input at once.
inline float ballisticsCoefficient (double sampleRate, float timeMs)
{
    const double expFactor = -2.0 * juce::MathConstants<double>::pi * 1000.0 / sampleRate;
    return timeMs < 1.0e-3f ? 0.0f : (float) std::exp (expFactor / timeMs);
}

// dsp::Compressor: peak ballistics, then gain (env / threshold)^(1/ratio - 1) above the threshold.
struct Compressor
{
    float threshold = 1.0f, thresholdInverse = 1.0f, ratioInverse = 1.0f, attack = 0.0f, release = 0.0f;
    float envelope = 0.0f;

    Compressor (double sampleRate, float thresholdDb, float ratio, float attackMs, float releaseMs)
    {
        threshold = juce::Decibels::decibelsToGain (thresholdDb, -200.0f);
        thresholdInverse = 1.0f / threshold;
        ratioInverse = 1.0f / ratio;
        attack = ballisticsCoefficient (sampleRate, attackMs);
        release = ballisticsCoefficient (sampleRate, releaseMs);
    }

    float processSample (float input) noexcept
    {
        const float level = std::abs (input);
        const float cte = level > envelope ? attack : release;
        envelope = level + cte * (envelope - level);
        const float gain = (envelope < threshold) ? 1.0f : std::pow (envelope * thresholdInverse, ratioInverse - 1.0f);
        return gain * input;
    }
};

// dsp::NoiseGate: RMS ballistics (0 ms attack, 50 ms release), peak ballistics,
// then gain (env / threshold)^(ratio - 1) below the threshold.
struct NoiseGate
{
    float threshold = 1.0f, thresholdInverse = 1.0f, ratio = 1.0f;
    float rmsAttack = 0.0f, rmsRelease = 0.0f, attack = 0.0f, release = 0.0f;
    float rmsState = 0.0f, envelope = 0.0f;

    NoiseGate (double sampleRate, float thresholdDb, float ratioIn, float attackMs, float releaseMs)
    {
        threshold = juce::Decibels::decibelsToGain (thresholdDb, -200.0f);
        thresholdInverse = 1.0f / threshold;
        ratio = ratioIn;
        rmsAttack = ballisticsCoefficient (sampleRate, 0.0f);
        rmsRelease = ballisticsCoefficient (sampleRate, 50.0f);
        attack = ballisticsCoefficient (sampleRate, attackMs);
        release = ballisticsCoefficient (sampleRate, releaseMs);
    }

    float processSample (float sample) noexcept
    {
        const float square = sample * sample;
        const float rmsCte = square > rmsState ? rmsAttack : rmsRelease;
        rmsState = square + rmsCte * (rmsState - square);
        const float rms = std::abs (std::sqrt (rmsState));

        const float cte = rms > envelope ? attack : release;
        envelope = rms + cte * (envelope - rms);

        const float gain = (envelope > threshold) ? 1.0f : std::pow (envelope * thresholdInverse, ratio - 1.0f);
        return gain * sample;
    }
};

// A Linkwitz-Riley low-pass and high-pass pair at one cutoff, fed the same
// input. Their first sections are the same filter with the same state, so it
// runs once; each output is what its own LinkwitzRileyFilter gives.
struct LinkwitzRileySplit
{
    float g = 0.0f, R2 = 0.0f, h = 0.0f;
    float s1 = 0.0f, s2 = 0.0f, low3 = 0.0f, low4 = 0.0f, high3 = 0.0f, high4 = 0.0f;

    LinkwitzRileySplit (double sampleRate, float cutoffHz)
    {
        g = (float) std::tan (juce::MathConstants<double>::pi * cutoffHz / sampleRate);
        R2 = (float) std::sqrt (2.0);
        h = (float) (1.0 / (1.0 + R2 * g + g * g));
    }

    void processSample (float input, float& low, float& high) noexcept
    {
        const float yH = (input - (R2 + g) * s1 - s2) * h;
        const float yB = g * yH + s1;
        s1 = g * yH + yB;
        const float yL = g * yB + s2;
        s2 = g * yB + yL;

        {
            const float yH2 = (yL - (R2 + g) * low3 - low4) * h;
            const float yB2 = g * yH2 + low3;
            low3 = g * yH2 + yB2;
            const float yL2 = g * yB2 + low4;
            low4 = g * yB2 + yL2;
            low = yL2;
        }
        {
            const float yH2 = (yH - (R2 + g) * high3 - high4) * h;
            const float yB2 = g * yH2 + high3;
            high3 = g * yH2 + yB2;
            const float yL2 = g * yB2 + high4;
            high4 = g * yB2 + yL2;
            high = yH2;
        }
    }
};

// dsp::Limiter's two compressors in series and its make-up gain (the output
// clip stays with the caller).
struct LimiterStages
{
    Compressor first, second;
    float outputGain = 1.0f;

    LimiterStages (double sampleRate, float thresholdDb, float releaseMs)
        : first (sampleRate, -10.0f, 4.0f, 2.0f, 200.0f),
          second (sampleRate, thresholdDb, 1000.0f, 0.001f, releaseMs)
    {
        const auto ratioInverse = (float) (1.0 / 4.0);
        auto gain = (float) std::pow (10.0, 10.0 * (1.0 - ratioInverse) / 40.0);
        gain *= juce::Decibels::decibelsToGain (-thresholdDb, -100.0f);
        outputGain = gain;
    }

    float processSample (float input) noexcept { return second.processSample (first.processSample (input)); }
};
} // namespace dynamics_kernels

} // namespace tessaloom
