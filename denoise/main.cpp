#include "denoise/DenoiseCommand.h"

int main (int argc, char* argv[])
{
    juce::StringArray arguments;
    for (int i = 0; i < argc; ++i)
        arguments.add (juce::String::fromUTF8 (argv[i]));

    return tessaloom::denoise::runDenoiseCommand (arguments);
}
