#include "analysis/Clipping.h"

#include <cmath>

namespace tessaloom
{

namespace clipping
{
Scan::Scan (int numChannels) : state ((size_t) juce::jmax (0, numChannels))
{
}

void Scan::close (Channel& c) noexcept
{
    if (c.open >= kMinClippedRun)
    {
        ++c.runs;
        c.samples += c.open;
        c.longest = juce::jmax (c.longest, c.open);
    }
    c.open = 0;
    c.sign = 0;
}

void Scan::add (const float* const* channels, int numFrames)
{
    if (numFrames <= 0)
        return;
    for (size_t ch = 0; ch < state.size(); ++ch)
    {
        auto& c = state[ch];
        const float* x = channels[ch];
        for (int i = 0; i < numFrames; ++i)
        {
            const float v = x[i];
            const float magnitude = std::abs (v);
            if (! (magnitude <= c.peak * (1.0f + kClipLevelTolerance)) && std::isfinite (magnitude))
            {
                // A new peak: everything counted so far lay below the clip level.
                c = Channel {};
                c.peak = magnitude;
            }
            const int sign = v < 0.0f ? -1 : 1;
            if (atLevel (v, c.peak))
            {
                if (c.open > 0 && sign != c.sign)
                    close (c);
                c.sign = sign;
                ++c.open;
            }
            else if (c.open > 0)
                close (c);
        }
    }
    frames += numFrames;
}

ClippingMeasurement Scan::finish() const
{
    ClippingMeasurement m;
    for (auto c : state)
    {
        close (c);
        m.runs += c.runs;
        m.clippedSamples += c.samples;
        m.longestRun = juce::jmax (m.longestRun, c.longest);
        m.clipLevels.push_back (c.runs > 0 ? c.peak : 0.0f);
    }
    const auto total = (double) frames * (double) state.size();
    m.share = total > 0.0 ? (double) m.clippedSamples / total : 0.0;
    return m;
}
} // namespace clipping

} // namespace tessaloom
