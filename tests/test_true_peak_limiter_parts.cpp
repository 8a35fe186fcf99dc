// The true-peak limiter's parts, each against a plain obvious implementation
// over random input: the sliding maximum and minimum (the gate and the hold)
// and their block form, the interpolator, and the gain ramp. The parts are
// exact where their arithmetic allows it (maxima, minima, the interpolator's
// float sums in tap order), so most rows compare bit for bit.

#include "pipeline/stages/GainRamp.h"
#include "pipeline/stages/SlidingExtremum.h"
#include "pipeline/stages/TruePeakInterpolator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using namespace tessaloom;

using namespace true_peak_parts;

constexpr double kPi = 3.14159265358979323846;

namespace
{
// Values from a small set as often as not, so that ties (which the queues must pop) come up.
std::vector<float> randomValues (std::mt19937& rng, size_t n)
{
    std::uniform_real_distribution<float> any (0.0f, 2.0f);
    std::uniform_int_distribution<int> pick (0, 7);
    std::vector<float> v (n);
    for (auto& x : v)
        x = pick (rng) < 4 ? (float) pick (rng) * 0.25f : any (rng);
    return v;
}

struct WindowCase
{
    int length;
    unsigned seed;
};

const WindowCase windowCases[] = { { 1, 1u }, { 2, 2u }, { 3, 3u }, { 17, 4u }, { 64, 5u }, { 240, 6u }, { 481, 7u } };

// The obvious extremum: over the window's frames pushed since the last clear.
template <bool largest>
void checkAgainstPlainWindow (const WindowCase& c)
{
    std::mt19937 rng (c.seed);
    const auto values = randomValues (rng, 5000);
    std::uniform_int_distribution<int> clearEvery (0, 700);
    SlidingExtremum<largest> queue (c.length);
    size_t since = 0; // the first frame after the last clear
    std::int64_t position = 123456789; // any start: only the steps between positions count
    for (size_t i = 0; i < values.size(); ++i, ++position)
    {
        if (clearEvery (rng) == 0)
        {
            queue.clear();
            since = i;
            position += 1000; // after a clear the positions may jump
        }
        queue.push (position, values[i]);
        const size_t from = std::max (since, i + 1 >= (size_t) c.length ? i + 1 - (size_t) c.length : 0);
        float expected = values[from];
        for (size_t k = from; k <= i; ++k)
            expected = largest ? std::max (expected, values[k]) : std::min (expected, values[k]);
        ASSERT_EQ (queue.value(), expected) << "window " << c.length << ", frame " << i;
        ASSERT_LE (queue.queued(), c.length);
    }
}
} // namespace

TEST (TruePeakParts, SlidingMaximumIsTheLargestOfTheWindow)
{
    for (const auto& c : windowCases)
        checkAgainstPlainWindow<true> (c);
}

TEST (TruePeakParts, SlidingMinimumIsTheSmallestOfTheWindow)
{
    for (const auto& c : windowCases)
        checkAgainstPlainWindow<false> (c);
}

// The block form the resting path uses gives each frame's gate, for blocks of every length.
TEST (TruePeakParts, GateWindowMaximaOverBlocksOfEveryLength)
{
    std::mt19937 rng (11u);
    for (int count = 1; count <= 1100; ++count)
    {
        const auto values = randomValues (rng, (size_t) (count + kGateWindow - 1));
        std::vector<float> out ((size_t) (count + kGateWindow - 2), -1.0f);
        gateWindowMaxima (values.data(), count, out.data());
        SlidingMaximum gate (kGateWindow);
        for (int m = 0; m < count + kGateWindow - 1; ++m)
        {
            gate.push (m, values[(size_t) m]);
            const int k = m - (kGateWindow - 1);
            if (k >= 0)
            {
                ASSERT_EQ (out[(size_t) k], gate.value()) << "block of " << count << ", frame " << k;
            }
        }
    }
}

