#include "pipeline/Chain.h"

#include "analysis/AnalysisAccumulator.h"
#include "analysis/AnalysisLog.h"
#include "common/Levels.h"
#include "common/SideBySide.h"
#include "io/AudioFileIO.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/stages/LoudnessFinish.h"
#include "pipeline/stages/StageShape.h"

#include <functional>
#include <memory>

namespace
{
void log (const juce::String& message)
{
    juce::Logger::writeToLog (message);
}

void log (const juce::StringArray& lines)
{
    for (const auto& line : lines)
        log (line);
}

juce::StringArray logLinesOf (const Analysis& a)
{
    auto lines = analysis_log::openingLines (a.result);
    lines.addArray (analysis_log::measurementLines (a.measurements));
    lines.addArray (analysis_log::closingLines (a.result));
    return lines;
}

//==============================================================================
// A stage's processor behind one call per channel run.
using ChannelProcess = std::function<void (int channel, float* samples, int numSamples)>;

template <typename Processor>
ChannelProcess holding (std::shared_ptr<Processor> processor)
{
    return [processor] (int channel, float* samples, int n) { processor->processChannel (channel, samples, n); };
}

// What the chain knows when it designs its steps.
struct StepContext
{
    double sampleRate;
    int numChannels;
    const PipelineConfig& config;
    const AutoMapParameters& params;
    const Analysis& beforePreGain;
    ChainSettings* settings; // may be null
};

// A step designed for this file: its log lines after the header, and its processor (none: it changes nothing).
struct PreparedStep
{
    juce::StringArray lines;
    ChannelProcess process;
};

PreparedStep preGain (const StepContext& c, bool bypassed)
{
    const stages::PreGainParameters p { c.config.targetLufs, (float) c.beforePreGain.result.integratedLUFS, bypassed };
    const auto setting = stages::designPreGain (p);
    auto lines = logLinesOf (c.beforePreGain);
    lines.addArray (stage_log::linesFor (stages::PreGainReport { p.measuredLufs, setting }));
    if (c.settings != nullptr && setting)
        c.settings->preGainDb = setting->gainDb;
    return { lines, setting ? holding (std::make_shared<stages::Gain> (setting->factor)) : ChannelProcess() };
}

PreparedStep deEsser (const StepContext& c, bool)
{
    const auto design = stages::designDeEsser ({ AutoMap::deEsserThreshold (c.config.targetLufs, c.beforePreGain.result) },
                                               c.sampleRate);
    if (c.settings != nullptr)
        c.settings->deEsserThresholdDb = design.thresholdDb;
    return { stage_log::linesFor (stages::DeEsserReport { design.thresholdDb }),
             holding (std::make_shared<stages::DeEsser> (design, c.numChannels)) };
}

PreparedStep expander (const StepContext& c, bool)
{
    const float threshold = AutoMap::expanderThreshold (c.config.targetLufs, c.beforePreGain.result,
                                                        c.params.expanderThresholdDb,
                                                        c.config.bypasses (BypassStage::preGain));
    const auto design = stages::designExpander ({ threshold }, c.sampleRate);
    if (c.settings != nullptr)
    {
        c.settings->expanderThresholdDb = design.thresholdDb;
        c.settings->expanderRatio = design.ratio;
    }
    return { stage_log::linesFor (stages::ExpanderReport { design.thresholdDb, design.ratio }),
             holding (std::make_shared<stages::Expander> (design, c.numChannels)) };
}

PreparedStep vocalEq (const StepContext& c, bool)
{
    const stages::VocalEqParameters p { c.config.voiceType, c.params.airShelfDb, c.params.presenceDb, c.params.mudCutDb };
    if (c.settings != nullptr)
        c.settings->vocalEq = true;
    return { stage_log::linesFor (stages::describeVocalEq (p)),
             holding (std::make_shared<stages::BiquadCascade> (stages::designVocalEq (p, c.sampleRate), c.numChannels)) };
}

PreparedStep leveler (const StepContext& c, bool)
{
    if (c.settings != nullptr)
        c.settings->compressorRatio = c.params.reportedCompRatio;
    return { stage_log::linesFor (stages::LevelerReport {}),
             holding (std::make_shared<stages::Leveler> (stages::designLeveler ({}, c.sampleRate), c.numChannels)) };
}

PreparedStep saturation (const StepContext& c, bool)
{
    const stages::SaturationParameters p { c.params.saturationDriveDb };
    if (c.settings != nullptr)
        c.settings->saturationDriveDb = p.driveDb;
    return { stage_log::linesFor (stages::SaturationReport { p.driveDb }),
             holding (std::make_shared<stages::Saturation> (stages::designSaturation (p, c.sampleRate), c.numChannels)) };
}

//==============================================================================
// The chain as a table, in run order.

// Which command-line switch a step depends on.
enum class Switch { none, eq, compressor };

// What a bypass number does to its step.
enum class WhenBypassed
{
    skip,        // the step does not run (its header is printed only if `headerPrinted` says always)
    measureOnly  // the step runs its measurement, and applies no gain
};

// Whether the header line is printed when the step does not run.
enum class Header { always, whenItRuns };

struct ChainStep
{
    const char* header;      // "{target}" and "{voice}" are filled in
    Header headerPrinted;
    BypassStage bypass;
    WhenBypassed whenBypassed;
    Switch switchedBy;
    const char* checkLabel;  // names the step in a non-finite error
    const char* reportLabel; // names the step in the peak report
    PreparedStep (*prepare) (const StepContext&, bool bypassed); // none: the step is run by the chain's last passes
};

constexpr auto always = Header::always;
constexpr auto whenItRuns = Header::whenItRuns;
constexpr auto skip = WhenBypassed::skip;
constexpr auto measureOnly = WhenBypassed::measureOnly;

// The steps up to saturation shape the sound in one pass; normalization needs
// the loudness of all of it first, and the output trim the peak after the
// limiter, so those two run in passes of their own over the spilled samples.
// clang-format off
const ChainStep chain[] = {
    // header                                                         printed     bypass                       bypassed     switch              check                  report                        designed by
    { "Stage 1.6: Pre-Gain Leveling (Target: {target} LUFS)",         always,     BypassStage::preGain,        measureOnly, Switch::none,       "PreGain",             "PreGain",                    preGain },
    { "Stage 1.7: Dynamic De-esser",                                  always,     BypassStage::deEsser,        skip,        Switch::none,       "De-esser",            "De-esser",                   deEsser },
    { "Stage 1.8: Downward Expander",                                 always,     BypassStage::none,           skip,        Switch::none,       "Expander",            "Expander",                   expander },
    { "Stage 3: Corrective & Enhancement EQ ({voice})",               whenItRuns, BypassStage::vocalEq,        skip,        Switch::eq,         "Vocal EQ",            "Corrective/Enhancement EQ",  vocalEq },
    { "Stage 2: Opto-Style Serial Leveler",                           whenItRuns, BypassStage::leveler,        skip,        Switch::compressor, "Compressor",          "Compressor",                 leveler },
    { "Stage 4: Harmonic Saturation",                                 always,     BypassStage::saturation,     skip,        Switch::none,       "Saturation",          "Saturation",                 saturation },
    { "Stage 5: Broadcast Normalization (Target: {target} LUFS)",     always,     BypassStage::normalization,  measureOnly, Switch::none,       "Final Normalization", "Final Normalization",        nullptr },
    { "Stage 6: True Peak Limiter",                                   always,     BypassStage::limiter,        skip,        Switch::none,       "Limiter",             "Limiter & Output Trim",      nullptr },
};
// clang-format on
constexpr int kShapingSteps = 6;
const ChainStep& normalizationStep = chain[6];
const ChainStep& limiterStep = chain[7];

// Stage 6 when the run asks for the loudness finish instead of the peak trim:
// the same bypass number, its own header and report label.
const ChainStep loudnessFinishStep {
    "Stage 6: Delivery Finish (Target: {target} LUFS, Ceiling: {ceiling} dBTP)", always, BypassStage::limiter, skip,
    Switch::none, "Limiter", "Delivery Finish", nullptr
};

bool switchedOn (Switch s, const PipelineConfig& config)
{
    switch (s)
    {
        case Switch::eq:         return config.eq;
        case Switch::compressor: return config.compressor;
        case Switch::none:       break;
    }
    return true;
}

bool bypassed (const ChainStep& step, const PipelineConfig& config)
{
    return config.bypasses (step.bypass);
}

bool runs (const ChainStep& step, const PipelineConfig& config)
{
    return switchedOn (step.switchedBy, config) && ! (bypassed (step, config) && step.whenBypassed == skip);
}

void logHeader (const ChainStep& step, const PipelineConfig& config)
{
    if (runs (step, config) || step.headerPrinted == always)
        log ("[AudioPipeline] "
             + juce::String (step.header)
                   .replace ("{target}", juce::String (config.targetLufs, 1))
                   .replace ("{ceiling}", juce::String (config.truePeakDbtp, 1))
                   .replace ("{voice}", config.voiceType));
}

//==============================================================================
// The check after a step, over the whole file: non-finite samples and the peak.
struct Tally
{
    juce::int64 nonFinite = 0;
    float peak = 0.0f;

