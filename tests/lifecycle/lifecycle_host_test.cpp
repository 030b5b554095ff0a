// The module's life as a host sees it: start, events as readings cross the limits, the sampler's
// page-fault averages, faults during the run, and a prompt stop.
#include <gtest/gtest.h>

#include "../../common/handles.h"
#include "box_in_process.h"
#include "module_host.h"
#include "process_counts.h"
#include "restricted_key.h"
#include "pdh_stand_in.h"

using namespace host;

namespace {


std::vector<SPSensorSummary> Summaries(ModuleHost& module) {
    return SensorRecords<SPSensorSummary>(module, SP_SELECT_SUMMARY);
}

// Polls (bounded) until the page-fault reading is `value`.
bool WaitForPageFaultReading(ModuleHost& module, uint32_t value, DWORD boundMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < boundMs; Sleep(100)) {
        std::vector<SPSensorSummary> s = Summaries(module);
        if (s.size() == 3 && s[2].value == value) return true;
    }
    return false;
}

double MillisecondsOf(ModuleHost& module, int& result) {
    const DWORD start = GetTickCount();
    result = module.Uninitialize();
    return GetTickCount() - start;
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        pdh_stand_in::Reset();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
    }
    void TearDown() override {
        pdh_stand_in::Reset();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
    }
};

}  // namespace

TEST_F(Lifecycle, StartsOnceHandsOverItsEventAndStopsPromptly) {
    const DWORD threads = ThreadCount();
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());

    SPStartupInfo info = {0, 0x77777777, nullptr};
    ASSERT_EQ(1, module.Initialize(nullptr, &info));  // the defaults: flags 2, 5000 ms
    EXPECT_EQ(5u, info.startupCode);
    EXPECT_EQ(0x77777777u, info.hostData);
    ASSERT_NE(nullptr, info.hostEvent);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(info.hostEvent, 0));
    SPGlobalProperty property = {};
    ASSERT_EQ(1, module.Config(SP_OP_GET, "SP_GBLPROPERTY", &property));
    EXPECT_EQ(2u, property.flags);
    EXPECT_EQ(5000u, property.intervalMs);

    // Running: a second start changes nothing and writes nothing.
    SPStartupInfo second = {9, 9, reinterpret_cast<HANDLE>(9)};
    SPGlobalProperty other = {1, 1000};
    EXPECT_EQ(1, module.Initialize(&other, &second));
    EXPECT_EQ(9u, second.startupCode);
    EXPECT_EQ(reinterpret_cast<HANDLE>(9), second.hostEvent);
    module.Config(SP_OP_GET, "SP_GBLPROPERTY", &property);
    EXPECT_EQ(5000u, property.intervalMs);

    // Defaults written on a start that found no key.
    Limits limits;
    ASSERT_TRUE(ReadSettings(2, limits));
    EXPECT_EQ(20000u, limits.wh);
    EXPECT_EQ(30000u, limits.fh);

    Sleep(1500);  // the sampler is inside its one-second windows
    int result = 0;
    EXPECT_LT(MillisecondsOf(module, result), 2000);  // well before any forced end
    EXPECT_EQ(1, result);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(info.hostEvent, 0));  // closed for the host
    EXPECT_EQ(0, module.Uninitialize());
    EXPECT_EQ(threads, ThreadCount());
}

TEST_F(Lifecycle, ReadingsAboveTheLimitsReachTheHostFromSetUpAndTicks) {
    ASSERT_TRUE(WriteSettings({ALWAYS_FH, NEVER, NEVER}));
    ModuleHost module;
    ASSERT_TRUE(module.Start(SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL, 1000));
    EXPECT_TRUE(module.EventSet());  // the first reading is already beyond: signalled before return
    std::vector<SPEvent> first = DrainEvents(module);
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(SENSOR_IDS[0], first[0].sensorId);
    EXPECT_EQ(SP_STATE_NORMAL, first[0].prevState);
    EXPECT_EQ(SP_STATE_FH, first[0].state);
    EXPECT_EQ(0u, first[0].eventTime);  // first start after loading
    EXPECT_FALSE(module.EventSet());

    // With the repeat switch, each tick notifies again while the sensor stays in FH.
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(module.Event(), 5000));
    std::vector<SPEvent> ticked = DrainEvents(module);
    ASSERT_GE(ticked.size(), 1u);
    EXPECT_EQ(SP_STATE_FH, ticked[0].prevState);
    EXPECT_EQ(SP_STATE_FH, ticked[0].state);
    EXPECT_NE(0u, ticked[0].eventTime);
}

