#include "pipeline/FilePasses.h"

#include "analysis/AnalysisAccumulator.h"
#include "io/PcmRounding.h"
#include "pipeline/stages/Limiter.h"

#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessaloom
{

namespace file_passes
{
using pass::holding;

CheckedRead checkAndAnalyse (AudioBlockSource& source, OverviewTap* overview, const std::vector<pass::Tap>& further)
{
    CheckedRead checked;
    sample_checks::ChannelTallies tallies (source.numChannels());
    AnalysisAccumulator accumulator (source.numChannels(), source.sampleRate());
    pass::Pass p;
    p.steps = { { {}, &tallies } };
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n) { accumulator.add (block, n); } };
    if (overview != nullptr)
        p.taps.push_back ([overview] (juce::AudioBuffer<float>& block, int n) { overview->add (block, n); });
    p.taps.insert (p.taps.end(), further.begin(), further.end());
    checked.readWhole = pass::run (source, p);
    checked.tally = tallies.total();
    if (checked.readWhole)
        checked.analysis = accumulator.finish();
    return checked;
}

bool preFilter (AudioBlockSource& input, stages::BiquadCascade& filter, Wav16FileWriter& writer,
                stages::Declipper* declipper)
{
    side_by_side::KeptHelper helper;
    pass::Pass p;
    const pass::ChannelStep filtering { [&] (int c, float* samples, int n) { filter.processChannel (c, samples, n); } };
    if (declipper != nullptr)
    {
        // The clipped stretches are rebuilt from the samples as recorded, before any filter smears them.
        p.linked = pass::LinkedStep { [declipper] (float* const* samples, int n) { return declipper->process (samples, n); },
                                      [declipper] (float* const* samples) { return declipper->flush (samples); },
                                      declipper->latency() };
        p.afterLinked = { filtering };
    }
    else
        p.steps = { filtering };
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n) { writer.write (block, n); } };
    p.helper = &helper;
    return pass::run (input, p);
}

bool asReadBack (const float* samples, float* readBack, int numSamples, int bitsPerSample)
{
    // JUCE's writer rounds onto 32 bits and the file keeps the top bits (see
    // io/PcmRounding.h); its reader puts those at the top again, times
    // 1 / (2^31 - 1) in float.
    const int cut = 32 - bitsPerSample;
    const float scale = 1.0f / static_cast<float> (pcm_rounding::kHighest);
    int i = 0;
#if defined(__SSE2__)
    const __m128 scales = _mm_set1_ps (scale);
    const __m128i cuts = _mm_cvtsi32_si128 (cut);
    __m128 notFinite = _mm_setzero_ps();
    for (; i + 4 <= numSamples; i += 4)
    {
        const __m128 x = _mm_loadu_ps (samples + i);
        notFinite = pcm_rounding::markNotFinite (notFinite, x);
        const __m128i kept = _mm_sll_epi32 (_mm_sra_epi32 (pcm_rounding::toPcm32 (x), cuts), cuts);
        _mm_storeu_ps (readBack + i, _mm_mul_ps (_mm_cvtepi32_ps (kept), scales));
    }
    if (pcm_rounding::anyMarked (notFinite))
        return false;
#endif
    for (; i < numSamples; ++i)
    {
        if (! std::isfinite (samples[i]))
            return false;
        const auto kept = (int) ((uint32_t) (pcm_rounding::toPcm32 (samples[i]) >> cut) << cut);
        readBack[i] = (float) kept * scale;
    }
    return true;
}

bool preFilterAndCheck (AudioBlockSource& input, stages::BiquadCascade& filter, Wav16FileWriter& writer,
                        int bitsPerSample, std::optional<CheckedRead>& checked)
{
    checked.reset();
    const int channels = input.numChannels();
    side_by_side::KeptHelper helper;
    sample_checks::ChannelTallies tallies (channels);
    AnalysisAccumulator accumulator (channels, input.sampleRate());
    bool allFinite = true; // set by the steps, which go one block after another
    // Once the writer has a block, its samples become what the intermediate
    // gives back, and the check and analysis see those.
    const auto asWritten = [&] (float* samples, int n)
    {
        if (! asReadBack (samples, samples, n, bitsPerSample))
            allFinite = false;
    };
    const pass::Tap analyse = [&] (juce::AudioBuffer<float>& block, int n) { accumulator.add (block, n); };
    pass::Pass p;
    if (channels == 1)
    {
        // The filter, the writer and the conversion are the steps; the analysis,
        // the heaviest, is the tap, which runs beside the next block's steps.
        p.steps = { { [&] (int c, float* samples, int n)
                      {
                          filter.processChannel (c, samples, n);
                          float* const lone[] = { samples };
                          writer.write (juce::AudioBuffer<float> (lone, 1, n), n);
                          asWritten (samples, n);
                      },
                      &tallies } };
        p.taps = { analyse };
    }
    else
    {
        p.steps = { { [&] (int c, float* samples, int n) { filter.processChannel (c, samples, n); } } };
        p.taps = { [&] (juce::AudioBuffer<float>& block, int n)
                   {
                       writer.write (block, n);
                       for (int c = 0; c < channels; ++c)
                       {
                           asWritten (block.getWritePointer (c), n);
                           tallies.add (c, block.getReadPointer (c), n);
                       }
                   },
                   analyse };
    }
    p.helper = &helper;
    if (! pass::run (input, p))
        return false;
    if (allFinite)
    {
        checked.emplace();
        checked->tally = tallies.total();
        checked->analysis = accumulator.finish();
    }
    return true;
}

