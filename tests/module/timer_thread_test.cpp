// The timer thread: its window, ticks, the re-arm from another thread, and an orderly end.
#include <gtest/gtest.h>

#include "module_test_support.h"
#include "timer_thread.h"

namespace {

// Runs TimerThreadMain on a thread of its own with ticks counted through the sensor table.
class TimerThreadRun {
public:
    explicit TimerThreadRun(uint32_t intervalMs) {
        globalProperty.intervalMs = intervalMs;
        for (uint32_t i = 0; i < SENSOR_COUNT; ++i) sensorTable[i].sensorId = SensorIdOf(i);
        moduleInitialized = 1;
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, TimerThreadMain, ready, 0, nullptr);
        WaitForSingleObject(ready, 5000);
        CloseHandle(ready);
    }
    ~TimerThreadRun() {
        moduleInitialized = 0;
        if (timerWindow) PostMessageA(timerWindow, WM_CLOSE, 0, 0);
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
        UnregisterClassA(TIMER_WINDOW_CLASS, ModuleInstance());
        timerWindow = nullptr;
        timerId = 0;
    }
    // Waits (bounded) until a tick stamps a new sample time; the time of that wait in ms, or -1.
    static long WaitForTick(DWORD boundMs) {
        sensorTable[0].sampleTime = 0;
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < boundMs) {
            if (sensorTable[0].sampleTime != 0) return long(GetTickCount() - start);
            Sleep(5);
        }
        return -1;
    }
    HANDLE thread() const { return thread_; }

private:
    HANDLE thread_;
};

}  // namespace

TEST(TimerThread, TicksOnItsHiddenWindowAndEndsOnClose) {
    ModuleStateGuard guard;
    TimerThreadRun run(200);
    ASSERT_NE(nullptr, timerWindow);
    EXPECT_FALSE(IsWindowVisible(timerWindow));
    char title[32] = {};
    GetWindowTextA(timerWindow, title, sizeof title);
    EXPECT_STREQ("kelvrim", title);
    EXPECT_NE(0u, timerId);
    for (int i = 0; i < 3; ++i) EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0) << i;

    // A timer message with any identifier runs one tick.
    KillTimer(timerWindow, SAMPLING_TIMER_ID);
    sensorTable[0].sampleTime = 0;
    SendMessageA(timerWindow, WM_TIMER, 7, 0);
    EXPECT_NE(0u, sensorTable[0].sampleTime);

    PostMessageA(timerWindow, WM_CLOSE, 0, 0);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(run.thread(), 5000));
    DWORD code = 99;
    GetExitCodeThread(run.thread(), &code);
    EXPECT_EQ(0u, code);
}

TEST(TimerThread, ReArmFromAnotherThreadTakesTheNewInterval) {
    ModuleStateGuard guard;
    HANDLE lock = CreateMutexA(nullptr, FALSE, MODULE_LOCK_NAME);
    moduleLock = lock;
    TimerThreadRun run(60000);  // no tick would come during this test without the re-arm
    EXPECT_EQ(-1, TimerThreadRun::WaitForTick(300));

    // The re-arm runs where SPConfig would run it: on this thread, under the module lock.
    globalProperty.intervalMs = 150;
    HANDLE held = AcquireModuleLock(MODULE_LOCK_NAME);
    RearmSamplingTimer();
    ReleaseModuleLock(held);
    EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0);
    EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0);  // still periodic, through the locked callback

    // A tick waits for a lock held elsewhere, however long that is.
    held = AcquireModuleLock(MODULE_LOCK_NAME);
    EXPECT_EQ(-1, TimerThreadRun::WaitForTick(600));
    ReleaseModuleLock(held);
    EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0);
    moduleLock = nullptr;
    CloseHandle(lock);
}

TEST(TimerThread, ReArmWithoutAWindowDoesNothing) {
    timerWindow = nullptr;
    timerId = 0;
    RearmSamplingTimer();
    EXPECT_EQ(0u, timerId);
    MSG message;
    Sleep(50);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));  // no stray timer here
}

TEST(TimerThread, ASecondRunGetsItsWindowAgain) {
    ModuleStateGuard guard;
    for (int run = 0; run < 2; ++run) {
        TimerThreadRun timer(100);
        ASSERT_NE(nullptr, timerWindow) << run;
        EXPECT_GE(TimerThreadRun::WaitForTick(5000), 0) << run;
    }
}