TEST_F(Lifecycle, PageFaultReadingIsTheMeanRateOfTheLastCycle) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    ASSERT_TRUE(pdh_stand_in::SetRates({1000, 3000}));  // windows report 1000, 3000, 3000, ...
    ModuleHost module;
    ASSERT_TRUE(module.Start(SP_PROP_NOTIFY_NORMAL, 2000));
    EXPECT_EQ(0u, Summaries(module)[2].value);  // nothing published before the first cycle ends
    EXPECT_TRUE(WaitForPageFaultReading(module, 2000, 10000));  // (1000 + 3000) / 2
    EXPECT_TRUE(WaitForPageFaultReading(module, 3000, 10000));  // (3000 + 3000) / 2
    EXPECT_GE(pdh_stand_in::WindowCount(), 4u);
}

TEST_F(Lifecycle, AFailingCounterEndsTheSamplerAndKeepsTheLastReading) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    ASSERT_TRUE(pdh_stand_in::SetRates({500}));
    ModuleHost module;
    ASSERT_TRUE(module.Start(SP_PROP_NOTIFY_NORMAL, 1000));
    ASSERT_TRUE(WaitForPageFaultReading(module, 500, 10000));

    pdh_stand_in::FailCollectFrom(pdh_stand_in::CollectCount() + 1);
    // The sampler's next collection fails; then nobody collects. Only then does the counter's rate
    // change, so a collection already past its failure check cannot pick the new rate up.
    DWORD collected = pdh_stand_in::CollectCount();
    for (DWORD start = GetTickCount(); GetTickCount() - start < 20000;) {
        Sleep(2500);
        const DWORD now = pdh_stand_in::CollectCount();
        if (now == collected) break;
        collected = now;
    }
    pdh_stand_in::SetRates({900});
    const DWORD windows = pdh_stand_in::WindowCount();
    EXPECT_FALSE(WaitForPageFaultReading(module, 900, 2500));
    EXPECT_EQ(collected, pdh_stand_in::CollectCount());
    EXPECT_EQ(500u, Summaries(module)[2].value);
    EXPECT_EQ(windows, pdh_stand_in::WindowCount());  // nobody collects any more
}

struct StartCall {
    ModuleHost* module;
    SPStartupInfo info;
    int result;
};

DWORD WINAPI StartWithCurrentSettings(void* p) {
    StartCall& call = *static_cast<StartCall*>(p);
    call.result = call.module->Initialize(nullptr, &call.info);
    return 0;
}

TEST_F(Lifecycle, AnIntervalSetWhileAStartWaitsForTheLockTakesEffectOnceItRuns) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());
    SPStartupInfo first = {};
    const SPGlobalProperty slow = {SP_PROP_NOTIFY_NORMAL, NO_TICKS_MS};
    ASSERT_EQ(1, module.Initialize(&slow, &first));  // the module's lock exists from here on
    ASSERT_EQ(1, module.Uninitialize());

    // A request in progress holds the lock: the next start arms its timer with the long interval,
    // then waits to publish its run.
    UniqueHandle lock(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "kelvrim"));
    ASSERT_TRUE(lock);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(lock.get(), 5000));
    StartCall start = {&module, {}, -1};
    UniqueHandle starter(CreateThread(nullptr, 0, StartWithCurrentSettings, &start, 0, nullptr));
    HWND window = nullptr;
    for (DWORD begun = GetTickCount(); !window && GetTickCount() - begun < 20000; Sleep(50))
        window = FindWindowA("kelvrim", nullptr);
    ASSERT_NE(nullptr, window) << "the start's timer window never appeared";
    Sleep(300);  // its timer is armed right after the window exists

    // The request that holds the lock shortens the interval; the run is not published yet.
    SPGlobalProperty fast = {SP_PROP_NOTIFY_NORMAL, 1000};
    ASSERT_EQ(1, module.Config(SP_OP_SET, "SP_GBLPROPERTY", &fast));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(starter.get(), 0));
    ReleaseMutex(lock.get());
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(starter.get(), 20000));
    ASSERT_EQ(1, start.result);

    // Ticks every second: the sample time moves on within a generous bound.
    const uint32_t setUp = SensorRecords<SPSensorStatus>(module, SP_SELECT_STATUS)[0].sampleTime;
    uint32_t sampled = setUp;
    for (DWORD begun = GetTickCount(); sampled < setUp + 2 && GetTickCount() - begun < 20000; Sleep(200))
        sampled = SensorRecords<SPSensorStatus>(module, SP_SELECT_STATUS)[0].sampleTime;
    EXPECT_GE(sampled, setUp + 2) << "no ticks at the interval set while the start waited";
    EXPECT_EQ(1, module.Uninitialize());
}