    void add (const float* samples, int n)
    {
        nonFinite += sample_checks::countNonFinite (samples, n);
        peak = juce::jmax (peak, sample_checks::peakMagnitude (samples, n));
    }

    void add (const Tally& other)
    {
        nonFinite += other.nonFinite;
        peak = juce::jmax (peak, other.peak);
    }
};

// Logs the check after a step: the error when it failed, else the peak report.
std::optional<ChainStop> check (const ChainStep& step, const Tally& tally, int numChannels)
{
    if (tally.nonFinite > 0)
        return ChainStop { step.checkLabel, sample_checks::saturatingCount (tally.nonFinite) };
    log (stage_log::peakLine (step.reportLabel, sample_checks::peakLevelDbfs (tally.peak, numChannels)));
    return std::nullopt;
}


//==============================================================================
// The passes.

struct ShapingStep
{
    const ChainStep& step;
    PreparedStep prepared;
    std::vector<Tally> tallies; // one per channel, added up after the pass
};

// Pass 1: every step up to saturation, block by block, each channel through all
// of them in turn; the result is analysed for normalization and spilled.
// Empty when the source could not be read to its end.
std::optional<Analysis> shape (const ChainInput& in, std::vector<ShapingStep>& steps, FloatSpill& spill,
                               side_by_side::KeptHelper& helper)
{
    const int channels = in.source.numChannels();
    AnalysisAccumulator analysis (channels, in.source.sampleRate());
    const bool readWhole = forEachBlock (in.source, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
    {
        // Taken once: getWritePointer marks the buffer, which the threads must not do together.
        float* const* channelSamples = block.getArrayOfWritePointers();
        stages::forEachChannel (helper, channels, [&] (int c)
        {
            float* samples = channelSamples[c];
            for (auto& s : steps)
            {
                if (s.prepared.process)
                    s.prepared.process (c, samples, n);
                s.tallies[(size_t) c].add (samples, n);
            }
        });
        analysis.add (block, n);
        spill.append (block, n);
    });
    if (! readWhole)
        return std::nullopt;
    return analysis.finish();
}

// The level stages over the spilled samples: the normalization gain, then the
// limiter when it runs, then (in the last pass) the trim. Each pass makes its
// processors anew, so the limiter starts from rest every time.
struct LevelStages
{
    std::optional<stages::GainSetting> normalization;
    bool limit = false;
    std::optional<stages::GainSetting> trim;
    double sampleRate = 0.0;
    int numChannels = 0;

