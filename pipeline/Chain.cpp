#include "pipeline/Chain.h"

#include "analysis/SpeechToPause.h"
#include "io/AudioFileIO.h"
#include "pipeline/FilePasses.h"
#include "pipeline/SampleChecks.h"
#include "pipeline/StageLog.h"
#include "pipeline/stages/PauseDucker.h"
#include "pipeline/steps/Steps.h"

#include <algorithm>

namespace tessaloom
{

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
std::optional<ChainStop> check (const steps::Row& row, const sample_checks::Tally& tally, int numChannels)
{
    if (tally.nonFinite > 0)
        return ChainStop { row.checkLabel, sample_checks::saturatingCount (tally.nonFinite), {} };
    juce::Logger::writeToLog (stage_log::peakLine (row.reportLabel, sample_checks::peakLevelDbfs (tally.peak, numChannels)));
    return std::nullopt;
}

ChainStop readFailure (const juce::String& error)
{
    return ChainStop { {}, 0, error };
}

// A shaping step as designed for this file, and the tallies of its check.
struct DesignedStep
{
    const steps::Row& row;
    steps::Prepared prepared;
    sample_checks::ChannelTallies tallies;
};

// Everything one chain run holds between its passes.
struct ChainRun
{
    const ChainInput& in;
    const steps::Context& context;
    ChainSettings& settings; // each step's record goes into its own place here
    ChainSink& sink;
    FloatSpill spill;
    side_by_side::KeptHelper helper; // one second thread for every block of every pass
    int channels;

