#include "pipeline/Chain.h"

#include "analysis/SpeechToPause.h"
#include "io/AudioFileIO.h"
#include "pipeline/ChainSteps.h"
#include "pipeline/FilePasses.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/stages/PauseDucker.h"

#include <algorithm>

// The chain's passes in order (pipeline/FilePasses.h has them all): the
// shaping pass into the spill, then the level passes over it into the sink.

namespace
{
using namespace file_passes;

// The background guard: passes of the shaping at most, how far above the
// input's speech-to-pause ratio the shaped samples must stay (the limiter after
// them takes a little off the speech's peaks), and the most the pauses are lowered.
constexpr int kBackgroundPasses = 3;
constexpr double kBackgroundMarginDb = 1.0;
constexpr float kMostDuckDb = 20.0f;

void log (const juce::StringArray& lines)
{
    for (const auto& line : lines)
        juce::Logger::writeToLog (line);
}

// Logs the check after a step: the error when it failed, else the peak report.
std::optional<ChainStop> check (const ChainStep& step, const sample_checks::Tally& tally, int numChannels)
{
    if (tally.nonFinite > 0)
        return ChainStop { step.checkLabel, sample_checks::saturatingCount (tally.nonFinite), {} };
    juce::Logger::writeToLog (stage_log::peakLine (step.reportLabel, sample_checks::peakLevelDbfs (tally.peak, numChannels)));
    return std::nullopt;
}

ChainStop readFailure (const juce::String& error)
{
    return ChainStop { {}, 0, error };
}

// Everything one chain run holds between its passes.
struct ChainRun
{
    const ChainInput& in;
    const StepContext& context;
    ChainSink& sink;
    FloatSpill spill;
    side_by_side::KeptHelper helper; // one second thread for every block of every pass
    int channels;

