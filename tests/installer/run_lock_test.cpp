// The run lock: a run that finds it taken waits a second for it, so that a /check's look at the
// lock never turns a patch run away, and a look at it never keeps it.
#include <gtest/gtest.h>

#include <thread>

#include "run_lock.h"

namespace {

// Holds the run lock from another thread for `holdMs`, as another run would.
class Holder {
public:
    explicit Holder(DWORD holdMs) {
        thread_ = std::thread([this, holdMs] {
            UniqueHandle lock(CreateMutexA(nullptr, FALSE, RUN_LOCK_NAME));
            WaitForSingleObject(lock.get(), INFINITE);
            SetEvent(taken_.get());
            Sleep(holdMs);
            ReleaseMutex(lock.get());
        });
        WaitForSingleObject(taken_.get(), INFINITE);
    }
    ~Holder() { thread_.join(); }

private:
    UniqueHandle taken_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread_;
};

TEST(RunLock, ALockLetGoWithinASecondIsTaken) {
    for (const DWORD holdMs : {0u, 300u}) {
        Holder holder(holdMs);
        UniqueHandle lock;
        DWORD error = 1;
        EXPECT_TRUE(TakeRunLock(lock, &error)) << "held for " << holdMs << " ms";
        EXPECT_EQ(error, 0u);
        ReleaseMutex(lock.get());
    }
}

TEST(RunLock, ALockHeldLongerTurnsARunAwayAfterASecond) {
    Holder holder(4000);
    const ULONGLONG start = GetTickCount64();
    UniqueHandle lock;
    DWORD error = 1;
    EXPECT_FALSE(TakeRunLock(lock, &error));
    EXPECT_EQ(error, 0u);
    EXPECT_GE(GetTickCount64() - start, 900u);
    EXPECT_TRUE(RunLockHeldElsewhere());
}

TEST(RunLock, ALookAtAFreeLockLeavesItFree) {
    EXPECT_FALSE(RunLockHeldElsewhere());  // no lock at all
    // Keeps the lock in existence, so a look that kept it would still hold it below.
    UniqueHandle existing(CreateMutexA(nullptr, FALSE, RUN_LOCK_NAME));
    {
        Holder holder(200);  // one that is let go while the look waits
        EXPECT_FALSE(RunLockHeldElsewhere());
    }
    // Another thread, as the lock's owner could take it again however often it looked.
    bool taken = false;
    std::thread([&] {
        UniqueHandle lock;
        DWORD error = 1;
        taken = TakeRunLock(lock, &error);
        if (taken) ReleaseMutex(lock.get());
    }).join();
    EXPECT_TRUE(taken) << "the look kept the lock";
}

}  // namespace
