// Where another object of the session already has the module lock's name, the named mutex cannot
// be made: the module's own threads must still keep out of each other's way, before the first
// start and after it. A program of its own, so that the name is still free when it begins.
#include <gtest/gtest.h>

#include "locked_records.h"
#include "module_test_support.h"
#include "pdh_stand_in.h"

namespace {

constexpr DWORD HELD_MS = 500;

struct Contender {
    UniqueHandle entered{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

// Takes a scope, says so, and holds it until told to let go.
DWORD WINAPI HoldScope(void* p) {
    Contender& contender = *static_cast<Contender*>(p);
    ModuleLockScope lock;
    SetEvent(contender.entered.get());
    WaitForSingleObject(contender.release.get(), INFINITE);
    return 0;
}

// One thread holds a scope; a second one's scope must wait until the first lets go.
void ExpectTheSecondScopeWaits() {
    Contender first, second;
    SetEvent(second.release.get());
    UniqueHandle holder(CreateThread(nullptr, 0, HoldScope, &first, 0, nullptr));
    // Not an ASSERT: returning here would leave the holder waiting for a release that never comes.
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(first.entered.get(), 10000));
    UniqueHandle waiter(CreateThread(nullptr, 0, HoldScope, &second, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(second.entered.get(), HELD_MS))
        << "a second thread's scope did not wait for the first";
    SetEvent(first.release.get());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(second.entered.get(), 10000));
    WaitForSingleObject(holder.get(), 10000);
    WaitForSingleObject(waiter.get(), 10000);
}

TEST(ModuleLockName, TakenByAnEventTheModulesThreadsStillExcludeEachOther) {
    // Made before the module's first call, as another program of the session might.
    UniqueHandle squatter(CreateEventA(nullptr, TRUE, FALSE, MODULE_LOCK_NAME));
    ASSERT_TRUE(squatter);
    ASSERT_EQ(ERROR_SUCCESS, GetLastError()) << "the name was taken before the test";

    {
        SCOPED_TRACE("before the first start");
        ExpectTheSecondScopeWaits();
    }

    // A start still starts without the named lock (the design lets work go on without it), and
    // its scopes keep excluding each other.
    ModuleStateGuard guard;
    SettingsKey key;
    ASSERT_TRUE(pdh_stand_in::Reset());
    SPStartupInfo info = {};
    ASSERT_EQ(1, SPInitialize(nullptr, &info));
    EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, MODULE_LOCK_NAME)) << "a named lock after all";
    {
        SCOPED_TRACE("while the module runs");
        ExpectTheSecondScopeWaits();
    }
    EXPECT_STREQ("Page Faults/sec", Locked()->sensorTable[2].name);
    EXPECT_EQ(1, SPUninitialize());
}

}  // namespace
