#pragma once

#include "io/AudioFileIO.h"
#include "io/CodecFiles.h"
#include "pipeline/Chain.h"
#include "pipeline/Delivery.h"
#include "pipeline/DeliveryEncode.h"
#include "pipeline/PipelineConfig.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>
#include <optional>

namespace tessaloom
{

namespace output_sink
{
// The output file, written as the chain's last pass hands over its blocks. The
// writer is made with the first block (or at the end, for a file of no
// frames): a chain stopped by a check never touches the output. A lossy output
// of the loudness finish is first kept as float samples in the work folder and
// then encoded until its decoded peak meets the ceiling (pipeline/DeliveryEncode.h).
class OutputSink final : public ChainSink
{
public:
    // masterFile: where a lossy output of the loudness finish keeps its samples; none: it is encoded once.
    OutputSink (const juce::File& target, double rate, int channels, const PipelineConfig& config,
                const delivery::FinishAim& aim, const AudioTags& tags, const juce::File& masterFile);

    void write (const juce::AudioBuffer<float>& block, int numFrames) override;

    // Whether every sample written rounds to zero in the 16-bit file.
    bool silent() const { return peak < 0.5f / 32768.0f; }

    // Completes the output; empty on success, else the reason.
    juce::String finish();

    std::optional<EncodedDelivery> encoded;

private:
    bool open();
    juce::String encodeMaster();
    void encodedOnce();

    juce::File output;
    double sampleRate;
    int numChannels;
    const OutputFormat& format;
    const delivery::FinishAim aim;
    const AudioTags& tags;
    std::unique_ptr<AudioOutputWriter> writer;
    std::unique_ptr<FloatSpill> master;
    juce::String error;
    float peak = 0.0f;
};

// A searched lossy delivery's log lines: what the decoded file measured, and a
// warning when no try within the bound met the ceiling. None for an output
// encoded once or not encoded.
juce::StringArray encodeLines (const std::optional<EncodedDelivery>& encoded);
} // namespace output_sink

} // namespace tessaloom
