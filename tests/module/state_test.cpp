// The named module lock, the clock, and event reporting.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "locked_records.h"
#include "module_test_support.h"

namespace {

// A lock name of this test's own, so no other test or process shares it.
std::string UniqueLockName(const char* what) {
    char name[64];
    snprintf(name, sizeof name, "kelvrim-test-%s-%lu", what, GetCurrentProcessId());
    return name;
}

}  // namespace

TEST(ModuleLock, DoesNotExistBeforeItIsCreated) {
    std::string name = UniqueLockName("absent");
    EXPECT_EQ(nullptr, AcquireModuleLock(name.c_str()));
    EXPECT_EQ(0, ReleaseModuleLock(nullptr));
}

TEST(ModuleLock, NestsOnOneThreadAndExcludesOthers) {
    std::string name = UniqueLockName("nest");
    HANDLE creator = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, creator);
    HANDLE outer = AcquireModuleLock(name.c_str());
    HANDLE inner = AcquireModuleLock(name.c_str());
    ASSERT_NE(nullptr, outer);
    ASSERT_NE(nullptr, inner);

    struct Probe {
        const char* name;
        DWORD wait;
    } probe = {name.c_str(), 0};
    LPTHREAD_START_ROUTINE tryFromAnotherThread = [](void* p) WINAPI -> DWORD {
        Probe* probe = static_cast<Probe*>(p);
        HANDLE h = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, probe->name);
        probe->wait = WaitForSingleObject(h, 0);
        if (probe->wait == WAIT_OBJECT_0) ReleaseMutex(h);
        CloseHandle(h);
        return 0;
    };
    HANDLE t = CreateThread(nullptr, 0, tryFromAnotherThread, &probe, 0, nullptr);
    WaitForSingleObject(t, 10000);
    CloseHandle(t);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), probe.wait);

    EXPECT_EQ(1, ReleaseModuleLock(inner));
    EXPECT_EQ(1, ReleaseModuleLock(outer));
    EXPECT_EQ(0, ReleaseModuleLock(creator));  // no longer held: fails and leaves the handle
    CloseHandle(creator);
}

TEST(ModuleLock, AnAbandonedLockIsTakenByTheNextCaller) {
    std::string name = UniqueLockName("abandoned");
    HANDLE creator = CreateMutexA(nullptr, FALSE, name.c_str());
    LPTHREAD_START_ROUTINE takeAndVanish = [](void* p) WINAPI -> DWORD {
        AcquireModuleLock(static_cast<const char*>(p));  // never released: the thread just ends
        return 0;
    };
    HANDLE t = CreateThread(nullptr, 0, takeAndVanish, const_cast<char*>(name.c_str()), 0, nullptr);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(t, 10000));
    CloseHandle(t);

    HANDLE lock = AcquireModuleLock(name.c_str());
    ASSERT_NE(nullptr, lock);
    EXPECT_EQ(1, ReleaseModuleLock(lock));
    CloseHandle(creator);
}

// The scope says whether it holds the module's own lock: a request made before any start has no
// lock to take, and goes on without it.
TEST(ModuleLock, AScopeSaysWhetherItHoldsTheModuleLock) {
    HANDLE existing = OpenMutexA(SYNCHRONIZE, FALSE, MODULE_LOCK_NAME);
    if (!existing) {
        ModuleLockScope before;
        EXPECT_FALSE(before.HoldsNamedLock());
    }
    UniqueHandle keeper(CreateMutexA(nullptr, FALSE, MODULE_LOCK_NAME));
    ASSERT_TRUE(keeper);
    if (existing) CloseHandle(existing);
    DWORD waited = 0;
    LPTHREAD_START_ROUTINE tryIt = [](void* p) WINAPI -> DWORD {
        HANDLE h = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, MODULE_LOCK_NAME);
        *static_cast<DWORD*>(p) = WaitForSingleObject(h, 0);
        if (*static_cast<DWORD*>(p) == WAIT_OBJECT_0) ReleaseMutex(h);
        CloseHandle(h);
        return 0;
    };
    {
        ModuleLockScope held;
        EXPECT_TRUE(held.HoldsNamedLock());
        UniqueHandle other(CreateThread(nullptr, 0, tryIt, &waited, 0, nullptr));
        WaitForSingleObject(other.get(), 10000);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), waited);
    }
    UniqueHandle after(CreateThread(nullptr, 0, tryIt, &waited, 0, nullptr));
    WaitForSingleObject(after.get(), 10000);
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
