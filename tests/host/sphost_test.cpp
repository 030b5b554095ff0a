// sphost.exe run as a support engineer runs it, against the built module beside it.
#include <gtest/gtest.h>
#include <pdhmsg.h>

#include <string>

#include "../../common/handles.h"
#include "box_answerer.h"
#include "module_host.h"
#include "pdh_stand_in.h"

using namespace host;

namespace {

constexpr DWORD RUN_BOUND_MS = 60000;

using SphostRun = ProgramRun;

// Runs sphost.exe beside this test with `arguments`, the stand-in as the test left it; a run
// that outlives the bound is ended.
SphostRun RunSphostAsSetUp(const std::string& arguments) {
    const SphostRun run = RunBeside("sphost.exe", arguments, RUN_BOUND_MS);
    EXPECT_TRUE(run.ended) << "sphost outlived " << RUN_BOUND_MS << " ms: " << arguments;
    return run;
}

// The same with the stand-in as it is by default: real rates, no failures.
SphostRun RunSphost(const std::string& arguments) {
    if (!pdh_stand_in::Reset()) return SphostRun();
    return RunSphostAsSetUp(arguments);
}

// The line of one step of the diagnosis, without its leading blanks; empty when there is none.
std::string StepLine(const std::string& output, const std::string& step) {
    const size_t at = output.find("\n  " + step + " ");
    if (at == std::string::npos) return "";
    const size_t end = output.find('\n', at + 1);
    return output.substr(at + 3, end == std::string::npos ? std::string::npos : end - at - 3);
}

bool SettingsKeyExists() {
    RegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

constexpr const char* STEPS[] = {"Windows version", "counter names", "performance counter", "settings", "window",
                                 "events and thread"};
constexpr char REBUILD_COUNTERS[] = "\"lodctr /R\" from an elevated prompt, then restart the host service";

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

// With all in order the diagnosis passes every step, and it writes nothing: the settings key the
// module would create at a start is not created.
TEST(SphostDiagnosis, PassesEveryStepWhereTheModuleCanStart) {
    LONG deleted = RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
    ASSERT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND);
    const SphostRun run = RunSphost("--diagnose");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    for (const char* step : STEPS)
        EXPECT_EQ(0u, StepLine(run.output, step).find(step)) << step << "\n" << run.output;
    for (const char* step : STEPS)
        EXPECT_NE(std::string::npos, StepLine(run.output, step).find(" ok: ")) << step << "\n" << run.output;
    EXPECT_NE(std::string::npos, run.output.find("sphost: every step passed")) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("started")) << "the provider was started:\n" << run.output;
    EXPECT_FALSE(SettingsKeyExists()) << "the diagnosis wrote the settings key";
}

// Damaged counters, as the counter library reports them: the start fails, and the diagnosis names
// the counter step with the library's status, and the usual mend.
TEST(SphostDiagnosis, NamesTheCounterThatCannotBeAddedWithItsStatus) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    ASSERT_TRUE(pdh_stand_in::Reset());
    ASSERT_TRUE(pdh_stand_in::FailAddCounter(static_cast<DWORD>(PDH_CSTATUS_NO_OBJECT)));
    const SphostRun started = RunSphostAsSetUp("--seconds 1");
    const SphostRun diagnosed = RunSphostAsSetUp("--diagnose");
    ASSERT_TRUE(pdh_stand_in::Reset());
    EXPECT_EQ(3u, started.exitCode) << started.output;
    EXPECT_NE(std::string::npos, started.output.find("did not start")) << started.output;
    for (const SphostRun& run : {started, diagnosed}) {
        EXPECT_EQ(3u, run.exitCode) << run.output;
        const std::string counter = StepLine(run.output, "performance counter");
        EXPECT_NE(std::string::npos, counter.find("FAILED: \\Memory\\Page Faults/sec cannot be added")) << run.output;
        EXPECT_NE(std::string::npos, counter.find("PDH status 0xC0000BB8 (PDH_CSTATUS_NO_OBJECT)")) << run.output;
        EXPECT_NE(std::string::npos, StepLine(run.output, "counter names").find(" ok: ")) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("the start fails at the step \"performance counter\"")) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(REBUILD_COUNTERS)) << run.output;
    }
}

// A limit stored as eight bytes: the module's "Error" box is answered as a user would, and the
// diagnosis names the value, its type and size and what it holds, and how to store it; the value
// stays as it was.
TEST(SphostDiagnosis, NamesALimitThatCannotBeRead) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    const uint64_t wide = 90;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "PageFileUsageWH", REG_QWORD, &wide,
                                             sizeof wide));
    ASSERT_TRUE(pdh_stand_in::Reset());
    const boxes::Run run = boxes::RunAndAnswer("\"" + BesideThisProgram("sphost.exe") + "\" --seconds 1", "Error",
                                               boxes::Answer(IDOK), RUN_BOUND_MS, true);
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(3u, run.exitCode) << run.output;
    ASSERT_EQ(1u, run.boxes.size()) << run.output;
    EXPECT_EQ(IDOK, run.boxes[0].pressed);
    const std::string settings = StepLine(run.output, "settings");
    EXPECT_NE(std::string::npos,
              settings.find("\"PageFileUsageWH\" holds REG_QWORD of 8 bytes, 5A00000000000000, more than the 4 bytes"))
        << run.output;
    EXPECT_NE(std::string::npos, run.output.find("the start fails at the step \"settings\"")) << run.output;
    EXPECT_NE(std::string::npos,
              run.output.find("reg add \"HKLM\\SOFTWARE\\TAVRIX\\NIVRAEnterprise\\SP\\KELVRIM\" /v \"PageFileUsageWH\" "
                              "/t REG_DWORD /d 90 /f"))
        << run.output;
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "PageFileUsageWH", RRF_RT_ANY, &type,
                                          nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_QWORD), type);
    EXPECT_EQ(8u, size);
}

}  // namespace
