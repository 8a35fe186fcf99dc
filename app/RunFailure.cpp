#include "app/RunFailure.h"

#include <iostream>

namespace tessaloom
{

namespace run_failure
{
void tell (const Outcome& failure)
{
    std::cerr << "ERROR: " << failure.message.toStdString() << std::endl;
}

void refuse (const Outcome& failure)
{
    std::cerr << "ERROR: " << failure.message.toStdString() << "\n"
              << "Run with --help for usage information." << std::endl;
}
} // namespace run_failure

} // namespace tessaloom