    // Runs the block through them; afterNormalization and afterLimiter (may be null)
    // tally each channel after those stages. false when the spill could not be read back whole.
    bool forEachBlockOf (side_by_side::KeptHelper& helper, AudioBlockSource& spill,
                         const std::function<void (juce::AudioBuffer<float>&, int)>& visit,
                         std::vector<Tally>* afterNormalization, std::vector<Tally>* afterLimiter) const
    {
        stages::Gain gain (normalization ? normalization->factor : 1.0f);
        stages::Limiter limiter (stages::designLimiter ({}, sampleRate), numChannels);
        stages::Gain trimGain (trim ? trim->factor : 1.0f);
        return forEachBlock (spill, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
        {
            float* const* channelSamples = block.getArrayOfWritePointers(); // once, as in shape
            stages::forEachChannel (helper, numChannels, [&] (int c)
            {
                float* samples = channelSamples[c];
                gain.processChannel (c, samples, n);
                if (afterNormalization != nullptr)
                    (*afterNormalization)[(size_t) c].add (samples, n);
                if (limit)
                {
                    limiter.processChannel (c, samples, n);
                    trimGain.processChannel (c, samples, n);
                }
                if (afterLimiter != nullptr)
                    (*afterLimiter)[(size_t) c].add (samples, n);
            });
            visit (block, n);
        });
    }
};

Tally sumOf (const std::vector<Tally>& perChannel)
{
    Tally total;
    for (const auto& t : perChannel)
        total.add (t);
    return total;
}

//==============================================================================
// The loudness finish over the spilled samples: normalization, the gain the
// finish adds into the limiter, the true-peak limiter, and the gain after it.
struct FinishPasses
{
    const ChainInput& in;
    FloatSpill& spill;
    side_by_side::KeptHelper& helper;
    std::optional<stages::GainSetting> normalization;
    std::optional<stages::TruePeakLimiterDesign> limiter; // none: bypassed
    int numChannels = 0;

