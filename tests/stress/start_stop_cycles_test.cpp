// One hundred starts and stops of the built kelvrim.dll in one process, with ticks between them:
// every start succeeds, every stop is prompt, and no thread or handle is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "module_host.h"
#include "pdh_stand_in.h"
#include "process_counts.h"
#include "watchdog.h"

using namespace host;

namespace {

constexpr int CYCLES = 100;
constexpr DWORD STOP_BOUND_MS = 2000;  // far below a worker's forced end
constexpr DWORD TICK_BOUND_MS = 5000;
constexpr DWORD TEST_BOUND_MS = 120000;

// How a cycle runs. Short intervals let most cycles see a tick without waiting a second for it.
struct Cycle {
    const char* what;
    uint32_t intervalMs;    // given to the start, or set through a request before it
    bool setBeforeStart;    // a stopped module still takes requests; the start then passes none
    uint32_t rearmMs;       // changed through a request while running; 0 for no change
    bool waitForTick;
    DWORD afterTickMs;      // how long ticks go on before the stop
};
const Cycle REAL_TICK = {"a tick at 1000 ms", 1000, false, 0, true, 0};
const Cycle SHORT_TICK = {"a tick at 20 ms", 20, false, 0, true, 0};
const Cycle AT_ONCE = {"a stop right after the start", 1000, false, 0, false, 0};
const Cycle TICKING = {"a stop while ticks run every few ms", 1, false, 0, true, 50};
const Cycle REARMED = {"a tick after the interval changed from 1000 ms to 20 ms", 1000, false, 20, true, 0};
const Cycle SET_BEFORE = {"a tick at 20 ms set while stopped", 20, true, 0, true, 0};

const Cycle& CycleFor(int n) {
    if (n % 25 == 0) return REAL_TICK;
    const Cycle* others[] = {&SHORT_TICK, &AT_ONCE, &TICKING, &REARMED, &SET_BEFORE};
    return *others[n % 5];
}

class StartStopCycles : public ::testing::Test {
protected:
    void SetUp() override {
        pdh_stand_in::Reset();
        // The page-fault sensor stays in WH, so with SP_PROP_REPEAT every tick signals the host.
        ASSERT_TRUE(WriteSettings({NEVER, NEVER, {0, 0xFFFFFFFF}}));
    }
    void TearDown() override {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
        pdh_stand_in::Reset();
    }
};

}  // namespace

TEST_F(StartStopCycles, EveryStartSucceedsEveryStopIsPromptAndNothingIsLeft) {
    std::atomic<int> cycle{0};
    std::atomic<const char*> step{"loading"};
    Watchdog watchdog(TEST_BOUND_MS, [&] { fprintf(stderr, "cycle %d: %s\n", cycle.load(), step.load()); });
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());

    const DWORD threads = ThreadCount();
    DWORD handles = 0, slowestStop = 0;
    for (int n = 0; n < CYCLES; ++n) {
        const Cycle& kind = CycleFor(n);
        // Not SCOPED_TRACE: its first use starts a thread of the test framework's own.
        const std::string where = "cycle " + std::to_string(n) + ", " + kind.what;
        cycle = n;
        step = "starting";
        SPGlobalProperty settings = {SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL, kind.intervalMs};
        if (kind.setBeforeStart) {
            ASSERT_EQ(1, module.Config(SP_OP_SET, "SP_GBLPROPERTY", &settings)) << where;
        }
        SPStartupInfo info = {0, 0x5A5A5A5A, nullptr};
        ASSERT_EQ(1, module.Initialize(kind.setBeforeStart ? nullptr : &settings, &info)) << where;
        EXPECT_EQ(5u, info.startupCode) << where;
        EXPECT_EQ(0x5A5A5A5Au, info.hostData) << where;
        ASSERT_NE(nullptr, info.hostEvent) << where;

        DrainEvents(module);  // set-up's event for the page-fault sensor
        if (kind.rearmMs) {
            SPGlobalProperty faster = {settings.flags, kind.rearmMs};
            ASSERT_EQ(1, module.Config(SP_OP_SET, "SP_GBLPROPERTY", &faster)) << where;
        }
        if (kind.waitForTick) {
            step = "waiting for a tick";
            ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(info.hostEvent, TICK_BOUND_MS)) << where;
            Sleep(kind.afterTickMs);
            DrainEvents(module);
        }

        step = "stopping";
        const DWORD before = GetTickCount();
        ASSERT_EQ(1, module.Uninitialize()) << where;
        const DWORD stopMs = GetTickCount() - before;
        EXPECT_LT(stopMs, STOP_BOUND_MS) << where;
        slowestStop = std::max(slowestStop, stopMs);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(info.hostEvent, 0)) << where << ": not closed for the host";
        EXPECT_EQ(threads, ThreadCount()) << where;

        // What lasts until the process ends comes with the first cycle: the module lock, and the
        // objects the platform keeps once a first named object and a first window exist.
        if (n == 0) handles = HandleCount();
    }
    step = "counting";
    EXPECT_EQ(handles, HandleCount());
    printf("%d cycles; the slowest stop took %lu ms; %lu threads and %lu handles after each\n", CYCLES, slowestStop,
           threads, handles);
}
