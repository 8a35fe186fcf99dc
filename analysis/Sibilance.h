#pragma once

// Sibilance: the RMS of the 5 to 8 kHz band over all channels, through a
// second-order high-pass and low-pass (dsp/Biquad.h's section, JUCE's
// arithmetic), as a stream that takes the recording in blocks of any length.

#include "analysis/Measurements.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <vector>

namespace tessaloom
{

namespace analysis_detail
{
// The band's sum of squares, each channel's in sample order and the channels'
// sums added in channel order at the end; 0 and -144 below a 17 kHz sample
// rate. Reads only its own state and the block, so other streams may run
// beside it on the same block.
class SibilanceStream
{
public:
    SibilanceStream (int numChannels, double sampleRate);
    ~SibilanceStream();

    void add (const float* const* channels, int numFrames);
    // Adds channel c only; the channels are independent until finish.
    void addChannel (int c, const float* samples, int numFrames);
    void countFrames (int numFrames) noexcept { frames += numFrames; }
    SibilanceMeasurement finish() const;

private:
    struct Band;
    bool measurable = false;
    // One filter and running sum per channel, each in its own allocation, so
    // that channels filtered on different threads write apart.
    std::vector<std::unique_ptr<Band>> bands;
    juce::int64 frames = 0;
};
} // namespace analysis_detail

} // namespace tessaloom
