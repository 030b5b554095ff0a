// sphost.exe with Wine's own counter library, which has no "Memory" object, instead of the
// stand-in: the start fails, and the diagnosis names the counter step and the library's status.
#include <gtest/gtest.h>

#include <string>

#include "module_host.h"

using namespace host;

namespace {

constexpr DWORD RUN_BOUND_MS = 60000;

TEST(SphostUnderWinesCounters, NamesTheCounterStepAndItsStatus) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    const ProgramRun run = RunBeside("sphost.exe", "--seconds 1", RUN_BOUND_MS);
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(3u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("did not start")) << run.output;
    const size_t counter = run.output.find("\n  performance counter  FAILED: \\Memory\\Page Faults/sec");
    ASSERT_NE(std::string::npos, counter) << run.output;
    const std::string line = run.output.substr(counter, run.output.find('\n', counter + 1) - counter);
    EXPECT_NE(std::string::npos, line.find("cannot be added to a query: PDH status 0xC0000")) << run.output;
    EXPECT_EQ(std::string::npos, line.find("(not a known name)")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\nsphost: the start fails at the step ")) << run.output;
}

}  // namespace
