#pragma once

namespace tessaloom
{

// When the run is stopped by SIGINT (Ctrl-C), SIGTERM or SIGHUP, the outside
// tools it is running are killed with everything they started, the files and
// folders it had not finished (the hidden temporaries of outputs being written,
// the private work folders) are removed and a line says so, and a report line
// being written is let finish; the process then ends by that same signal, as
// it would have without this. A signal that was
// ignored when the program started (nohup, a background job) stays ignored.
// Call once, from main, before any worker starts.
void removeUnfinishedFilesOnInterrupt();

} // namespace tessaloom
