#include "app/Engine.h"

#include "app/BatchRunner.h"
#include "app/CommandLine.h"
#include "app/RunFailure.h"
#include "app/StderrLogger.h"

#include <iostream>

namespace tessaloom
{

int runEngine (const juce::StringArray& arguments)
{
    StderrLogger logger;
    juce::Logger::setCurrentLogger (&logger);

    const auto options = parseCommandLine (arguments);

    int exitCode = 1;
    if (options.showHelp)
    {
        std::cout << (options.showAllHelp ? helpAllText() : helpText()).toStdString() << std::endl;
        exitCode = 0;
    }
    else if (options.isValid)
    {
        // Said before the run, and only for one that goes ahead: a refused command line gets its error alone.
        for (const auto& warning : options.warnings)
            std::cerr << warning.toStdString() << "\n";
        exitCode = runBatch (options, 0);
    }
    else
    {
        run_failure::refuse (Outcome::failure (options.errorMessage));
        exitCode = run_failure::kRefused;
    }

    juce::Logger::setCurrentLogger (nullptr);
    return exitCode;
}

} // namespace tessaloom
