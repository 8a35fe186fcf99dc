#pragma once

#include "app/RunPlan.h"

#include "common/Outcome.h"

namespace tessaloom
{

// A run that would destroy an input, write two files onto one, or leave its
// report or page where a later write replaces it, is refused before anything
// is created. Each answers ok, or failed with the sentence the user is shown.
namespace refusals
{
// A mastering run, over its plan.
Outcome ofMastering (const CommandLineOptions& options, const run_plan::Plan& plan);

// A check run writes only the report and the page: neither may land on an input or on each other.
Outcome ofCheck (const CommandLineOptions& options, const juce::Array<juce::File>& inputs);

// Making the page from reports: the page may not be one of them.
Outcome ofRender (const CommandLineOptions& options);
} // namespace refusals

} // namespace tessaloom