// Each point is the plain sum of its row's products with the samples, in tap order.
TEST (TruePeakParts, InterpolatorPeakIsThePlainPointByPointPeak)
{
    const auto kernel = designInterpolation();
    ASSERT_EQ (kernel.rows.size(), (size_t) ((kOversampling - 1) * kTaps));
    const Interpolator interpolator (kernel.rows);
    std::mt19937 rng (21u);
    std::normal_distribution<float> noise (0.0f, 0.5f);
    std::uniform_int_distribution<int> kind (0, 3);
    for (int trial = 0; trial < 20000; ++trial)
    {
        float x[kTaps];
        for (auto& v : x)
            v = kind (rng) == 0 ? 0.0f : noise (rng) * (trial % 7 == 0 ? 1.0e-6f : 1.0f);
        float expected = std::abs (x[kTaps / 2 - 1]);
        for (int p = 0; p < kOversampling - 1; ++p)
        {
            float y = 0.0f;
            for (int i = 0; i < kTaps; ++i)
                y += kernel.rows[(size_t) (p * kTaps + i)] * x[i];
            expected = std::max (expected, std::abs (y));
        }
        ASSERT_EQ (interpolator.peakOfSpan (x), expected) << "trial " << trial;
    }
}

// The kernel's properties: a constant passes at its level, the rows mirror one
// another about the middle of the period, and the bound holds every row.
TEST (TruePeakParts, InterpolationKernelPassesDcAndIsBounded)
{
    const auto kernel = designInterpolation();
    for (int p = 0; p < kOversampling - 1; ++p)
    {
        double sum = 0.0, absSum = 0.0;
        for (int i = 0; i < kTaps; ++i)
        {
            const float c = kernel.rows[(size_t) (p * kTaps + i)];
            sum += c;
            absSum += std::abs ((double) c);
            const float mirrored = kernel.rows[(size_t) ((kOversampling - 2 - p) * kTaps + (kTaps - 1 - i))];
            EXPECT_NEAR (c, mirrored, 1.0e-6f) << "point " << p + 1 << ", tap " << i;
        }
        EXPECT_NEAR (sum, 1.0, 1.0e-6) << "point " << p + 1;
        EXPECT_LE (absSum, (double) kernel.gainBound) << "point " << p + 1;
    }
    EXPECT_GE (kernel.gainBound, 1.0f);
}

// A sine whose crest falls between two samples: the peak of the points comes
// within the kernel's ripple of the sine's amplitude, where the samples alone fall short.
TEST (TruePeakParts, InterpolatorFindsTheCrestBetweenSamples)
{
    struct Case
    {
        double cyclesPerSample, crestOffset; // the crest lies this fraction of a period after the sample
        double samplesShortDb;               // at least this much the samples alone miss it by
    };
    const Case cases[] = { { 0.25, 0.5, 0.6 }, { 0.25, 0.25, 0.15 }, { 0.125, 0.5, 0.15 }, { 0.3, 0.4, 0.5 }, { 0.05, 0.5, 0.0 } };
    const auto kernel = designInterpolation();
    const Interpolator interpolator (kernel.rows);
    for (const auto& c : cases)
    {
        float x[kTaps];
        for (int i = 0; i < kTaps; ++i)
        {
            const double t = (double) (i - (kTaps / 2 - 1)) - c.crestOffset; // samples from the crest
            x[i] = (float) (0.5 * std::cos (2.0 * kPi * c.cyclesPerSample * t));
        }
        const double found = 20.0 * std::log10 (interpolator.peakOfSpan (x) / 0.5);
        const double sampled = 20.0 * std::log10 (std::max (std::abs (x[kTaps / 2 - 1]), std::abs (x[kTaps / 2])) / 0.5);
        EXPECT_NEAR (found, 0.0, 0.1) << c.cyclesPerSample << " cycles a sample";
        EXPECT_LE (sampled, -c.samplesShortDb + 0.01) << c.cyclesPerSample << " cycles a sample";
    }
}

