#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tessaloom
{

// The true-peak limiter's gain: a recovery envelope that drops at once to the
// gain held for a frame and climbs back with the release, smoothed by a moving
// average over the look-ahead, so that the gain has reached a peak's need when
// the peak (delayed by the look-ahead) comes out.
namespace true_peak_parts
{
class GainRamp
{
public:
    // Allocates the average's `length` values (at least 1), all at 1 (no reduction).
    GainRamp (int length, float releaseCoefficient);

    // The next frame's held gain (at most 1): moves the envelope and the average one frame on.
    void follow (double hold) noexcept
    {
        // Down at once, up with the release; never above the hold, so the ramp
        // never lifts a frame over its needed gain.
        envelope = hold < envelope ? hold : hold + (double) releaseCoefficient * (envelope - hold);
        if (envelope > 1.0 - 1e-7)
            envelope = 1.0;
        framesAtRest = envelope == 1.0 && hold == 1.0 ? framesAtRest + 1 : 0;
        // The slot of this frame in the average, counted round rather than divided.
        const int r = slot;
        slot = slot + 1 == length ? 0 : slot + 1;
        sum += envelope - values[(size_t) r];
        values[(size_t) r] = envelope;
    }

    // `frames` frames with a held gain of 1 while at rest: what follow (1.0) would
    // leave after each, without walking the average (every value in it stays 1).
    void rest (std::int64_t frames) noexcept
    {
        slot = (int) ((slot + frames) % length);
        framesAtRest += frames;
    }

    // The smoothed gain: every value is at most 1, and the sum's rounding must not lift it over that.
    double gain() const noexcept { return std::min (1.0, sum / length); }

    // True when a whole average's worth of frames have followed a gain of 1 with the envelope at 1:
    // every value in the average is 1.
    bool atRest() const noexcept { return framesAtRest >= length && envelope == 1.0; }

private:
    int length = 1;
    float releaseCoefficient = 0.0f;
    double envelope = 1.0;
    std::vector<double> values;
    double sum = 0.0;
    int slot = 0;
    std::int64_t framesAtRest = 0;
};
} // namespace true_peak_parts

} // namespace tessaloom
