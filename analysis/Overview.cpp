#include "analysis/Overview.h"

#include "analysis/Loudness.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace tessaloom
{

namespace
{
constexpr int kHopsPerWindow = 30;         // 3 s short-term windows of 100 ms pieces
constexpr int kHopsPerPoint = 10;          // one point a second, until the recording is too long for that
constexpr double kFirstColumnSeconds = 0.05;

// Halves a full list: a long recording gets coarser points, never more of them.
template <typename Merge>
void halve (std::vector<float>& values, Merge merge)
{
    const size_t half = values.size() / 2;
    for (size_t i = 0; i < half; ++i)
        values[i] = merge (values[2 * i], values[2 * i + 1]);
    values.resize (half);
}
} // namespace

struct OverviewTap::State
{
    State (int channels, double rate, int points)
        : numChannels (std::max (0, channels)), sampleRate (rate), maxPoints (std::max (2, points & ~1)),
          hops (numChannels, rate, analysis_detail::loudnessHopBlocks (rate)),
          framesPerColumn (std::max<juce::int64> (1, (juce::int64) std::lround (rate * kFirstColumnSeconds)))
    {
    }

    void addHop (double power)
    {
        recent[(size_t) (hopsSeen % kHopsPerWindow)] = power;
        ++hopsSeen;
        if (hopsSeen % hopsPerPoint != 0)
            return;

        const int inWindow = (int) std::min<juce::int64> (hopsSeen, kHopsPerWindow);
        double sum = 0.0;
        for (int i = 0; i < inWindow; ++i)
            sum += recent[(size_t) i];
        const double mean = sum / inWindow;
        const double lufs = mean > 0.0 ? 10.0 * std::log10 (mean) + analysis_detail::kLoudnessOffsetLu : (double) kFloorLufs;
        overview.shortTermLufs.push_back ((float) std::max (lufs, (double) kFloorLufs));

        // Keeps the points at every other step: those of the doubled step.
        if ((int) overview.shortTermLufs.size() == maxPoints)
        {
            auto& v = overview.shortTermLufs;
            for (size_t i = 0; i < v.size() / 2; ++i)
                v[i] = v[2 * i + 1];
            v.resize (v.size() / 2);
            hopsPerPoint *= 2;
        }
    }

    void addSamples (const float* const* channels, int numFrames)
    {
        for (int i = 0; i < numFrames;)
        {
            const int take = (int) std::min<juce::int64> (numFrames - i, framesPerColumn - inColumn);
            for (int c = 0; c < numChannels; ++c)
            {
                const auto range = juce::FloatVectorOperations::findMinAndMax (channels[c] + i, take);
                columnMin = std::min (columnMin, range.getStart());
                columnMax = std::max (columnMax, range.getEnd());
            }
            inColumn += take;
            i += take;
            if (inColumn == framesPerColumn)
                closeColumn();
        }
    }

    void closeColumn()
    {
        overview.waveformMin.push_back (columnMin);
        overview.waveformMax.push_back (columnMax);
        columnMin = std::numeric_limits<float>::max();
        columnMax = std::numeric_limits<float>::lowest();
        inColumn = 0;
        if ((int) overview.waveformMin.size() == maxPoints)
        {
            halve (overview.waveformMin, [] (float a, float b) { return std::min (a, b); });
            halve (overview.waveformMax, [] (float a, float b) { return std::max (a, b); });
            framesPerColumn *= 2;
        }
    }

    const int numChannels;
    const double sampleRate;
    const int maxPoints;
    analysis_detail::LoudnessStream hops;
    std::array<double, kHopsPerWindow> recent {};
    juce::int64 hopsSeen = 0;
    int hopsPerPoint = kHopsPerPoint;

    juce::int64 framesPerColumn;
    juce::int64 inColumn = 0;
    float columnMin = std::numeric_limits<float>::max();
    float columnMax = std::numeric_limits<float>::lowest();

    SignalOverview overview;
};

OverviewTap::OverviewTap (int numChannels, double sampleRate, int maxPoints)
    : state (std::make_unique<State> (numChannels, sampleRate, maxPoints))
{
}

OverviewTap::~OverviewTap() = default;

void OverviewTap::add (const float* const* channels, int numFrames)
{
    auto& s = *state;
    if (numFrames <= 0 || s.numChannels == 0)
        return;
    s.hops.add (channels, numFrames);
    for (const double power : s.hops.blockPowers())
        s.addHop (power);
    s.hops.dropBlockPowers();
    s.addSamples (channels, numFrames);
}

SignalOverview OverviewTap::finish()
{
    auto& s = *state;
    const double rate = s.sampleRate > 0.0 ? s.sampleRate : 1.0;
    // The waveform's step is that of its full columns; the last one may be shorter.
    s.overview.waveformStepSeconds = (double) s.framesPerColumn / rate;
    if (s.inColumn > 0)
    {
        s.overview.waveformMin.push_back (s.columnMin);
        s.overview.waveformMax.push_back (s.columnMax);
        s.inColumn = 0;
    }
    s.overview.shortTermStepSeconds = s.hopsPerPoint * analysis_detail::kLoudnessHopSeconds;
    return std::move (s.overview);
}

} // namespace tessaloom
