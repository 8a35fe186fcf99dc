#include "analysis/AnalysisAccumulator.h"
#include "analysis/LevelScan.h"
#include "analysis/Loudness.h"
#include "analysis/Sibilance.h"
#include "analysis/TiltAndHum.h"
#include "analysis/TruePeak.h"
#include "common/SideBySide.h"

#include <functional>

namespace tessaloom
{

namespace
{
constexpr double kVoiceBlockSeconds = 0.02; // 20 ms voice-activity blocks

// Below this many frames a block's pieces cost less than handing half of them
// to the helper thread and waiting for it.
constexpr int kMinSideBySideFrames = 8192;

// The result record of a set of measurements of numSamples frames per channel.
AnalysisResult resultOf (const AnalysisMeasurements& m, int numChannels, int numSamples, double sampleRate)
{
    AnalysisResult r;
    r.sampleRate = sampleRate;
    r.numChannels = numChannels;
    r.numSamples = numSamples;
    // A rate of 0 never reaches here; it would otherwise put an infinity into the JSON.
    r.durationSeconds = sampleRate > 0.0 ? (double) r.numSamples / sampleRate : 0.0;
    r.integratedLUFS = m.loudness.integratedLufs;
    r.truePeakDBTP = m.truePeak.truePeakDbtp;
    r.snrDB = m.snr.snrDb;
    r.noiseFloorDBFS = m.snr.noiseFloorDbfs;
    r.voicedPercent = m.snr.voicedPercent;
    r.spectralTiltDB = m.spectralTilt.slopeDbPerOctave;
    r.sibilanceRMS = m.sibilance.rmsLinear;
    r.sibilanceDBFS = m.sibilance.levelDbfs;
    r.crestFactorDB = m.crestFactor.crestDb;
    r.hasGridHum = m.gridHum.detected;
    return r;
}
} // namespace

struct AnalysisAccumulator::State
{
    State (int channels, double rate)
        : numChannels (std::max (0, channels)), sampleRate (rate),
          loudness (numChannels, rate), truePeak (numChannels), levels (numChannels, (int) (rate * kVoiceBlockSeconds), true),
          sibilance (numChannels, rate), start (numChannels, rate)
    {
    }

    const int numChannels;
    const double sampleRate;
    analysis_detail::LoudnessStream loudness;
    analysis_detail::TruePeakStream truePeak;
    analysis_detail::LevelStream levels;
    analysis_detail::SibilanceStream sibilance;
    analysis_detail::StartFrames start;
    juce::int64 frames = 0;
    side_by_side::KeptHelper helper; // last: stopped before the streams its pieces write go
};

AnalysisAccumulator::AnalysisAccumulator (int numChannels, double sampleRate)
    : state (std::make_unique<State> (numChannels, sampleRate))
{
}

AnalysisAccumulator::~AnalysisAccumulator() = default;

void AnalysisAccumulator::add (const juce::AudioBuffer<float>& block, int numFrames)
{
    jassert (block.getNumChannels() >= state->numChannels && numFrames <= block.getNumSamples());
    add (block.getArrayOfReadPointers(), numFrames);
}

void AnalysisAccumulator::add (const float* const* channels, int numFrames)
{
    if (numFrames <= 0)
        return;
    auto& s = *state;
    s.frames += numFrames;
    s.start.add (channels, numFrames);

    // The costliest first, so the two threads end close together. Each piece
    // writes only its own streams. The K-weighting and the sibilance band run
    // in one loop: both are chains of dependent operations that leave most of
    // the processor idle, so together they take little more time than either
    // alone (and about as long as the true peak's chain on the other thread).
    const auto piece = [&] (int i)
    {
        switch (i)
        {
            case 0: s.truePeak.add (channels, numFrames); break;
            case 1:
                s.loudness.add (channels, numFrames, s.sibilance);
                s.sibilance.countFrames (numFrames);
                break;
            default: s.levels.add (channels, numFrames); break;
        }
    };
    constexpr int numPieces = 3;
    if (numFrames < kMinSideBySideFrames)
        for (int i = 0; i < numPieces; ++i)
            piece (i);
    else
        s.helper.run (numPieces, piece);
}

Analysis AnalysisAccumulator::finish()
{
    auto& s = *state;
    Analysis a;
    auto& m = a.measurements;
    const auto numSamples = (int) s.frames;

    // The two FFT frames first, as the costliest of what is left.
    const auto piece = [&] (int i)
    {
        switch (i)
        {
            case 0: m.gridHum = s.start.gridHum(); break;
            case 1: m.spectralTilt = s.start.spectralTilt(); break;
            case 2:
            {
                const auto scan = s.levels.finish();
                m.voiceActivity = analysis_detail::voiceActivityFromScan (scan, s.numChannels);
                m.snr = analysis_detail::snrFromScan (scan, m.voiceActivity.voicedBlocks, s.numChannels);
                m.crestFactor = analysis_detail::crestFactorFromScan (scan, s.numChannels, numSamples);
                break;
            }
            default:
                m.loudness = analysis_detail::gateBlockPowers (s.loudness.blockPowers());
                m.truePeak = s.truePeak.finish();
                m.sibilance = s.sibilance.finish();
                break;
        }
    };
    constexpr int numPieces = 4;
    if (s.frames < kMinSideBySideFrames)
        for (int i = 0; i < numPieces; ++i)
            piece (i);
    else
        s.helper.run (numPieces, piece);

    a.result = resultOf (m, s.numChannels, numSamples, s.sampleRate);
    return a;
}

void AnalysisAccumulator::setLoudnessChannelWeights (std::vector<double> weights)
{
    state->loudness.setChannelWeights (std::move (weights));
}

juce::int64 AnalysisAccumulator::numFrames() const noexcept { return state->frames; }

size_t AnalysisAccumulator::sideDataBytes() const noexcept
{
    return state->loudness.heldBytes() + state->levels.heldBytes() + state->start.heldBytes();
}

} // namespace tessaloom