    std::vector<pass::ChannelStep> designShaping (std::vector<DesignedStep>& designed, const std::vector<bool>& speech,
                                                  float duckDb);
    bool shapeAgain (SpeechToPause& background, int attempt, float& duckDb);
    std::optional<ChainStop> shapeAndCheck (std::optional<Analysis>& shaped);
    std::optional<ChainStop> levelAndTrim (const steps::NormalizationDesign& normalization);
    std::optional<ChainStop> settleFinish (const FinishStages& finish, stages::LoudnessFinishReport& report, float& gainDb);
    std::optional<ChainStop> finishForDelivery (const steps::NormalizationDesign& normalization);
};

// Designs the shaping steps that run (each records its settings) and, with
// the background guard lowering the pauses, the ducker after them.
std::vector<pass::ChannelStep> ChainRun::designShaping (std::vector<DesignedStep>& designed,
                                                        const std::vector<bool>& speech, float duckDb)
{
    designed.clear();
    designed.reserve (steps::shapingSteps().size()); // the pass holds pointers to the tallies
    std::vector<pass::ChannelStep> passSteps;
    for (const auto& s : steps::shapingSteps())
    {
        const bool on = steps::runs (s.row, in.config);
        designed.push_back ({ s.row, on ? s.prepare (context, steps::bypassed (s.row, in.config), settings) : steps::Prepared(),
                              sample_checks::ChannelTallies (channels) });
        passSteps.push_back ({ designed.back().prepared.process, &designed.back().tallies });
    }
    if (duckDb > 0.0f)
        passSteps.push_back ({ pass::holding (std::make_shared<stages::PauseDucker> (
            stages::designPauseDucker ({ speech, in.background->blockFrames, duckDb }, context.sampleRate), channels)) });
    return passSteps;
}

// The background guard after a shaping pass: records the ratio it gave, and
// says whether to shape again with the pauses lowered further (duckDb).
bool ChainRun::shapeAgain (SpeechToPause& background, int attempt, float& duckDb)
{
    auto& findings = in.background->findings;
    const auto ratio = background.ratioDb();
    findings.outputSpeechToPauseDb = ratio;
    findings.backgroundShapePasses = attempt + 1;
    findings.backgroundDuckDb = duckDb;
    if (! ratio || ! spill.ok())
        return false;
    findings.backgroundTried.push_back ({ duckDb, *ratio });
    const double shortfall = in.background->inputSpeechToPauseDb + kBackgroundMarginDb - *ratio;
    if (shortfall <= 0.0 || attempt + 1 >= kBackgroundPasses || duckDb >= kMostDuckDb)
        return false;
    duckDb = juce::jmin (kMostDuckDb, duckDb + (float) shortfall);
    return true;
}

// The shaping pass (again, while the background guard asks), then each step's
// header, lines and check in run order.
std::optional<ChainStop> ChainRun::shapeAndCheck (std::optional<Analysis>& shaped)
{
    std::vector<DesignedStep> designed;
    std::vector<bool> speech; // with the background guard: the input's speech blocks
    if (in.background != nullptr)
        for (const auto kind : in.background->blocks)
            speech.push_back (kind == BlockKind::speech);
    float duckDb = 0.0f; // how far the guard lowers the pauses
    for (int attempt = 0;; ++attempt)
    {
        const auto passSteps = designShaping (designed, speech, duckDb);
        std::optional<SpeechToPause> background;
        if (in.background != nullptr)
            background.emplace (in.background->blocks, in.background->blockFrames);
        shaped = shape (in.source, passSteps, spill, helper,
                        background ? [&] (juce::AudioBuffer<float>& block, int n)
                        { background->add (block.getArrayOfReadPointers(), block.getNumChannels(), n); }
                                   : pass::Tap());
        if (! shaped)
            return readFailure (readErrorMessage (in.sourceFile));
        if (! background || ! shapeAgain (*background, attempt, duckDb))
            break;
        spill.restart();
    }
    if (spill.movedToMemory())
        juce::Logger::writeToLog (stage_log::spillInMemoryLine (in.spillFile, FloatSpill::memoryBoundBytes()));
    if (! spill.ok())
        return readFailure (spill.outcome().message);

    for (const auto& s : designed)
    {
        steps::logHeader (s.row, in.config);
        log (s.prepared.lines);
        if (auto stop = check (s.row, s.tallies.total(), channels))
            return stop;
    }
    return std::nullopt;
}

// The peak limiter and output trim: a pass for the peak the trim is set from,
// then the last pass with the trim into the sink. The first pass writes the
// limited samples back over the spill, so the last one only trims them.
std::optional<ChainStop> ChainRun::levelAndTrim (const steps::NormalizationDesign& normalization)
{
    LevelStages level { normalization.gain, steps::runs (steps::limiter, in.config), std::nullopt };
    sample_checks::ChannelTallies afterNormalization (channels), afterLimiter (channels);
    if (level.limit)
        spill.beginRewrite();
    const auto keep = level.limit ? pass::Tap ([this] (juce::AudioBuffer<float>& block, int n) { spill.rewrite (block, n); })
                                  : pass::Tap ([] (juce::AudioBuffer<float>&, int) {});
    if (! levelPass (level, spill, helper, &afterNormalization, &afterLimiter, keep) || ! spill.ok())
        return readFailure (spill.outcome().message);
    // A rewrite that could not be kept fails where the last pass would read it.
    const bool kept = ! level.limit || spill.endRewrite();

    steps::logHeader (steps::normalization, in.config);
    log (normalization.lines);
    if (auto stop = check (steps::normalization, afterNormalization.total(), channels))
        return stop;

    steps::logHeader (steps::limiter, in.config);
    const auto limited = afterLimiter.total();
    if (level.limit)
    {
        const auto trim = steps::designTrim (limited.peak);
        level.trim = trim.trim;
        settings.limiter = trim.settings;
        log (trim.lines);
    }
    if (limited.nonFinite > 0)
        return ChainStop { steps::limiter.checkLabel, sample_checks::saturatingCount (limited.nonFinite), {} };
    if (! kept)
        return readFailure (spill.outcome().message);

    sample_checks::ChannelTallies finished (channels);
    const auto intoSink = [this] (juce::AudioBuffer<float>& block, int n) { sink.write (block, n); };
    if (! (level.limit ? trimPass (level.trim, spill, helper, &finished, intoSink)
                       : levelPass (level, spill, helper, nullptr, &finished, intoSink))
        || ! spill.ok())
        return readFailure (spill.outcome().message);
    return check (steps::limiter, finished.total(), channels);
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

// The settled pass's drive, limiter and loudness, with the final gain, in the finish's report.
void settle (stages::LoudnessFinishReport& report, float gainDb)
{
    const auto& settledPass = report.passes.back();
    report.driveDb = settledPass.driveDb;
    report.limiter = settledPass.limiter;
    if (gainDb != 0.0f)
        report.gain = stages::gainSettingFor (gainDb);
    report.finalLufs = settledPass.lufs > kNotMeasuredLufs ? settledPass.lufs + gainDb : settledPass.lufs;
}

// The loudness finish: measuring passes until the loudness is settled, then the last pass into the sink.
std::optional<ChainStop> ChainRun::finishForDelivery (const steps::NormalizationDesign& normalization)
{
    const auto& config = in.config;
    const FinishStages finish { normalization.gain, steps::designFinishLimiter (config, spill.sampleRate()),
                                in.loudnessWeights };
    auto report = steps::startFinishReport (config, normalization);

    // The first pass also gives the peak after normalization, for its report.
    sample_checks::ChannelTallies afterNormalization (channels);
    const auto first = measureFinish (finish, spill, helper, 0.0f, &afterNormalization);
    if (! first)
        return readFailure (spill.outcome().message);
    report.passes.push_back (*first);

    steps::logHeader (steps::normalization, config);
    log (normalization.lines);
    if (auto stop = check (steps::normalization, afterNormalization.total(), channels))
        return stop;

    float gainDb = 0.0f;
    if (auto stop = settleFinish (finish, report, gainDb))
        return stop;
    settle (report, gainDb);

    steps::logHeader (steps::loudnessFinish, config);
    if (finish.limiter)
    {
        log (steps::linesFor (report));
        settings.loudnessFinish = steps::finishSettings (config, report, gainDb);
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
    return check (steps::loudnessFinish, finished.total(), channels);
}
} // namespace

std::optional<ChainStop> runChain (const ChainInput& in, ChainSink& sink)
{
    ChainSettings unrecorded; // what the stages were set to, when the caller does not keep it
    ChainSettings& settings = in.settings != nullptr ? *in.settings : unrecorded;
    settings.ran = true;
    const int channels = in.source.numChannels();
    const double rate = in.source.sampleRate();
    const steps::Context context { rate, channels, in.config, in.params, in.beforePreGain };

    ChainRun run { in, context, settings, sink, FloatSpill (in.spillFile, channels, rate), {}, channels };
    std::optional<Analysis> shaped;
    if (auto stop = run.shapeAndCheck (shaped))
        return stop;

    const auto normalization = steps::designNormalization (context, *shaped);
    settings.normalization = normalization.settings;
    if (in.config.finish == Finish::loudness)
        return run.finishForDelivery (normalization);
    return run.levelAndTrim (normalization);
}

} // namespace tessaloom