    // One pass; visit gets the finished frames in order, at the input's length.
    // afterNormalization (may be null) tallies each channel after normalization,
    // loudness (may be null) measures the finished frames. false when the spill
    // could not be read back whole.
    bool run (float driveDb, float gainFactor, std::vector<Tally>* afterNormalization,
              stages::FinishLoudnessMeter* loudness, stages::TruePeakLimiterReport* report,
              const std::function<void (juce::AudioBuffer<float>&, int)>& visit) const
    {
        const stages::Gain gain (normalization ? normalization->factor : 1.0f);
        const stages::Gain drive (driveDb != 0.0f ? stages::gainSettingFor (driveDb).factor : 1.0f);
        const stages::Gain after (gainFactor);
        std::optional<stages::TruePeakLimiter> limit;
        if (limiter)
            limit.emplace (*limiter, numChannels);

        const auto deliver = [&] (juce::AudioBuffer<float>& block, int n)
        {
            float* const* samples = block.getArrayOfWritePointers();
            for (int c = 0; c < numChannels; ++c)
                after.processChannel (c, samples[c], n);
            if (loudness != nullptr)
                loudness->add (samples, n);
            visit (block, n);
        };
        const bool readWhole = forEachBlock (spill, kChainBlockFrames, [&] (juce::AudioBuffer<float>& block, int n)
        {
            float* const* samples = block.getArrayOfWritePointers(); // once, as in shape
            stages::forEachChannel (helper, numChannels, [&] (int c)
            {
                gain.processChannel (c, samples[c], n);
                if (afterNormalization != nullptr)
                    (*afterNormalization)[(size_t) c].add (samples[c], n);
                drive.processChannel (c, samples[c], n);
            });
            // The limiter links the channels, so it takes the frames of all of them at once.
            const int finished = limit ? limit->process (samples, n) : n;
            if (finished > 0)
                deliver (block, finished);
        });
        if (! readWhole)
            return false;
        if (limit)
        {
            juce::AudioBuffer<float> tail (numChannels, limit->latency());
            if (const int rest = limit->flush (tail.getArrayOfWritePointers()); rest > 0)
                deliver (tail, rest);
            if (report != nullptr)
                *report = limit->report();
        }
        return true;
    }

