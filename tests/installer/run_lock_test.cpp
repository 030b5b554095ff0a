// The run lock: a run that finds it taken waits a second for it, so that a /check's short hold of
// the lock never turns a patch run away, and two that wait for it both get it in turn. An object
// that someone else made under its name is never taken for a run's lock.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "run_lock.h"

#include <sddl.h>

namespace {

// Holds the run lock from another thread for `holdMs`, as another run would.
class Holder {
public:
    explicit Holder(DWORD holdMs) {
        thread_ = std::thread([this, holdMs] {
            UniqueHandle lock;
            char detail[256];
            took_ = TakeRunLock(lock, detail, sizeof detail) == RunLock::Free;
            SetEvent(taken_.get());
            Sleep(holdMs);
            ReleaseMutex(lock.get());
        });
        WaitForSingleObject(taken_.get(), INFINITE);
    }
    ~Holder() { thread_.join(); }
    bool Took() const { return took_; }

private:
    UniqueHandle taken_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    bool took_ = false;
    std::thread thread_;
};

TEST(RunLock, ALockLetGoWithinASecondIsTaken) {
    for (const DWORD holdMs : {0u, 300u}) {
        Holder holder(holdMs);
        ASSERT_TRUE(holder.Took());
        UniqueHandle lock;
        char detail[256];
        EXPECT_EQ(TakeRunLock(lock, detail, sizeof detail), RunLock::Free) << "held for " << holdMs << " ms";
        ReleaseMutex(lock.get());
    }
}

TEST(RunLock, ALockHeldLongerTurnsARunAwayAfterASecond) {
    Holder holder(4000);
    const ULONGLONG start = GetTickCount64();
    UniqueHandle lock;
    char detail[256];
    EXPECT_EQ(TakeRunLock(lock, detail, sizeof detail), RunLock::HeldByRun);
    EXPECT_GE(GetTickCount64() - start, 900u);
}

// Two that wait for the lock at once, as two checks or a check and a run do: once the holder lets
// go, both get it in turn, neither is turned away.
TEST(RunLock, TwoWaitersBothGetItInTurn) {
    struct Waiter {
        UniqueHandle waiting{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
        RunLock found = RunLock::Failed;
        LONG returned = 0;
    } waiters[2];
    UniqueHandle held;
    char detail[256];
    ASSERT_EQ(TakeRunLock(held, detail, sizeof detail), RunLock::Free);
    std::vector<std::thread> threads;
    for (Waiter& waiter : waiters) {
        threads.emplace_back([&waiter] {
            UniqueHandle lock;
            char mine[256];
            SetEvent(waiter.waiting.get());
            waiter.found = TakeRunLock(lock, mine, sizeof mine);
            InterlockedExchange(&waiter.returned, 1);
            Sleep(50);  // held a moment, as a check holds it while it reads
            if (waiter.found == RunLock::Free) ReleaseMutex(lock.get());
        });
    }
    // Both have begun their wait and neither has its answer while the lock is held: both are blocked.
    for (Waiter& waiter : waiters) ASSERT_EQ(WaitForSingleObject(waiter.waiting.get(), 10000), WAIT_OBJECT_0);
    Sleep(200);
    for (Waiter& waiter : waiters) EXPECT_EQ(waiter.returned, 0) << "a waiter had its answer while the lock was held";
    ReleaseMutex(held.get());
    for (std::thread& thread : threads) thread.join();
    for (const Waiter& waiter : waiters) EXPECT_EQ(waiter.found, RunLock::Free);
}

// A run's hold that is let go leaves the lock free for anyone.
TEST(RunLock, AHoldLetGoLeavesItFree) {
    char detail[256];
    UniqueHandle existing;
    ASSERT_EQ(TakeRunLock(existing, detail, sizeof detail), RunLock::Free);
    ReleaseMutex(existing.get());
    // Another thread, as the lock's owner could take it again however often it held it.
    RunLock taken = RunLock::Failed;
    std::thread([&] {
        UniqueHandle lock;
        char again[256];
        taken = TakeRunLock(lock, again, sizeof again);
        if (taken == RunLock::Free) ReleaseMutex(lock.get());
    }).join();
    EXPECT_EQ(taken, RunLock::Free) << "the hold kept the lock";
}

// Under the lock's name, an object of another kind, a mutex that neither Administrators nor SYSTEM
// own, or one administrators may not open, is a stranger's: it is named, never waited for as a run.
TEST(RunLock, AnObjectSomeoneElseMadeUnderItsNameIsAStranger) {
    PSECURITY_DESCRIPTOR usersOwn = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1, &usersOwn,
                                                                     nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, usersOwn, FALSE};
    PSECURITY_DESCRIPTOR noOneLetIn = nullptr;  // an empty DACL: no one is let in
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BUD:", SDDL_REVISION_1, &noOneLetIn, nullptr));
    SECURITY_ATTRIBUTES closed = {sizeof closed, noOneLetIn, FALSE};
    const struct {
        const char* what;
        std::function<HANDLE()> make;
        const char* detail;
    } strangers[] = {
        {"an event", [] { return CreateEventA(nullptr, TRUE, FALSE, RUN_LOCK_NAME); }, "an event, owned by "},
        {"a mutex of the Users group", [&] { return CreateMutexA(&attributes, TRUE, RUN_LOCK_NAME); },
         "a mutex owned by S-1-5-32-545"},
        {"a mutex no one may open", [&] { return CreateMutexA(&closed, TRUE, RUN_LOCK_NAME); },
         "a mutex that administrators may not open"},
    };
    for (const auto& s : strangers) {
        SCOPED_TRACE(s.what);
        UniqueHandle object;
        std::thread([&] { object.reset(s.make()); }).join();  // a mutex held by a thread that ended: abandoned
        ASSERT_TRUE(object);
        char detail[256] = {};
        const ULONGLONG start = GetTickCount64();
        UniqueHandle lock;
        EXPECT_EQ(TakeRunLock(lock, detail, sizeof detail), RunLock::Stranger);
        EXPECT_EQ(std::string(detail).rfind(s.detail, 0), 0u) << detail;
        EXPECT_LT(GetTickCount64() - start, 900u) << "a stranger's object was waited for as a run's";
    }
    LocalFree(usersOwn);
    LocalFree(noOneLetIn);
}

}  // namespace
