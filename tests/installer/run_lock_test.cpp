// The run lock: a run that finds it taken waits a second for it, so that a /check's look at the
// lock never turns a patch run away, and a look at it never keeps it. An object that someone
// else made under its name is never taken for a run's lock.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

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
    EXPECT_EQ(LookAtRunLock(detail, sizeof detail), RunLock::HeldByRun);
}

TEST(RunLock, ALookAtAFreeLockLeavesItFree) {
    char detail[256];
    EXPECT_EQ(LookAtRunLock(detail, sizeof detail), RunLock::Free);  // no lock at all
    // Keeps the lock in existence, so a look that kept it would still hold it below.
    UniqueHandle existing;
    ASSERT_EQ(TakeRunLock(existing, detail, sizeof detail), RunLock::Free);
    ReleaseMutex(existing.get());
    {
        Holder holder(200);  // one that is let go while the look waits
        EXPECT_EQ(LookAtRunLock(detail, sizeof detail), RunLock::Free);
    }
    // Another thread, as the lock's owner could take it again however often it looked.
    RunLock taken = RunLock::Failed;
    std::thread([&] {
        UniqueHandle lock;
        char again[256];
        taken = TakeRunLock(lock, again, sizeof again);
        if (taken == RunLock::Free) ReleaseMutex(lock.get());
    }).join();
    EXPECT_EQ(taken, RunLock::Free) << "the look kept the lock";
}

// Under the lock's name, an object of another kind, or a mutex that neither Administrators nor
// SYSTEM own, is a stranger's: it is named, never waited for as a run.
TEST(RunLock, AnObjectSomeoneElseMadeUnderItsNameIsAStranger) {
    PSECURITY_DESCRIPTOR usersOwn = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1, &usersOwn,
                                                                     nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, usersOwn, FALSE};
    const struct {
        const char* what;
        std::function<HANDLE()> make;
        const char* detail;
    } strangers[] = {
        {"an event", [] { return CreateEventA(nullptr, TRUE, FALSE, RUN_LOCK_NAME); }, "an event, owned by "},
        {"a mutex of the Users group", [&] { return CreateMutexA(&attributes, TRUE, RUN_LOCK_NAME); },
         "a mutex owned by S-1-5-32-545"},
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
        EXPECT_EQ(LookAtRunLock(detail, sizeof detail), RunLock::Stranger);
        EXPECT_EQ(std::string(detail).rfind(s.detail, 0), 0u) << detail;
    }
    LocalFree(usersOwn);
}

}  // namespace
