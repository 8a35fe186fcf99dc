#pragma once

#include <juce_core/juce_core.h>

#include <utility>

// How every operation of io/ and tools/ that can fail answers: one record,
// returned by value. Values the operation makes (an opened source, a writer)
// come back through a reference argument and are set only when the outcome is
// ok; on a failure they are left empty (nullptr) and nothing is half done.
//
//   Status::ok       Done. message is empty.
//   Status::failed   Not done. message is the sentence for the log and the
//                    report as it stands, naming the file
//                    ("Failed to create output file: <path>"); callers print
//                    it unchanged, or put their own words before it. One case
//                    comes with an empty message: openAudioFile on a file no
//                    format recognises, which each caller words itself.
//   Status::tooLong  Not done: the file is readable but holds more samples
//                    than the program can take. message says how many and the
//                    bound, and is shown as it stands.
//
// An operation that runs something outside (the subprocess runner, the noise
// reducer) answers ok whenever it got to run it; what the outside program did
// (exit code, time-out, a result it could not use) is part of its own result.
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
