#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tessaloom
{

// The running largest (or smallest) value over the latest frames: the
// limiter's gate (the loudest sample its points read) and its hold (the
// smallest gain over the look-ahead). A monotonic queue, so each frame costs
// a few comparisons on average whatever the window's length.
namespace true_peak_parts
{
template <bool largest>
class SlidingExtremum
{
public:
    // Allocates room for a window of `windowLength` frames (at least 1); nothing while running.
    explicit SlidingExtremum (int windowLength)
        : length (std::max (1, windowLength))
    {
        int capacity = 1;
        while (capacity < length + 1) // the newest frame goes in before the oldest leaves
            capacity <<= 1;
        positions.assign ((size_t) capacity, 0);
        values.assign ((size_t) capacity, 0.0f);
        mask = capacity - 1;
    }

    // The value of frame `position`, one more than the frame pushed before (after a clear, any).
    void push (std::int64_t position, float value) noexcept
    {
        // A queued value the new one reaches (or passes) can never be the extremum again.
        while (count > 0 && displaces (value, values[(size_t) ((head + count - 1) & mask)]))
            --count;
        const int tail = (head + count) & mask;
        positions[(size_t) tail] = position;
        values[(size_t) tail] = value;
        ++count;
        if (positions[(size_t) head] <= position - length)
        {
            head = (head + 1) & mask;
            --count;
        }
    }

    // The extremum over the window that ends at the latest frame pushed (at least one must be).
    float value() const noexcept { return values[(size_t) head]; }
    int queued() const noexcept { return count; }
    void clear() noexcept { head = count = 0; }

private:
    // Written as the negation where needed so that a NaN in either place behaves as it always has:
    // a NaN maximum gives way to every value, a NaN minimum to none.
    static bool displaces (float newer, float older) noexcept
    {
        if constexpr (largest)
            return ! (older > newer);
        else
            return older >= newer;
    }

    int length = 1;
    std::vector<std::int64_t> positions;
    std::vector<float> values;
    int mask = 0, head = 0, count = 0;
};

using SlidingMaximum = SlidingExtremum<true>;
using SlidingMinimum = SlidingExtremum<false>;

// The frames the gate reads: a frame and the kTaps before it.
constexpr int kGateWindow = 17;

// out[k] = the largest of values[k .. k + kGateWindow - 1] for k < count, by doubling spans:
// the block form of a SlidingMaximum over kGateWindow frames. `values` holds
// count + kGateWindow - 1 values, none NaN; `out` has room for count + kGateWindow - 2.
inline void gateWindowMaxima (const float* values, int count, float* out) noexcept
{
    for (int k = 0; k < count + kGateWindow - 2; ++k)
        out[k] = std::max (values[k], values[k + 1]);   // 2 frames
    for (int k = 0; k < count + kGateWindow - 4; ++k)
        out[k] = std::max (out[k], out[k + 2]);          // 4
    for (int k = 0; k < count + kGateWindow - 8; ++k)
        out[k] = std::max (out[k], out[k + 4]);          // 8
    for (int k = 0; k < count; ++k)
        out[k] = std::max (std::max (out[k], out[k + 8]), values[k + kGateWindow - 1]); // 16, then 17
}
} // namespace true_peak_parts

} // namespace tessaloom
