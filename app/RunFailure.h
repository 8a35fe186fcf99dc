#pragma once

#include "common/Outcome.h"

namespace tessaloom
{

// How app/ fails: every step that can stop a run answers with an Outcome
// (common/Outcome.h), and the run tells a failed one to the user here, the one
// place that writes it. The log (juce::Logger) carries what happened to the
// files; these lines say why the run itself did not go ahead, or did not end
// whole, and are written to standard error as they stand, before any worker
// starts or after the last has ended.
namespace run_failure
{
// Exit codes of a run that did not go ahead: refused (the command line, or a
// run that would lose data) or stopped before its first file.
constexpr int kRefused = 1;

// "ERROR: <message>": a run that could not start, or an end that is not whole.
void tell (const Outcome& failure);

// The same, then the line that points to the help: the command line itself
// asks for something the program will not do.
void refuse (const Outcome& failure);
} // namespace run_failure

} // namespace tessaloom
