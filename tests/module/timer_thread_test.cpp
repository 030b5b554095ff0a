// The timer thread: its window, ticks, the re-arm from another thread, and its end.
#include <gtest/gtest.h>

#include "locked_records.h"
#include "module_test_support.h"
#include "timer_thread.h"

namespace {

// Runs a timer thread for a published run of its own, with ticks counted through the sensor table.
class TimerThreadRun {
public:
    explicit TimerThreadRun(uint32_t intervalMs) {
        Locked()->globalProperty.intervalMs = intervalMs;
        for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) Locked()->sensorTable[i].sensorId = SensorIdOf(i);
        run_.stopEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        run_.timerThread = StartTimerThread(run_);
        Locked()->run = &run_;
    }
    ~TimerThreadRun() {
        Locked()->run = nullptr;
        SetEvent(run_.stopEvent.get());
        WaitForSingleObject(run_.timerThread.get(), 5000);
        UnregisterClassA(TIMER_WINDOW_CLASS, ModuleInstance());
    }
    // Waits (bounded) until a tick stamps a new sample time; the time of that wait in ms, or -1.
    static long WaitForTick(DWORD boundMs) {
        Locked()->sensorTable[0].sampleTime = 0;
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < boundMs) {
            if (Locked()->sensorTable[0].sampleTime != 0) return long(GetTickCount() - start);
            Sleep(5);
        }
        return -1;
    }
    HANDLE thread() const { return run_.timerThread.get(); }
    HWND window() const { return run_.timerWindow; }
    void Stop() { SetEvent(run_.stopEvent.get()); }

private:
    ModuleRun run_;
};

DWORD ExitCodeAfter(HANDLE thread, DWORD boundMs) {
    if (WaitForSingleObject(thread, boundMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 99;
    GetExitCodeThread(thread, &code);
    return code;
}

}  // namespace

TEST(TimerThread, TicksOnItsHiddenWindowAndEndsOnClose) {
    ModuleStateGuard guard;
    TimerThreadRun run(200);
    ASSERT_NE(nullptr, run.window());
    EXPECT_FALSE(IsWindowVisible(run.window()));
    char title[32] = {};
    GetWindowTextA(run.window(), title, sizeof title);
    EXPECT_STREQ("kelvrim", title);
    for (int i = 0; i < 3; ++i) EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0) << i;

    // A timer message with any identifier runs one tick.
    KillTimer(run.window(), SAMPLING_TIMER_ID);
    Locked()->sensorTable[0].sampleTime = 0;
    SendMessageA(run.window(), WM_TIMER, 7, 0);
    EXPECT_NE(0u, Locked()->sensorTable[0].sampleTime);

    // Anything in the process may close it: the run then no longer names it, so no request posts
    // to a window handle that may be another window's by then.
    PostMessageA(run.window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, ExitCodeAfter(run.thread(), 5000));
    EXPECT_EQ(nullptr, run.window()) << "the run still names the window that WM_CLOSE destroyed";
}

TEST(TimerThread, TheStopEventEndsItAndTakesTheWindowWithIt) {
    ModuleStateGuard guard;
    TimerThreadRun run(60000);
    const HWND window = run.window();
    ASSERT_TRUE(IsWindow(window));
    const DWORD start = GetTickCount();
    run.Stop();
    EXPECT_EQ(0u, ExitCodeAfter(run.thread(), 5000));
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_FALSE(IsWindow(window));
}

TEST(TimerThread, ReArmFromAnotherThreadTakesTheNewInterval) {
    ModuleStateGuard guard;
    UniqueHandle lock(CreateMutexA(nullptr, FALSE, MODULE_LOCK_NAME));
    TimerThreadRun run(60000);  // no tick would come during this test without the re-arm
    EXPECT_EQ(-1, TimerThreadRun::WaitForTick(300));

    // The re-arm runs where SPConfig would run it: on this thread, under the module lock.
    {
        ModuleLockScope held;
        Locked()->globalProperty.intervalMs = 150;
        RearmSamplingTimer(held);
    }
    EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0);
    EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0);  // still periodic

    // A tick waits for a lock held elsewhere, as a host's read holds it.
    HANDLE held = TakeNamedLock();
    EXPECT_EQ(-1, TimerThreadRun::WaitForTick(600));
    LetGoNamedLock(held);
    EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0);
}

TEST(TimerThread, ReArmWithoutARunningModuleDoesNothing) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    records.run = nullptr;
    RearmSamplingTimer(lock);
    ModuleRun windowless;
    records.run = &windowless;
    RearmSamplingTimer(lock);
    records.run = nullptr;
    MSG message;
    Sleep(50);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));  // no stray timer or re-arm here
}

TEST(TimerThread, ASecondRunGetsItsWindowAgain) {
    ModuleStateGuard guard;
    for (int run = 0; run < 2; ++run) {
        TimerThreadRun timer(100);
        ASSERT_NE(nullptr, timer.window()) << run;
        EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0) << run;
    }
}
