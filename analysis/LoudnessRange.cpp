#include "analysis/LoudnessRange.h"

#include "analysis/AnalysisStreams.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr int kHopsPerWindow = 30;            // 3 s short-term windows of 100 ms hops
constexpr double kRangeRelativeGateLu = -20.0;
constexpr double kLowPercentile = 0.10, kHighPercentile = 0.95;

// The 100 ms pieces the windows are made of: blocks one hop long, back to back.
analysis_detail::LoudnessBlocks hopBlocks (double sampleRate)
{
    analysis_detail::LoudnessBlocks b;
    b.blockSize = (int) (sampleRate * analysis_detail::kLoudnessHopSeconds);
    b.hop = std::max (1, b.blockSize);
    return b;
}
} // namespace

struct LoudnessRangeAccumulator::State
{
    State (int channels, double rate) : hops (channels, rate, hopBlocks (rate)) {}
    analysis_detail::LoudnessStream hops;
};

LoudnessRangeAccumulator::LoudnessRangeAccumulator (int numChannels, double sampleRate)
    : state (std::make_unique<State> (numChannels, sampleRate))
{
}

LoudnessRangeAccumulator::~LoudnessRangeAccumulator() = default;

void LoudnessRangeAccumulator::add (const float* const* channels, int numFrames)
{
    state->hops.add (channels, numFrames);
}

std::optional<double> LoudnessRangeAccumulator::finish() const
{
    using namespace analysis_detail;
    const auto& hopPowers = state->hops.blockPowers(); // mean squares of each hop, summed over the channels
    if ((int) hopPowers.size() < kHopsPerWindow)
        return std::nullopt;

    // Each window's power is the mean of its hops' (equal lengths), taken as a running sum.
    std::vector<double> windows;
    windows.reserve (hopPowers.size() - kHopsPerWindow + 1);
    double running = 0.0;
    for (size_t i = 0; i < hopPowers.size(); ++i)
    {
        running += hopPowers[i];
        if (i + 1 >= (size_t) kHopsPerWindow)
        {
            windows.push_back (std::max (0.0, running) / kHopsPerWindow);
            running -= hopPowers[i + 1 - kHopsPerWindow];
        }
    }

    const auto loudness = [] (double power) { return 10.0 * std::log10 (power) + kLoudnessOffsetLu; };
    const double absoluteGatePower = std::pow (10.0, (kAbsoluteGateLufs - kLoudnessOffsetLu) / 10.0);

    std::vector<double> gated;
    double sum = 0.0;
    for (const double p : windows)
        if (p > absoluteGatePower)
        {
            gated.push_back (p);
            sum += p;
        }
    if (gated.empty())
        return std::nullopt;

    const double relativeGate = loudness (sum / (double) gated.size()) + kRangeRelativeGateLu;
    std::vector<double> kept;
    for (const double p : gated)
        if (loudness (p) > relativeGate)
            kept.push_back (p);
    if (kept.empty())
        return std::nullopt;

    std::sort (kept.begin(), kept.end());
    const auto at = [&] (double fraction) { return kept[(size_t) ((double) (kept.size() - 1) * fraction + 0.5)]; };
    return loudness (at (kHighPercentile)) - loudness (at (kLowPercentile));
}
