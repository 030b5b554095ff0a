// sphost.exe run as a support engineer runs it, against the built module beside it.
#include <gtest/gtest.h>

#include <string>

#include "../../common/handles.h"
#include "module_host.h"
#include "pdh_stand_in.h"

using namespace host;

namespace {

constexpr DWORD RUN_BOUND_MS = 60000;

using SphostRun = ProgramRun;

// Runs sphost.exe beside this test with `arguments`; a run that outlives the bound is ended.
SphostRun RunSphost(const std::string& arguments) {
    if (!pdh_stand_in::Reset()) return SphostRun();
    const SphostRun run = RunBeside("sphost.exe", arguments, RUN_BOUND_MS);
    EXPECT_TRUE(run.ended) << "sphost outlived " << RUN_BOUND_MS << " ms: " << arguments;
    return run;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(Sphost, ShowsLiveReadingsAndEventsThenStopsTheModule) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    const SphostRun run = RunSphost("--interval 1000 --seconds 4 --set-limits PhyMemUsage 0 4294967295");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("sphost: started ")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("PhyMemUsage now has WH 0 and FH 4294967295")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("event  PhyMemUsage: normal -> WH")) << run.output;
    for (const char* name : SENSOR_NAMES)  // one line per sensor and interval, more than once
        EXPECT_GE(Occurrences(run.output, std::string("  ") + name + " "), 2u) << name << "\n" << run.output;
    EXPECT_NE(std::string::npos, run.output.find("sphost: stopped")) << run.output;
    Limits stored = {};
    ASSERT_TRUE(ReadSettings(0, stored));
    EXPECT_EQ(0u, stored.wh);
}

TEST(Sphost, ResetsTheLimitsBeforeWatching) {
    ASSERT_TRUE(WriteSettings({ALWAYS_FH, ALWAYS_FH, ALWAYS_FH}));
    const SphostRun run = RunSphost("--reset --seconds 1");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    const Limits defaults[3] = {{90, 95}, {90, 95}, {20000, 30000}};
    for (int i = 0; i < 3; ++i) {
        Limits stored = {};
        ASSERT_TRUE(ReadSettings(i, stored));
        EXPECT_EQ(defaults[i].wh, stored.wh) << SENSOR_NAMES[i];
        EXPECT_EQ(defaults[i].fh, stored.fh) << SENSOR_NAMES[i];
    }
}

TEST(Sphost, ExplainsItselfAndRefusesWhatItCannotDo) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    struct Case {
        const char* arguments;
        DWORD exitCode;
        const char* says;
    } cases[] = {
        {"--help", 0, "Usage: sphost"},
        {"--bogus", 1, "unknown option --bogus"},
        {"--interval", 1, "--interval needs a whole number"},
        {"--seconds -1", 1, "--seconds needs a whole number"},
        {"--set-limits PhyMemUsage 90", 1, "--set-limits needs"},
        {"--dll no-such-provider.dll", 2, "cannot load no-such-provider.dll"},
        {"--seconds 1 --set-limits NoSuchSensor 1 2", 4, "no sensor \"NoSuchSensor\""},
    };
    for (const Case& c : cases) {
        const SphostRun run = RunSphost(c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << c.arguments << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.says)) << c.arguments << "\n" << run.output;
    }
}

}  // namespace
