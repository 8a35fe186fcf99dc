#pragma once

#include "analysis/AudioAnalyzer.h"
#include "analysis/Overview.h"
#include "io/AudioFileIO.h"
#include "io/BlockSource.h"
#include "pipeline/Pass.h"
#include "pipeline/stages/BiquadCascade.h"
#include "pipeline/stages/Declipper.h"
#include "pipeline/stages/Gain.h"
#include "pipeline/stages/LoudnessFinish.h"
#include "pipeline/stages/TruePeakLimiter.h"

#include <optional>
#include <vector>

namespace tessaloom
{

// A file's passes over its samples, in the order they run; each is one
// pass::run, reading its source once from the start to the end.
//
//   1. checkAndAnalyse   the input           -> its non-finite check and analysis (and the report's picture of it)
//   2. preFilter         the input           -> the pre-filtered intermediate (16-bit, in the work folder)
//      (the outside denoiser reads the intermediate and writes the denoised file: not a pass of ours)
//   3. checkAndAnalyse   the working file    -> its non-finite check, peak, and the analysis pre-gain is set from
//                                               (without the denoiser, made in pass 2 from the samples as written:
//                                               preFilterAndCheck)
//   4. shape             the working file    -> the steps up to saturation, each checked; the analysis normalization
//                                               is set from; the spill (float samples, in the work folder or memory)
//   5. levelPass         the spill           -> the check after normalization, and after the limiter: the peak the
//                                               output trim is set from; the limited samples, written back into
//                                               the spill
//      or finishPass     the spill           -> with --finish loudness: the check after normalization and the
//                                               loudness and limiter figures; again until the loudness is settled
//   6. trimPass          the spill           -> the limited samples pass 5 wrote back, with the trim, checked,
//                                               into the output
//      or levelPass      the spill           -> with the limiter off: normalization, checked, into the output
//      or finishPass     the spill           -> the settled finish, checked, into the output
//      or copyPass       the working file    -> with the compressor and EQ off, when its length differs from the
//                                               input's: the output at the input's length (else a file copy)
//   7. readBack          the output          -> with --report: the measurement of the file as written
//                                               (pipeline/OutputMeasure.h)

namespace file_passes
{
// What a checking pass found. The analysis is set only when the source was read whole.
struct CheckedRead
{
    bool readWhole = true;
    sample_checks::Tally tally;
    Analysis analysis;
};

// Passes 1 and 3. The overview, when given, sees every block too, and so do the further taps.
CheckedRead checkAndAnalyse (AudioBlockSource& source, OverviewTap* overview = nullptr,
                             const std::vector<pass::Tap>& further = {});

// Pass 2: the input through the declipper (when given) and the pre-filter into
// the writer. false when the input could not be read whole.
[[nodiscard]] bool preFilter (AudioBlockSource& input, stages::BiquadCascade& filter, Wav16FileWriter& writer,
                              stages::Declipper* declipper = nullptr);

// Pass 2 with pass 3 riding on it, for a working file that is the intermediate
// itself (no denoiser after it): each block as the intermediate gives it back,
// checked and analysed on its way into the writer, as pass 3 would read it.
// `checked` is set only when every sample was finite and the input was read
// whole (else pass 3 reads the intermediate).
[[nodiscard]] bool preFilterAndCheck (AudioBlockSource& input, stages::BiquadCascade& filter, Wav16FileWriter& writer,
                                      int bitsPerSample, std::optional<CheckedRead>& checked);

// What a sample written into a PCM WAV of bitsPerSample (16 or 24) by JUCE's
// writer reads back as through JUCE's reader: clipped to full scale, rounded to
// 32 bits, cut to the file's depth, scaled back. false at the first sample
// that is not finite (its value is then not known).
bool asReadBack (const float* samples, float* readBack, int numSamples, int bitsPerSample);

// Pass 4: each channel through every step in turn; the result is analysed and
// spilled. Empty when the source could not be read to its end.
std::optional<Analysis> shape (AudioBlockSource& working, const std::vector<pass::ChannelStep>& steps,
                               FloatSpill& spill, side_by_side::KeptHelper& helper, const pass::Tap& further = {});

// The level stages over the spilled samples: the normalization gain, then the
// limiter and the trim when the limiter runs. Each pass makes its processors
// anew, so the limiter starts from rest every time.
struct LevelStages
{
    std::optional<stages::GainSetting> normalization;
    bool limit = false;
    std::optional<stages::GainSetting> trim;
};

// Passes 5 and 6: the level stages, checked after normalization and after the
// limiter (either may be null), into `into`. false when the spill could not be
// read back whole.
[[nodiscard]] bool levelPass (const LevelStages& level, FloatSpill& spill, side_by_side::KeptHelper& helper,
                              sample_checks::ChannelTallies* afterNormalization,
                              sample_checks::ChannelTallies* afterLimiter, const pass::Tap& into);

// Pass 6 when pass 5 wrote its limited samples back into the spill: only the
// trim, checked, into `into`; the same samples as the level stages from the
// start, without running the limiter again. false when the spill could not be
// read back whole.
[[nodiscard]] bool trimPass (const std::optional<stages::GainSetting>& trim, FloatSpill& spill,
                             side_by_side::KeptHelper& helper, sample_checks::ChannelTallies* afterTrim,
                             const pass::Tap& into);

// The loudness finish over the spilled samples: normalization, the drive the
// finish adds into the limiter, the true-peak limiter, and the gain after it.
struct FinishStages
{
    std::optional<stages::GainSetting> normalization;
    std::optional<stages::TruePeakLimiterDesign> limiter; // none: bypassed
    std::vector<double> loudnessWeights;                  // the channels' weights in the finish's loudness
};

// How one finish pass runs: the drive into the limiter, the gain after it, and
// what it measures besides writing.
struct FinishPassOptions
{
    float driveDb = 0.0f;                                         // added before the limiter
    float gainFactor = 1.0f;                                      // after the limiter
    sample_checks::ChannelTallies* afterNormalization = nullptr;  // when given, checks the samples after normalization
    bool measureLoudness = false;                                 // the result's lufs
};

// What a finish pass measured on its way.
struct FinishPassResult
{
    stages::TruePeakLimiterReport limiter; // as it rests when the limiter is bypassed
    std::optional<double> lufs;            // with measureLoudness: the integrated loudness after the limiter
};

// Passes 5 and 6 with --finish loudness; `into` gets the finished frames in
// order, at the input's length. Empty when the spill could not be read back whole.
std::optional<FinishPassResult> finishPass (const FinishStages& finish, FloatSpill& spill,
                                            side_by_side::KeptHelper& helper, const FinishPassOptions& options,
                                            const pass::Tap& into);

// A finish pass that only measures: the loudness and the limiter's figures of
// what it would write. Empty when the spill could not be read back whole.
std::optional<stages::FinishPass> measureFinish (const FinishStages& finish, FloatSpill& spill,
                                                 side_by_side::KeptHelper& helper, float driveDb,
                                                 sample_checks::ChannelTallies* afterNormalization);

// Pass 6 with the chain off: the working file as it is, into `into`.
[[nodiscard]] bool copyPass (AudioBlockSource& working, const pass::Tap& into);
} // namespace file_passes

} // namespace tessaloom
