#include "pipeline/OutputSink.h"

#include "common/Levels.h"
#include "pipeline/SampleChecks.h"

namespace tessaloom
{

namespace output_sink
{
OutputSink::OutputSink (const juce::File& target, double rate, int channels, const PipelineConfig& config,
                        const delivery::FinishAim& finishAim, const AudioTags& t, const juce::File& masterFile)
    : output (target), sampleRate (rate), numChannels (channels), format (config.outputFormat), aim (finishAim),
      tags (t)
{
    if (format.isLossy() && config.finish == Finish::loudness && masterFile != juce::File())
        master = std::make_unique<FloatSpill> (masterFile, channels, rate);
}

void OutputSink::write (const juce::AudioBuffer<float>& block, int numFrames)
{
    for (int ch = 0; ch < block.getNumChannels(); ++ch)
        peak = juce::jmax (peak, sample_checks::peakMagnitude (block.getReadPointer (ch), numFrames));
    if (master != nullptr)
        master->append (block, numFrames);
    else if (open())
        writer->write (block, numFrames);
}

juce::String OutputSink::finish()
{
    if (master != nullptr)
        return encodeMaster();
    if (! open())
        return error;
    const auto message = writer->finish (in_flight_files::Target::staysInFlight).message;
    if (message.isEmpty() && format.isLossy())
        encodedOnce();
    return message;
}

juce::String OutputSink::encodeMaster()
{
    if (const auto spilled = master->outcome(); ! spilled.ok())
        return spilled.message;
    EncodedDelivery delivered;
    const auto done = delivery_encode::deliver (*master, output, format, tags, aim.ceilingDbtp, aim.targetLufs, delivered);
    if (done.ok())
        encoded = delivered;
    return done.message;
}

// Encoded once, as the peak-trim finish has no ceiling to keep on the decoded file.
void OutputSink::encodedOnce()
{
    EncodedDelivery once;
    once.format = format;
    if (once.format.bitrateKbps <= 0)
        once.format.bitrateKbps = defaultBitrateKbps (once.format.codec);
    once.encodes = 1;
    once.decodedLufs = once.decodedTruePeakDbtp = kNotMeasuredLufs;
    once.ceilingMet = true;
    encoded = once;
}

bool OutputSink::open()
{
    if (writer == nullptr && error.isEmpty())
        error = createOutputWriter (output, format, sampleRate, numChannels, tags, writer).message;
    return writer != nullptr;
}

juce::StringArray encodeLines (const std::optional<EncodedDelivery>& encoded)
{
    juce::StringArray lines;
    if (! encoded || encoded->decodedTruePeakDbtp <= kNotMeasuredLufs)
        return lines;
    const auto& e = *encoded;
    lines.add ("[AudioPipeline] Delivered " + codecName (e.format.codec).toUpperCase() + " " + juce::String (e.format.bitrateKbps)
               + " kbps: " + juce::String (e.encodes) + " encode" + (e.encodes == 1 ? "" : "s") + ", limiter "
               + juce::String (e.limiterLoweringDb, 2) + " dB under the ceiling"
               + (e.cutWindows > 0 ? ", cut up to " + juce::String (e.deepestCutDb, 2) + " dB in " + juce::String (e.cutWindows)
                                         + " window" + (e.cutWindows == 1 ? "" : "s")
                                   : juce::String())
               + ", costing " + juce::String (e.correctionCostLu, 2) + " LU, gain " + juce::String (e.gainDb, 2)
               + " dB, decoded " + juce::String (e.decodedLufs, 2) + " LUFS, " + juce::String (e.decodedTruePeakDbtp, 2)
               + " dBTP");
    if (! e.ceilingMet)
        lines.add ("[AudioPipeline] WARNING: the decoded file's true peak is over the ceiling of "
                   + juce::String (e.ceilingDbtp, 1) + " dBTP after " + juce::String (e.encodes) + " encodes");
    return lines;
}
} // namespace output_sink

} // namespace tessaloom