namespace
{
// The obvious ramp: the envelope as its rule says, and the average as the plain mean of the last values.
struct PlainRamp
{
    int length;
    double release;
    double envelope = 1.0;
    std::vector<double> history = {};

    double follow (double hold)
    {
        envelope = hold < envelope ? hold : hold + release * (envelope - hold);
        if (envelope > 1.0 - 1e-7)
            envelope = 1.0;
        history.push_back (envelope);
        double sum = 0.0;
        for (int k = 0; k < length; ++k)
            sum += (int) history.size() - 1 - k >= 0 ? history[history.size() - 1 - (size_t) k] : 1.0;
        return std::min (1.0, sum / length);
    }
};
} // namespace

// The ramp against the plain mean (its running sum rounds differently, within
// 1e-12), over runs of holds: peaks of every depth, long releases, and stretches at 1.
TEST (TruePeakParts, GainRampIsTheMeanOfTheEnvelopeOverItsLength)
{
    const struct
    {
        int length;
        float release;
        unsigned seed;
    } cases[] = { { 1, 0.99f, 31u }, { 8, 0.9f, 32u }, { 240, 0.99974f, 33u }, { 480, 0.99987f, 34u }, { 40, 0.0f, 35u } };
    for (const auto& c : cases)
    {
        GainRamp ramp (c.length, c.release);
        PlainRamp plain { c.length, (double) c.release, 1.0, {} };
        std::mt19937 rng (c.seed);
        std::uniform_real_distribution<float> depth (0.05f, 1.0f);
        std::uniform_int_distribution<int> run (1, 3 * c.length + 5), kind (0, 2);
        for (int frames = 0; frames < 20000;)
        {
            const int n = run (rng);
            const int k = kind (rng);
            const float heldGain = k == 0 ? depth (rng) : 1.0f;
            for (int i = 0; i < n; ++i, ++frames)
            {
                const double hold = k == 1 && i % 3 == 0 ? (double) depth (rng) : (double) heldGain;
                ramp.follow (hold);
                ASSERT_NEAR (ramp.gain(), plain.follow (hold), 1.0e-12) << "length " << c.length << ", frame " << frames;
                ASSERT_LE (ramp.gain(), 1.0);
            }
        }
    }
}

// At rest, rest (n) leaves the ramp as n frames of follow (1.0) would: the same
// gain, and the same state for whatever follows, bit for bit.
TEST (TruePeakParts, GainRampRestIsFollowingOnesFrameByFrame)
{
    std::mt19937 rng (41u);
    std::uniform_int_distribution<int> restLength (0, 2000);
    std::uniform_real_distribution<float> depth (0.1f, 1.0f);
    for (int length : { 1, 7, 240, 481 })
    {
        GainRamp resting (length, 0.999f), walking (length, 0.999f);
        for (int round = 0; round < 60; ++round)
        {
            // A peak, then ones until the ramp is at rest again.
            for (int i = 0; i < 5; ++i)
            {
                const double hold = depth (rng);
                resting.follow (hold);
                walking.follow (hold);
            }
            while (! walking.atRest())
            {
                resting.follow (1.0);
                walking.follow (1.0);
            }
            ASSERT_TRUE (resting.atRest());
            const int n = restLength (rng);
            resting.rest (n);
            for (int i = 0; i < n; ++i)
                walking.follow (1.0);
            ASSERT_EQ (resting.gain(), walking.gain()) << "length " << length << ", round " << round;
            ASSERT_TRUE (resting.atRest());
        }
        // What follows a rest uses the average's slots as the walk left them.
        for (int i = 0; i < 3 * length; ++i)
        {
            const double hold = i < length ? (double) depth (rng) : 1.0;
            resting.follow (hold);
            walking.follow (hold);
            ASSERT_EQ (resting.gain(), walking.gain()) << "length " << length << ", frame " << i << " after the rests";
        }
    }
}
