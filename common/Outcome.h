#pragma once

#include <juce_core/juce_core.h>

#include <utility>

namespace tessaloom
{

// How every operation of io/ and tools/ that can fail answers: one record,
// returned by value. Values the operation makes (an opened source, a writer)
// come back through a reference argument and are set only when the outcome is
// ok; on a failure they are left empty (nullptr), and a half-written file is
// removed.
//
//   Status::ok       Done. message is empty.
//   Status::failed   Not done. message is the sentence for the log and the
//                    report as it stands, most often ending in the file's path
//                    ("Failed to create output file: <path>"); callers print
//                    it unchanged, or put their own words before it. One case
//                    comes with an empty message: openAudioFile on a file no
//                    format recognises, which each caller words itself.
//   Status::tooLong  Not done: the file is readable but holds more samples
//                    than the program can take. message says how many and the
//                    bound, and is shown as it stands.
//
// The subprocess runner answers ok whenever it got to run the command: what the
// command did (its exit code, a time-out) is part of its own result. The noise
// reduction as a whole (NoiseReducer::process) never fails: without a usable
// result from the denoiser it passes the input through, and says so.
//
// Some steps stay a plain bool on purpose: a block source's read and the WAV
// writer's write, whose failure sticks and is worded once after the pass
// (readErrorMessage, Wav16FileWriter::finish, FloatSpill::outcome), and small
// steps (renameOver, resampleWithFFmpeg, in_flight_files::createDirectory) whose
// callers word the failure in their own terms.
struct Outcome
{
    enum class Status
    {
        ok,
        failed,
        tooLong
    };

    Status status = Status::ok;
    juce::String message;

    bool ok() const { return status == Status::ok; }

    static Outcome success() { return {}; }
    static Outcome failure (juce::String why, Status status = Status::failed) { return { status, std::move (why) }; }
};

} // namespace tessaloom
