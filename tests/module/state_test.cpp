// The named module lock, the clock, and event reporting.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <thread>

#include "locked_records.h"
#include "module_test_support.h"

namespace {

DWORD WINAPI HoldByNameUntilSet(void* release) {
    HANDLE lock = TakeNamedLock();
    WaitForSingleObject(release, INFINITE);
    LetGoNamedLock(lock);
    return 0;
}

DWORD TryByName() {
    UniqueHandle lock(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, MODULE_LOCK_NAME));
    const DWORD waited = WaitForSingleObject(lock.get(), 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(lock.get());
    return waited;
}

}  // namespace

// The named lock is made by the first start: before it there is none to take, and a scope goes on
// with the process's own lock alone.
TEST(ModuleLock, ThereIsNoneBeforeTheFirstStartMakesIt) {
    const HANDLE kept = InterlockedExchangePointer(&moduleState.lockKeeper, nullptr);
    EXPECT_EQ(nullptr, AcquireModuleLock(0));
    EXPECT_EQ(0, ReleaseModuleLock(nullptr));
    {
        ModuleLockScope before;
        EXPECT_FALSE(before.HoldsNamedLock());
    }
    InterlockedExchangePointer(&moduleState.lockKeeper, kept);
}

TEST(ModuleLock, NestsOnOneThreadExcludesOthersAndIsTakenWhenAbandoned) {
    KeepModuleLock();
    HANDLE outer = AcquireModuleLock(NAMED_LOCK_WAIT_MS);
    HANDLE inner = AcquireModuleLock(NAMED_LOCK_WAIT_MS);
    ASSERT_NE(nullptr, outer);
    ASSERT_NE(nullptr, inner);
    DWORD waited = 0;
    std::thread([&] { waited = TryByName(); }).join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), waited);
    EXPECT_EQ(1, ReleaseModuleLock(inner));
    EXPECT_EQ(1, ReleaseModuleLock(outer));
    EXPECT_EQ(0, ReleaseModuleLock(outer));  // no longer held

    std::thread([] { AcquireModuleLock(NAMED_LOCK_WAIT_MS); }).join();  // never released: the thread just ends
    HANDLE lock = AcquireModuleLock(NAMED_LOCK_WAIT_MS);
    ASSERT_NE(nullptr, lock);
    EXPECT_EQ(1, ReleaseModuleLock(lock));
}

// Anyone may hold the name and never let go: a scope then waits its bound once, goes on without
// the named lock, and afterwards only glances at it, until it is free again.
TEST(ModuleLock, AHolderThatNeverLetsGoCostsOneWaitThenOnlyAGlance) {
    KeepModuleLock();
    UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle holder(CreateThread(nullptr, 0, HoldByNameUntilSet, release.get(), 0, nullptr));
    for (DWORD begun = GetTickCount(); TryByName() != WAIT_TIMEOUT && GetTickCount() - begun < 10000;) Sleep(10);

    DWORD at = GetTickCount();
    {
        ModuleLockScope first;
        EXPECT_FALSE(first.HoldsNamedLock());
    }
    EXPECT_GE(GetTickCount() - at, NAMED_LOCK_WAIT_MS - 50) << "the first scope did not wait its bound";
    at = GetTickCount();
    {
        ModuleLockScope next;
        EXPECT_FALSE(next.HoldsNamedLock());
    }
    EXPECT_LT(GetTickCount() - at, NAMED_LOCK_WAIT_MS / 2) << "a later scope waited the whole bound again";

    SetEvent(release.get());
    WaitForSingleObject(holder.get(), 10000);
    {
        ModuleLockScope again;
        EXPECT_TRUE(again.HoldsNamedLock()) << "the lock was not taken again once free";
    }
    EXPECT_EQ(0, moduleState.namedLockOverdue);
}

// The scope says whether it holds the named lock, and while it does no one else has it.
TEST(ModuleLock, AScopeSaysWhetherItHoldsTheModuleLock) {
    KeepModuleLock();
    DWORD waited = 0;
    {
        ModuleLockScope held;
        EXPECT_TRUE(held.HoldsNamedLock());
        std::thread([&] { waited = TryByName(); }).join();
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), waited);
    }
    std::thread([&] { waited = TryByName(); }).join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), waited);
}

TEST(Clock, CountsSecondsFromTheEpoch) {
    SYSTEMTIME epoch = {1970, 1, 4, 1, 0, 0, 0, 0};
    FILETIME t;
    ASSERT_TRUE(SystemTimeToFileTime(&epoch, &t));
    EXPECT_EQ(0u, UnixTimeOf(t));
    SYSTEMTIME later = {2001, 9, 0, 9, 1, 46, 40, 999};
    ASSERT_TRUE(SystemTimeToFileTime(&later, &t));
    EXPECT_EQ(1000000000u, UnixTimeOf(t));

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint32_t expected = UnixTimeOf(now);
    uint32_t actual = UnixTime();
    EXPECT_LE(expected, actual);
    EXPECT_LE(actual, expected + 2);
}

TEST(Reporting, QueuedEventCarriesTheSensorFieldsAtTheirOffsets) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    SPSensorRecord sensor = {};
    sensor.sensorId = 0x01020300;
    sensor.groupId = 0x03030000;
    sensor.prevState = SP_STATE_WH;
    sensor.state = SP_STATE_FH;
    sensor.value = 31234;
    sensor.stateTime = 0x5F5E1000;
    records.eventQueue.Clear();
    QueueEvent(lock, sensor);
    QueueEvent(lock, sensor);
    ASSERT_EQ(2u, records.eventQueue.count);

    const uint8_t expected[72] = {
        0x00, 0x10, 0x5E, 0x5F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // eventTime, -, 0, -
        0x00, 0x03, 0x02, 0x01, 0x00, 0x00, 0x03, 0x03,                // sensorId, groupId
        0x01, 0x02, 0x02, 0x02, 0x02, 0x7A, 0x00, 0x00,                // prevState, state, value
        0, 0, 0, 0,                                                    // zero word
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x00, 0x00, 0x01, 0x00, 0x3F, 0x0A, 0x00, 0x00,  // eventClass, eventCode
    };
    EXPECT_EQ(0, memcmp(expected, &records.eventQueue.items[0], 72));
    EXPECT_EQ(0, memcmp(expected, &records.eventQueue.items[1], 72));  // two identical records in order
    records.eventQueue.Clear();
}

TEST(Reporting, RaisingAReasonSignalsTheHostEvent) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    RaiseReason(lock, SP_REASON_EVENTS);  // no running module: the reason is kept all the same
    EXPECT_EQ(SP_REASON_EVENTS, records.pendingReasons);
    PublishedRun run;
    RaiseReason(lock, SP_REASON_EVENTS);
    RaiseReason(lock, SP_REASON_EVENTS);
    EXPECT_EQ(SP_REASON_EVENTS, records.pendingReasons);
    EXPECT_TRUE(run.EventSet());
    EXPECT_TRUE(run.EventSet());  // manual reset
}

TEST(Reporting, QueueGrowsInArrivalOrder) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    records.eventQueue.Clear();
    SPSensorRecord sensor = {};
    for (uint32_t i = 0; i < 1000; ++i) {
        sensor.value = i;
        QueueEvent(lock, sensor);
    }
    ASSERT_EQ(1000u, records.eventQueue.count);
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(i, records.eventQueue.items[i].value);
    records.eventQueue.Clear();
}