    std::optional<ChainStop> shapeAndCheck (std::optional<Analysis>& shaped);
    std::optional<ChainStop> levelAndTrim (const NormalizationDesign& normalization);
    std::optional<ChainStop> settleFinish (const FinishStages& finish, stages::LoudnessFinishReport& report, float& gainDb);
    std::optional<ChainStop> finishForDelivery (const NormalizationDesign& normalization);
};

// The shaping pass, then each step's header, lines and check in run order.
std::optional<ChainStop> ChainRun::shapeAndCheck (std::optional<Analysis>& shaped)
{
    struct Shaping
    {
        const ChainStep& step;
        PreparedStep prepared;
        sample_checks::ChannelTallies tallies;
    };
    std::vector<Shaping> steps;
    // With the background guard: the input's speech blocks, and how far its pauses are lowered.
    std::vector<bool> speech;
    if (in.background != nullptr)
        for (const auto kind : in.background->blocks)
            speech.push_back (kind == BlockKind::speech);
    float duckDb = 0.0f;
    for (int attempt = 0;; ++attempt)
    {
        steps.clear();
        steps.reserve (shapingSteps().size()); // the pass below holds pointers to the tallies
        std::vector<pass::ChannelStep> passSteps;
        for (const auto& s : shapingSteps())
        {
            const bool on = runs (s.step, in.config);
            steps.push_back ({ s.step, on ? s.prepare (context, bypassed (s.step, in.config)) : PreparedStep(),
                               sample_checks::ChannelTallies (channels) });
            passSteps.push_back ({ steps.back().prepared.process, &steps.back().tallies });
        }
        if (duckDb > 0.0f)
            passSteps.push_back ({ pass::holding (std::make_shared<stages::PauseDucker> (
                stages::designPauseDucker ({ speech, in.background->blockFrames, duckDb }, context.sampleRate), channels)) });

        std::optional<SpeechToPause> background;
        if (in.background != nullptr)
            background.emplace (in.background->blocks, in.background->blockFrames);
        shaped = shape (in.source, passSteps, spill, helper,
                        background ? [&] (juce::AudioBuffer<float>& block, int n)
                        { background->add (block.getArrayOfReadPointers(), block.getNumChannels(), n); }
                                   : pass::Tap());
        if (! shaped)
            return readFailure (readErrorMessage (in.sourceFile));
        if (! background)
            break;
        auto& findings = in.background->findings;
        const auto ratio = background->ratioDb();
        findings.outputSpeechToPauseDb = ratio;
        findings.backgroundShapePasses = attempt + 1;
        findings.backgroundDuckDb = duckDb;
        if (! ratio || ! spill.ok())
            break;
        findings.backgroundTried.push_back ({ duckDb, *ratio });
        const double shortfall = in.background->inputSpeechToPauseDb + kBackgroundMarginDb - *ratio;
        if (shortfall <= 0.0 || attempt + 1 >= kBackgroundPasses || duckDb >= kMostDuckDb)
            break;
        duckDb = juce::jmin (kMostDuckDb, duckDb + (float) shortfall);
        spill.restart();
    }
    if (spill.movedToMemory())
        juce::Logger::writeToLog (stage_log::spillInMemoryLine (in.spillFile, FloatSpill::memoryBoundBytes()));
    if (! spill.ok())
        return readFailure (spill.outcome().message);

    for (const auto& s : steps)
    {
        logHeader (s.step, in.config);
        log (s.prepared.lines);
        if (auto stop = check (s.step, s.tallies.total(), channels))
            return stop;
    }
    return std::nullopt;
}

// The peak limiter and output trim: a pass for the peak the trim is set from,
// then the last pass with the trim into the sink.
std::optional<ChainStop> ChainRun::levelAndTrim (const NormalizationDesign& normalization)
{
    LevelStages level { normalization.gain, runs (limiterStep, in.config), std::nullopt };
    sample_checks::ChannelTallies afterNormalization (channels), afterLimiter (channels);
    if (! levelPass (level, spill, helper, &afterNormalization, &afterLimiter, [] (juce::AudioBuffer<float>&, int) {})
        || ! spill.ok())
        return readFailure (spill.outcome().message);

    logHeader (normalizationStep, in.config);
    log (normalization.lines);
    if (auto stop = check (normalizationStep, afterNormalization.total(), channels))
        return stop;

    logHeader (limiterStep, in.config);
    const auto limited = afterLimiter.total();
    if (level.limit)
    {
        const auto trim = designTrim (context, limited.peak);
        level.trim = trim.trim;
        log (trim.lines);
    }
    if (limited.nonFinite > 0)
        return ChainStop { limiterStep.checkLabel, sample_checks::saturatingCount (limited.nonFinite), {} };

    sample_checks::ChannelTallies finished (channels);
    if (! levelPass (level, spill, helper, nullptr, &finished,
                     [this] (juce::AudioBuffer<float>& block, int n) { sink.write (block, n); })
        || ! spill.ok())
        return readFailure (spill.outcome().message);
    return check (limiterStep, finished.total(), channels);
}

// Measure, correct, measure again, until the loudness is settled.
std::optional<ChainStop> ChainRun::settleFinish (const FinishStages& finish, stages::LoudnessFinishReport& report,
                                                 float& gainDb)
{
    const stages::LoudnessFinishParameters finishParameters { in.config.targetLufs };
    report.toleranceLu = finishParameters.toleranceLu;
    gainDb = 0.0f;
    if (! finish.limiter || report.loudness != stages::LoudnessFinishReport::Loudness::corrected)
        return std::nullopt;
    for (;;)
    {
        const auto step = stages::nextFinishStep (finishParameters, finish.limiter->threshold, report.passes);
        if (step.settled)
        {
            gainDb = step.gainDb;
            return std::nullopt;
        }
        const auto next = measureFinish (finish, spill, helper, step.nextDriveDb, nullptr);
        if (! next)
            return readFailure (spill.outcome().message);
        report.passes.push_back (*next);
    }
}

stages::LoudnessFinishReport reportFor (const PipelineConfig& config, const NormalizationDesign& normalization)
{
    stages::LoudnessFinishReport report;
    report.targetLufs = config.targetLufs;
    report.ceilingDbtp = config.truePeakDbtp;
    if (! normalization.gain)
        report.loudness = normalization.parameters.bypassed ? stages::LoudnessFinishReport::Loudness::leftAlone
                                                            : stages::LoudnessFinishReport::Loudness::notMeasured;
    return report;
}

// The loudness finish: measuring passes until the loudness is settled, then the last pass into the sink.
std::optional<ChainStop> ChainRun::finishForDelivery (const NormalizationDesign& normalization)
{
    const auto& config = in.config;
    FinishStages finish { normalization.gain, std::nullopt, in.loudnessWeights };
    if (runs (loudnessFinishStep, config))
    {
        stages::TruePeakLimiterParameters limiterParameters;
        limiterParameters.ceilingDbtp = config.truePeakDbtp;
        finish.limiter = stages::designTruePeakLimiter (limiterParameters, spill.sampleRate());
    }

    auto report = reportFor (config, normalization);

    // The first pass also gives the peak after normalization, for its report.
    sample_checks::ChannelTallies afterNormalization (channels);
    const auto first = measureFinish (finish, spill, helper, 0.0f, &afterNormalization);
    if (! first)
        return readFailure (spill.outcome().message);
    report.passes.push_back (*first);

    logHeader (normalizationStep, config);
    log (normalization.lines);
    if (auto stop = check (normalizationStep, afterNormalization.total(), channels))
        return stop;

    float gainDb = 0.0f;
    if (auto stop = settleFinish (finish, report, gainDb))
        return stop;
    const auto& settledPass = report.passes.back();
    report.driveDb = settledPass.driveDb;
    report.limiter = settledPass.limiter;
    if (gainDb != 0.0f)
        report.gain = stages::gainSettingFor (gainDb);
    report.finalLufs = settledPass.lufs > kNotMeasuredLufs ? settledPass.lufs + gainDb : settledPass.lufs;

    logHeader (loudnessFinishStep, config);
    if (finish.limiter)
    {
        log (stage_log::linesFor (report));
        recordFinish (context, report, gainDb);
    }

    // The last pass: the settled drive and gain, into the sink.
    sample_checks::ChannelTallies finished (channels);
    const float gainFactor = report.gain ? report.gain->factor : 1.0f;
    if (! finishPass (finish, spill, helper, { report.driveDb, gainFactor },
                      [&] (juce::AudioBuffer<float>& block, int n)
                      {
                          for (int c = 0; c < channels; ++c)
                              finished.add (c, block.getReadPointer (c), n);
                          sink.write (block, n);
                      })
        || ! spill.ok())
        return readFailure (spill.outcome().message);
    return check (loudnessFinishStep, finished.total(), channels);
}
} // namespace

std::optional<ChainStop> runChain (const ChainInput& in, ChainSink& sink)
{
    ChainSettings unrecorded; // what the stages were set to, when the caller does not keep it
    ChainSettings& settings = in.settings != nullptr ? *in.settings : unrecorded;
    settings.ran = true;
    const int channels = in.source.numChannels();
    const double rate = in.source.sampleRate();
    const StepContext context { rate, channels, in.config, in.params, in.beforePreGain, settings };

    ChainRun run { in, context, sink, FloatSpill (in.spillFile, channels, rate), {}, channels };
    std::optional<Analysis> shaped;
    if (auto stop = run.shapeAndCheck (shaped))
        return stop;

    const auto normalization = designNormalization (context, *shaped);
    if (in.config.finish == Finish::loudness)
        return run.finishForDelivery (normalization);
    return run.levelAndTrim (normalization);
}
