#include "analysis/AnalysisKernels.h"

#include <optional>

namespace kernels = analysis_detail::kernels;
using analysis_detail::ChannelPass;
using analysis_detail::LevelScan;
using analysis_detail::LoudnessBlocks;

namespace
{
// Samples per run buffer: K-weighted samples wait here for the gating sums.
constexpr int kRunSamples = 4096;

struct ChannelState
{
    std::vector<double>& gatingSums; // this channel's sums, one per gating block
    std::vector<float>& run;         // K-weighted samples of the current run
    LevelScan& scan;
    std::optional<kernels::SibilanceBand> band;
    double sibilanceSum;
};

inline void bandOnly (const float* x, int n, ChannelState& st) noexcept
{
    if (! st.band)
        return;
    auto band = *st.band;
    double s = st.sibilanceSum;
    for (int i = 0; i < n; ++i)
    {
        const double y = band.process (x[i]);
        s += y * y;
    }
    *st.band = band;
    st.sibilanceSum = s;
}

// The K-weighting and the sibilance band run as two loops over the same run
// of samples (still in the first-level cache): fused into one loop, their
// twenty-odd coefficients and states no longer fit the registers and it is slower.
template <typename Weighting>
inline void weightAndBand (Weighting& weighting, const float* x, int n, ChannelState& st) noexcept
{
    weighting.run (x, st.run.data(), n);
    bandOnly (x, n, st);
}

template <typename Weighting>
void passChannel (Weighting weighting, const float* x, int numSamples, const LoudnessBlocks& blocks, ChannelState& st)
{
    int done = 0;

    // Over the gating blocks: every measurement of the pass.
    kernels::forEachBlockRun (blocks, [&] (int from, int to, int firstOpen, int openCount)
    {
        for (int pos = from; pos < to; pos += kRunSamples)
        {
            const int n = std::min (kRunSamples, to - pos);
            weightAndBand (weighting, x + pos, n, st);
            kernels::addSquares (st.run.data(), n, st.gatingSums.data() + firstOpen, openCount);
            kernels::scanRange<true> (x, pos, pos + n, st.scan);
        }
        done = to;
    });

    // After the last gating block (or in a buffer too short for one): the rest.
    for (int pos = done; pos < numSamples; pos += kRunSamples)
    {
        const int n = std::min (kRunSamples, numSamples - pos);
        bandOnly (x + pos, n, st);
        kernels::scanRange<true> (x, pos, pos + n, st.scan);
    }
}
} // namespace

ChannelPass analysis_detail::runChannelPass (const juce::AudioBuffer<float>& buffer, double sampleRate, int voiceBlockSize)
{
    const int numSamples = buffer.getNumSamples();
    const auto blocks = loudnessBlocksFor (numSamples, sampleRate);

    ChannelPass pass;
    pass.scan = makeLevelScan (numSamples, voiceBlockSize);
    pass.sibilance.measurable = kernels::sibilanceMeasurable (sampleRate);
    pass.loudnessBlockPower.assign ((size_t) blocks.numBlocks, 0.0);

    std::vector<double> gatingSums ((size_t) blocks.numBlocks);
    std::vector<float> run ((size_t) kRunSamples);

    const bool fixed = kernels::usesFixedKWeighting (sampleRate);
    kernels::BiquadPairCoefficients designed, band;
    if (! fixed)
        designed = kernels::designKWeighting (sampleRate);
    if (pass.sibilance.measurable)
        band = kernels::designSibilanceBand (sampleRate);

    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        std::fill (gatingSums.begin(), gatingSums.end(), 0.0);
        ChannelState st { gatingSums, run, pass.scan, std::nullopt, pass.sibilance.sum };
        if (pass.sibilance.measurable)
            st.band.emplace (band); // fresh filters for every channel

        const float* x = buffer.getReadPointer (ch);
        if (fixed)
            passChannel (kernels::makeFixedKWeighting(), x, numSamples, blocks, st);
        else
            passChannel (kernels::makeDesignedKWeighting (designed), x, numSamples, blocks, st);

        kernels::addChannelPowers (pass.loudnessBlockPower, gatingSums, blocks.blockSize);
        if (pass.sibilance.measurable)
        {
            pass.sibilance.sum = st.sibilanceSum;
            pass.sibilance.count += numSamples;
        }
    }
    return pass;
}