    // A measuring pass: the loudness and the limiter's figures of what it would write.
    std::optional<stages::FinishPass> measure (float driveDb, std::vector<Tally>* afterNormalization) const
    {
        stages::FinishLoudnessMeter loudness (numChannels, spill.sampleRate());
        stages::FinishPass pass;
        pass.driveDb = driveDb;
        if (! run (driveDb, 1.0f, afterNormalization, &loudness, &pass.limiter, [] (juce::AudioBuffer<float>&, int) {})
            || ! spill.ok())
            return std::nullopt;
        pass.lufs = loudness.integratedLufs();
        pass.outputPeak = pass.limiter.outputPeakEstimate;
        return pass;
    }
};

std::optional<ChainStop> finishForDelivery (const ChainInput& in, FloatSpill& spill, side_by_side::KeptHelper& helper,
                                            const Analysis& shaped, const stages::NormalizationParameters& normalization,
                                            const std::optional<stages::GainSetting>& normalizationGain, ChainSink& sink)
{
    const auto& config = in.config;
    const int channels = spill.numChannels();
    const bool limit = runs (loudnessFinishStep, config);

    stages::TruePeakLimiterParameters limiterParameters;
    limiterParameters.ceilingDbtp = config.truePeakDbtp;
    FinishPasses passes { in, spill, helper, normalizationGain, std::nullopt, channels };
    if (limit)
        passes.limiter = stages::designTruePeakLimiter (limiterParameters, spill.sampleRate());

    stages::LoudnessFinishReport report;
    report.targetLufs = config.targetLufs;
    report.ceilingDbtp = config.truePeakDbtp;
    if (! normalizationGain)
        report.loudness = normalization.bypassed ? stages::LoudnessFinishReport::Loudness::leftAlone
                                                 : stages::LoudnessFinishReport::Loudness::notMeasured;

    // The first pass also gives the peak after normalization, for its report.
    std::vector<Tally> afterNormalization ((size_t) channels);
    const auto first = passes.measure (0.0f, &afterNormalization);
    if (! first)
        return ChainStop { {}, 0, spill.outcome().message };
    report.passes.push_back (*first);

    logHeader (normalizationStep, config);
    log (logLinesOf (shaped));
    log (stage_log::linesFor (stages::NormalizationReport { normalization.measuredLufs, normalization.targetLufs,
                                                            normalizationGain }));
    if (auto stop = check (normalizationStep, sumOf (afterNormalization), channels))
        return stop;

    // Measure, correct, measure again, until the loudness is settled.
    const stages::LoudnessFinishParameters finishParameters { config.targetLufs };
    report.toleranceLu = finishParameters.toleranceLu;
    float gainDb = 0.0f;
    if (limit && report.loudness == stages::LoudnessFinishReport::Loudness::corrected)
    {
        for (;;)
        {
            const auto step = stages::nextFinishStep (finishParameters, passes.limiter->threshold, report.passes);
            if (step.settled)
            {
                gainDb = step.gainDb;
                break;
            }
            const auto next = passes.measure (step.nextDriveDb, nullptr);
            if (! next)
                return ChainStop { {}, 0, spill.outcome().message };
            report.passes.push_back (*next);
        }
    }
    const auto& settledPass = report.passes.back();
    report.driveDb = settledPass.driveDb;
    report.limiter = settledPass.limiter;
    if (gainDb != 0.0f)
        report.gain = stages::gainSettingFor (gainDb);
    report.finalLufs = settledPass.lufs > kNotMeasuredLufs ? settledPass.lufs + gainDb : settledPass.lufs;

    logHeader (loudnessFinishStep, config);
    if (limit)
    {
        log (stage_log::linesFor (report));
        if (in.settings != nullptr)
        {
            auto& s = *in.settings;
            s.truePeakCeilingDbtp = config.truePeakDbtp;
            s.limiterMaxGainReductionDb = report.limiter.maxGainReductionDb;
            s.limiterMeanGainReductionDb = report.limiter.meanGainReductionDb;
            if (report.loudness == stages::LoudnessFinishReport::Loudness::corrected)
            {
                s.finishDriveDb = report.driveDb;
                s.finishGainDb = gainDb;
            }
            s.finishPasses = (int) report.passes.size();
        }
    }

    // The last pass: the settled drive and gain, into the sink.
    std::vector<Tally> finished ((size_t) channels);
    const float gainFactor = report.gain ? report.gain->factor : 1.0f;
    if (! passes.run (report.driveDb, gainFactor, nullptr, nullptr, nullptr, [&] (juce::AudioBuffer<float>& block, int n)
        {
            for (int c = 0; c < channels; ++c)
                finished[(size_t) c].add (block.getReadPointer (c), n);
            sink.write (block, n);
        })
        || ! spill.ok())
        return ChainStop { {}, 0, spill.outcome().message };
    return check (loudnessFinishStep, sumOf (finished), channels);
}
} // namespace

