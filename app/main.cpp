#include "app/Engine.h"
#include "app/InterruptCleanup.h"
#include "io/NativeNames.h"

#include <csignal>

int main (int argc, char* argv[])
{
    // The log goes to standard error, often into a pipe (`2>&1 | head`, a job
    // runner that stops reading): a write to a closed pipe must not kill the
    // batch halfway. Writes then fail quietly and the files are still mastered.
    std::signal (SIGPIPE, SIG_IGN);
    tessaloom::removeUnfinishedFilesOnInterrupt();

    // Paths are bytes: one that is not UTF-8 is carried losslessly (io/NativeNames.h).
    juce::StringArray arguments;
    for (int i = 0; i < argc; ++i)
        arguments.add (tessaloom::native_names::fromNativeBytes (argv[i]));

    return tessaloom::runEngine (arguments);
}
