#include "app/CommandLine.h"
#include "support/TestSupport.h"

using namespace testing_support;

TEST (Smoke, HelpExitsZero)
{
    auto r = runEngineExe ({ "--help" });
    EXPECT_EQ (r.exitCode, 0);
}