std::optional<ChainStop> runChain (const ChainInput& in, ChainSink& sink)
{
    const auto& config = in.config;
    const int channels = in.source.numChannels();
    const double rate = in.source.sampleRate();
    const StepContext context { rate, channels, config, in.params, in.beforePreGain, in.settings };
    if (in.settings != nullptr)
        in.settings->ran = true;

    std::vector<ShapingStep> steps;
    for (int i = 0; i < kShapingSteps; ++i)
    {
        const auto& step = chain[i];
        steps.push_back ({ step, runs (step, config) ? step.prepare (context, bypassed (step, config)) : PreparedStep(),
                           std::vector<Tally> ((size_t) channels) });
    }

    FloatSpill spill (in.spillFile, channels, rate);
    side_by_side::KeptHelper helper; // one second thread for every block of every pass
    const auto shapedOrNot = shape (in, steps, spill, helper);
    if (! shapedOrNot)
        return ChainStop { {}, 0, readErrorMessage (in.sourceFile) };
    const auto& shaped = *shapedOrNot;
    if (spill.movedToMemory())
        log (stage_log::spillInMemoryLine (in.spillFile, FloatSpill::memoryBoundBytes()));
    if (! spill.ok())
        return ChainStop { {}, 0, spill.outcome().message };

    for (const auto& s : steps)
    {
        logHeader (s.step, config);
        log (s.prepared.lines);
        if (auto stop = check (s.step, sumOf (s.tallies), channels))
            return stop;
    }

    // Normalization: measured even when bypassed, since the analyzer's report is part of the log.
    LevelStages level;
    level.sampleRate = rate;
    level.numChannels = channels;
    const stages::NormalizationParameters normalization { config.targetLufs, (float) shaped.result.integratedLUFS,
                                                         bypassed (normalizationStep, config) };
    level.normalization = stages::designNormalizationGain (normalization);
    level.limit = runs (limiterStep, config);
    if (in.settings != nullptr)
    {
        in.settings->normalizationMeasuredLufs = normalization.measuredLufs;
        if (level.normalization)
            in.settings->normalizationGainDb = level.normalization->gainDb;
    }

    if (config.finish == Finish::loudness)
        return finishForDelivery (in, spill, helper, shaped, normalization, level.normalization, sink);

    std::vector<Tally> afterNormalization ((size_t) channels), afterLimiter ((size_t) channels);
    if (! level.forEachBlockOf (helper, spill, [] (juce::AudioBuffer<float>&, int) {}, &afterNormalization, &afterLimiter)
        || ! spill.ok())
        return ChainStop { {}, 0, spill.outcome().message };

    logHeader (normalizationStep, config);
    log (logLinesOf (shaped));
    log (stage_log::linesFor (stages::NormalizationReport { normalization.measuredLufs, normalization.targetLufs,
                                                            level.normalization }));
    if (auto stop = check (normalizationStep, sumOf (afterNormalization), channels))
        return stop;

    logHeader (limiterStep, config);
    if (level.limit)
    {
        log (stage_log::linesFor (stages::LimiterReport { stages::LimiterParameters().ceilingDb }));
        level.trim = stages::designOutputTrim ({ sumOf (afterLimiter).peak });
        if (in.settings != nullptr)
        {
            in.settings->limiterCeilingDb = stages::LimiterParameters().ceilingDb;
            if (level.trim)
                in.settings->outputTrimDb = level.trim->gainDb;
        }
        log (stage_log::linesFor (stages::OutputTrimReport { level.trim }));
    }
    if (const auto limited = sumOf (afterLimiter); limited.nonFinite > 0)
        return ChainStop { limiterStep.checkLabel, sample_checks::saturatingCount (limited.nonFinite) };

    // The last pass: the same level stages with the trim, into the sink.
    std::vector<Tally> finished ((size_t) channels);
    if (! level.forEachBlockOf (helper, spill, [&] (juce::AudioBuffer<float>& block, int n) { sink.write (block, n); },
                                nullptr, &finished)
        || ! spill.ok())
        return ChainStop { {}, 0, spill.outcome().message };
    return check (limiterStep, sumOf (finished), channels);
}
