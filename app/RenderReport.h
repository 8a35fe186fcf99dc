#pragma once

#include "app/CommandLine.h"

namespace tessaloom
{

// --render-report: the page from reports, for a batch run elsewhere (a
// scale-out run's merged report); masters nothing.
namespace render_only
{
// Returns 0 when the page was written, 1 when the run was refused or a report
// could not be read or the page written.
int run (const CommandLineOptions& options);
} // namespace render_only

} // namespace tessaloom
