#include "pipeline/CheckMeasure.h"

#include "analysis/Loudness.h"
#include "analysis/PrecisionTruePeak.h"
#include "common/Levels.h"
#include "io/AudioFileIO.h"
#include "pipeline/Delivery.h"
#include "pipeline/Pass.h"

#include <cmath>

namespace tessaloom
{

namespace check_measure
{
namespace
{
// Every meter a check reads, fed block by block.
struct CheckMeters
{
    CheckMeters (int numChannels, double rate)
        : channels (numChannels), sampleRate (rate), loudness (numChannels, rate), truePeak (numChannels, rate),
          quietest (numChannels, rate)
    {
    }

    void add (const float* const* data, int n)
    {
        loudness.add (data, n);
        truePeak.add (data, n);
        quietest.add (data, n);
        for (int c = 0; c < channels; ++c)
        {
            const float* x = data[c];
            float top = 0.0f;
            double sum = 0.0;
            for (int i = 0; i < n; ++i)
            {
                top = std::max (top, std::abs (x[i]));
                sum += (double) x[i] * (double) x[i];
            }
            peak = std::max (peak, (double) top);
            sumSquares += sum;
        }
        frames += n;
    }

    OutputMeasurement finish()
    {
        const auto gated = analysis_detail::gateBlockPowers (loudness.blockPowers());
        OutputMeasurement m;
        auto& a = m.analysis;
        a.integratedLUFS = gated.integratedLufs;
        a.truePeakDBTP = truePeak.peakDbtp();
        a.sampleRate = sampleRate;
        a.numChannels = channels;
        a.numSamples = (int) frames;
        a.durationSeconds = sampleRate > 0.0 ? (double) frames / sampleRate : 0.0;
        m.truePeakDbtp = a.truePeakDBTP;
        m.numFrames = frames;
        m.samplePeakDbfs = levelDbfs (peak);
        m.rmsDbfs = levelDbfs (frames > 0 ? std::sqrt (sumSquares / ((double) frames * channels)) : 0.0);
        m.quietestHalfSecondDbfs = quietest.finishDbfs();
        return m;
    }

    int channels;
    double sampleRate;
    analysis_detail::LoudnessStream loudness;
    PrecisionTruePeakMeter truePeak;
    delivery::QuietestHalfSecond quietest;
    double peak = 0.0, sumSquares = 0.0;
    juce::int64 frames = 0;
};
} // namespace

CheckReading measureForChecks (const juce::File& file)
{
    CheckReading reading;
    std::unique_ptr<AudioFileSource> source;
    if (const auto opened = openAudioFile (file, source); ! opened.ok())
    {
        reading.error = opened.message.isNotEmpty() ? opened.message
                                                    : "Failed to read audio file (not a format the engine reads): "
                                                          + file.getFullPathName();
        return reading;
    }

    CheckMeters meters (source->numChannels(), source->sampleRate());
    pass::Pass p;
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n) { meters.add (block.getArrayOfReadPointers(), n); } };
    if (! pass::run (*source, p))
    {
        reading.error = readErrorMessage (file);
        return reading;
    }
    reading.measurement = meters.finish();
    return reading;
}
} // namespace check_measure

} // namespace tessaloom