std::optional<Analysis> shape (AudioBlockSource& working, const std::vector<pass::ChannelStep>& steps,
                               FloatSpill& spill, side_by_side::KeptHelper& helper, const pass::Tap& further)
{
    AnalysisAccumulator analysis (working.numChannels(), working.sampleRate());
    pass::Pass p;
    p.steps = steps;
    p.taps = { [&] (juce::AudioBuffer<float>& block, int n) { analysis.add (block, n); },
               [&] (juce::AudioBuffer<float>& block, int n) { spill.append (block, n); } };
    if (further)
        p.taps.push_back (further);
    p.helper = &helper;
    if (! pass::run (working, p))
        return std::nullopt;
    return analysis.finish();
}

bool levelPass (const LevelStages& level, FloatSpill& spill, side_by_side::KeptHelper& helper,
                sample_checks::ChannelTallies* afterNormalization, sample_checks::ChannelTallies* afterLimiter,
                const pass::Tap& into)
{
    const int channels = spill.numChannels();
    pass::Pass p;
    p.steps.push_back ({ holding (std::make_shared<stages::Gain> (level.normalization ? level.normalization->factor : 1.0f)),
                         afterNormalization });
    if (level.limit)
    {
        p.steps.push_back ({ holding (std::make_shared<stages::Limiter> (stages::designLimiter ({}, spill.sampleRate()), channels)) });
        p.steps.push_back ({ holding (std::make_shared<stages::Gain> (level.trim ? level.trim->factor : 1.0f)) });
    }
    p.steps.push_back ({ {}, afterLimiter });
    p.taps = { into };
    p.helper = &helper;
    return pass::run (spill, p);
}

bool trimPass (const std::optional<stages::GainSetting>& trim, FloatSpill& spill, side_by_side::KeptHelper& helper,
               sample_checks::ChannelTallies* afterTrim, const pass::Tap& into)
{
    pass::Pass p;
    p.steps = { { holding (std::make_shared<stages::Gain> (trim ? trim->factor : 1.0f)), afterTrim } };
    p.taps = { into };
    p.helper = &helper;
    return pass::run (spill, p);
}

namespace
{
pass::LinkedStep linked (stages::TruePeakLimiter& limiter)
{
    return { [&limiter] (float* const* samples, int n) { return limiter.process (samples, n); },
             [&limiter] (float* const* samples) { return limiter.flush (samples); }, limiter.latency() };
}
} // namespace

std::optional<FinishPassResult> finishPass (const FinishStages& finish, FloatSpill& spill,
                                            side_by_side::KeptHelper& helper, const FinishPassOptions& options,
                                            const pass::Tap& into)
{
    std::optional<stages::TruePeakLimiter> limiter;
    if (finish.limiter)
        limiter.emplace (*finish.limiter, spill.numChannels());
    std::optional<stages::FinishLoudnessMeter> loudness;
    if (options.measureLoudness)
        loudness.emplace (spill.numChannels(), spill.sampleRate(), finish.loudnessWeights);
    const float driveDb = options.driveDb;
    pass::Pass p;
    p.steps = { { holding (std::make_shared<stages::Gain> (finish.normalization ? finish.normalization->factor : 1.0f)),
                  options.afterNormalization },
                { holding (std::make_shared<stages::Gain> (driveDb != 0.0f ? stages::gainSettingFor (driveDb).factor
                                                                           : 1.0f)) } };
    if (limiter)
        p.linked = linked (*limiter);
    p.afterLinked = { { holding (std::make_shared<stages::Gain> (options.gainFactor)) } };
    if (loudness)
        p.taps.push_back ([&loudness] (juce::AudioBuffer<float>& block, int n) { loudness->add (block.getArrayOfReadPointers(), n); });
    p.taps.push_back (into);
    p.helper = &helper;
    if (! pass::run (spill, p))
        return std::nullopt;
    FinishPassResult result;
    if (limiter)
        result.limiter = limiter->report();
    if (loudness)
        result.lufs = loudness->integratedLufs();
    return result;
}

std::optional<stages::FinishPass> measureFinish (const FinishStages& finish, FloatSpill& spill,
                                                 side_by_side::KeptHelper& helper, float driveDb,
                                                 sample_checks::ChannelTallies* afterNormalization)
{
    const auto measured = finishPass (finish, spill, helper, { driveDb, 1.0f, afterNormalization, true },
                                      [] (juce::AudioBuffer<float>&, int) {});
    if (! measured || ! spill.ok())
        return std::nullopt;
    stages::FinishPass pass;
    pass.driveDb = driveDb;
    pass.limiter = measured->limiter;
    pass.lufs = *measured->lufs;
    pass.outputPeak = pass.limiter.outputPeakEstimate;
    return pass;
}

bool copyPass (AudioBlockSource& working, const pass::Tap& into)
{
    pass::Pass p;
    p.taps = { into };
    return pass::run (working, p);
}
} // namespace file_passes

} // namespace tessaloom
