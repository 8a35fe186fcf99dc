#pragma once

// True peak: the largest magnitude of the signal upsampled 4x by the two
// half-band stages of juce::dsp::Oversampling at maximum quality, in that
// oversampler's arithmetic (see dsp/JuceArithmetic.h), as a stream that takes
// the recording in blocks of any length.

#include "analysis/Measurements.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <vector>

namespace tessaloom
{

namespace analysis_detail
{
// The 4x-oversampled peak of every channel. The polyphase IIR half-band
// filters read high (up to about 0.8 dB) on an abrupt high-frequency onset and
// on content close to the Nyquist frequency. Reads only its own state and the
// block, so other streams may run beside it on the same block.
class TruePeakStream
{
public:
    explicit TruePeakStream (int numChannels);
    ~TruePeakStream();

    void add (const float* const* channels, int numFrames);
    // The peak in dBTP, -144 for silence.
    TruePeakMeasurement finish() const;

    struct Group;

private:
    std::vector<std::unique_ptr<Group>> groups;
    juce::int64 position = 0;
};
} // namespace analysis_detail

} // namespace tessaloom