TEST_F(Lifecycle, StartStopAndStartAgainTicksAfterEachStart) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    ModuleHost module;
    for (int run = 0; run < 3; ++run) {
        SPStartupInfo info = {};
        SPGlobalProperty settings = {SP_PROP_NOTIFY_NORMAL, 1000};
        ASSERT_EQ(1, module.Initialize(&settings, &info)) << run;
        const uint32_t setUpTime = Summaries(module)[0].sampleTime;
        bool ticked = false;
        for (DWORD start = GetTickCount(); !ticked && GetTickCount() - start < 6000; Sleep(100))
            ticked = Summaries(module)[0].sampleTime > setUpTime;
        EXPECT_TRUE(ticked) << run;
        int result = 0;
        EXPECT_LT(MillisecondsOf(module, result), 2000) << run;
        EXPECT_EQ(1, result) << run;
    }
}

TEST_F(Lifecycle, AnUnreadableLimitFailsTheStartAfterTheErrorBox) {
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    const ULONGLONG eightBytes = 90;
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "PageFileUsageWH", REG_QWORD, &eightBytes, 8);
    const DWORD threads = ThreadCount();
    ModuleHost module;
    BoxAnswerer answerer("Error");
    SPStartupInfo info = {};
    EXPECT_EQ(0, module.Initialize(nullptr, &info));
    EXPECT_TRUE(answerer.Answered());
    EXPECT_EQ(5u, info.startupCode);
    // The event it had handed out is closed: its value must not stay where the host may close it.
    EXPECT_EQ(nullptr, info.hostEvent);
    EXPECT_EQ(threads, ThreadCount());  // the sampler it had started is gone
    EXPECT_EQ(0, module.Uninitialize());
}

TEST_F(Lifecycle, AKeyWithoutFullAccessCountsAsAbsent) {
    // Readable but not writable for everyone: the open with full access fails.
    ASSERT_TRUE(WriteSettings({ALWAYS_FH, ALWAYS_FH, ALWAYS_FH}));
    RestrictedKey readOnly(HKEY_LOCAL_MACHINE, SETTINGS_KEY, KEY_READ | WRITE_DAC);
    ASSERT_TRUE(readOnly.Restricted());
    if (!readOnly.Enforced()) GTEST_SKIP() << "this platform grants full access to the key regardless of its DACL";

    ModuleHost module;
    ASSERT_TRUE(module.Start(SP_PROP_NOTIFY_NORMAL));
    EXPECT_FALSE(module.EventSet());  // the stored limits of 0 are not in force: the defaults are
    GuardedBuffer status(3 * sizeof(SPSensorStatus));
    uint32_t count = 3;
    ASSERT_EQ(1, module.Config(SP_OP_GET, "SP_SENSORS", &count, status.data(), reinterpret_cast<void*>(SP_SELECT_STATUS)));
    EXPECT_EQ(95u, status.as<SPSensorStatus>()[0].limits[SP_SLOT_FH]);
    EXPECT_EQ(90u, status.as<SPSensorStatus>()[0].limits[SP_SLOT_WH]);
}
