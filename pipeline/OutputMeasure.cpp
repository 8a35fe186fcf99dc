#include "pipeline/OutputMeasure.h"

#include "analysis/AnalysisAccumulator.h"
#include "analysis/Loudness.h"
#include "analysis/PrecisionTruePeak.h"
#include "common/Levels.h"
#include "io/AudioFileIO.h"
#include "pipeline/Delivery.h"
#include "pipeline/Pass.h"

#include <cmath>

namespace tessaloom
{

namespace output_measure
{
OutputReadBack readBackOutput (const juce::File& output, bool withQuietest, const std::vector<double>& loudnessWeights)
{
    OutputReadBack back;
    std::unique_ptr<AudioFileSource> source;
    if (const auto opened = openAudioFile (output, source); ! opened.ok())
    {
        back.error = opened.message.isNotEmpty() ? opened.message : "Could not read the output back: " + output.getFullPathName();
        return back;
    }

    const int channels = source->numChannels();
    const double rate = source->sampleRate();
    AnalysisAccumulator accumulator (channels, rate);
    LoudnessRangeAccumulator range (channels, rate);
    OverviewTap overview (channels, rate);
    PrecisionTruePeakMeter truePeak (channels, rate);
    if (loudnessWeights.size() == (size_t) channels)
    {
        accumulator.setLoudnessChannelWeights (loudnessWeights);
        range.setChannelWeights (loudnessWeights);
    }
    std::optional<delivery::QuietestHalfSecond> quietest;
    if (withQuietest)
        quietest.emplace (channels, rate);
    pass::Pass p;
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n) { accumulator.add (block, n); },
               [&] (juce::AudioBuffer<float>& block, int n) { range.add (block.getArrayOfReadPointers(), n); },
               [&] (juce::AudioBuffer<float>& block, int n) { overview.add (block, n); },
               [&] (juce::AudioBuffer<float>& block, int n) { truePeak.add (block.getArrayOfReadPointers(), n); } };
    if (quietest)
        p.taps.push_back ([&] (juce::AudioBuffer<float>& block, int n) { quietest->add (block.getArrayOfReadPointers(), n); });
    if (! pass::run (*source, p))
    {
        back.error = readErrorMessage (output);
        return back;
    }

    const auto analysis = accumulator.finish();
    OutputMeasurement m;
    m.analysis = analysis.result;
    m.truePeakDbtp = truePeak.peakDbtp();
    m.numFrames = accumulator.numFrames();
    m.samplePeakDbfs = levelDbfs (analysis.measurements.crestFactor.samplePeakLinear);
    m.rmsDbfs = levelDbfs (analysis.measurements.crestFactor.rmsLinear);
    if (quietest)
        m.quietestHalfSecondDbfs = quietest->finishDbfs();
    m.loudnessRangeLu = range.finish();
    back.measurement = m;
    back.overview = overview.finish();
    return back;
}
} // namespace output_measure

} // namespace tessaloom
