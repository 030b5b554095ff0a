// Start and stop change what requests see only while they hold the module lock: a request that
// holds it sees a start either not yet begun on the records or complete, and a stop's run still
// whole, host event included.
#include <gtest/gtest.h>

#include "locked_records.h"
#include "module_test_support.h"
#include "pdh_stand_in.h"

namespace {

constexpr DWORD HELD_MS = 400;

struct Call {
    SPStartupInfo info = {};
    int result = -1;
};

DWORD WINAPI Start(void* p) {
    Call& call = *static_cast<Call*>(p);
    call.result = SPInitialize(nullptr, &call.info);
    return 0;
}

// What a request saw of the module once it had the lock.
struct Seen {
    bool published = false;
    bool setUp = false;
};

DWORD WINAPI Request(void* p) {
    Seen& seen = *static_cast<Seen*>(p);
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    seen.published = records.run != nullptr;
    seen.setUp = strcmp(records.sensorTable[2].name, "Page Faults/sec") == 0;
    return 0;
}

DWORD WINAPI Stop(void* p) {
    static_cast<Call*>(p)->result = SPUninitialize();
    return 0;
}

}  // namespace

TEST(ModuleLock, StartAndStopWaitForARequestThatHoldsIt) {
    ModuleStateGuard guard;
    SettingsKey key;
    ASSERT_TRUE(pdh_stand_in::Reset());
    SPStartupInfo warm = {};
    ASSERT_EQ(1, SPInitialize(nullptr, &warm));  // the lock exists from here on
    ASSERT_EQ(1, SPUninitialize());
    memset(Locked()->sensorTable, 0, sizeof Locked()->sensorTable);

    // A start: nothing of it shows while the lock is held elsewhere.
    HANDLE held = TakeNamedLock();
    ASSERT_NE(nullptr, held);
    Call start;
    UniqueHandle starter(CreateThread(nullptr, 0, Start, &start, 0, nullptr));
    // Its workers run once its timer window exists: from then on it waits for the lock.
    for (DWORD begun = GetTickCount(); !FindWindowA("kelvrim", nullptr) && GetTickCount() - begun < 10000;)
        Sleep(20);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(starter.get(), HELD_MS));
    EXPECT_EQ(nullptr, Locked()->run);
    EXPECT_EQ(0u, Locked()->sensorTable[2].sensorId);
    EXPECT_STREQ("", Locked()->sensorTable[2].name);
    // A request queued behind the start sees no run, or a run whose sensors are all set up.
    Seen seen;
    UniqueHandle requester(CreateThread(nullptr, 0, Request, &seen, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(requester.get(), HELD_MS));
    LetGoNamedLock(held);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(starter.get(), 10000));
    ASSERT_EQ(1, start.result);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(requester.get(), 10000));
    EXPECT_TRUE(!seen.published || seen.setUp) << "a request saw a published run whose sensors were not set up";
    EXPECT_STREQ("Page Faults/sec", Locked()->sensorTable[2].name);
    EXPECT_NE(nullptr, Locked()->run);

    // A stop: the run and its host event stay whole while the lock is held elsewhere.
    held = TakeNamedLock();
    Call stop;
    UniqueHandle stopper(CreateThread(nullptr, 0, Stop, &stop, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(stopper.get(), HELD_MS));
    EXPECT_NE(nullptr, Locked()->run);
    EXPECT_NE(WAIT_FAILED, WaitForSingleObject(start.info.hostEvent, 0));
    LetGoNamedLock(held);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(stopper.get(), 10000));
    EXPECT_EQ(1, stop.result);
    EXPECT_EQ(nullptr, Locked()->run);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(start.info.hostEvent, 0));
}
