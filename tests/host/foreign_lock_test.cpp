// The module lock is the named mutex "kelvrim", which any process of the session may open, or
// make first and never let go of. Such a holder must not hang the host: every export returns
// within a few seconds, ticks go on and reach the host, and the named lock is honoured again as
// soon as it is free. A host thread that holds the name across the stop does not stall it either.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "module_host.h"
#include "pdh_stand_in.h"
#include "squatter.h"

using namespace host;

namespace {

// "Within a few seconds": a bound on each export while a stranger holds the lock. A generous one:
// the point is that the calls end at all, which today they do not.
constexpr DWORD EXPORT_BOUND_MS = 6000;
constexpr uint32_t INTERVAL_MS = 1000;
constexpr Limits ALWAYS[3] = {ALWAYS_FH, ALWAYS_FH, ALWAYS_FH};

DWORD Since(DWORD start) { return GetTickCount() - start; }

// What the host saw, in the order it did it.
struct HostRun {
    bool started = false;
    DWORD startMs = 0, requestMs = 0, eventMs = 0, stopMs = 0;
    int request = 0, stopped = 0;
    bool event = false;
    size_t events = 0;
};

// Every limit at 0, the machine's own page-fault rate, and a freshly loaded module.
class ForeignLock : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteSettings(ALWAYS));
        ASSERT_TRUE(pdh_stand_in::Reset());
    }
    // Another process makes the mutex "kelvrim" before the module does and holds it.
    void Squat() {
        squatter = std::make_unique<Squatter>(BesideThisProgram("squatter.exe"), "mutex", "kelvrim");
        ASSERT_TRUE(squatter->Ready()) << squatter->Said();
    }
    std::unique_ptr<Squatter> squatter;
};

TEST_F(ForeignLock, AHolderThatNeverLetsGoCostsAtMostALateTick) {
    Squat();
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());
    HostRun seen;
    UniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread host([&] {
        DWORD at = GetTickCount();
        seen.started = module.Start(SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL, INTERVAL_MS);
        seen.startMs = Since(at);
        if (seen.started) {
            std::vector<SPSensorStatus> status = SensorRecords<SPSensorStatus>(module, SP_SELECT_STATUS);
            at = GetTickCount();
            status = SensorRecords<SPSensorStatus>(module, SP_SELECT_STATUS);
            seen.requestMs = Since(at);
            seen.request = static_cast<int>(status.size());
            // Every tick finds every reading at its alarm limit: with the repeat flag, each notifies.
            DrainEvents(module);
            at = GetTickCount();
            seen.event = WaitForSingleObject(module.Event(), 20 * INTERVAL_MS) == WAIT_OBJECT_0;
            seen.eventMs = Since(at);
            seen.events = DrainEvents(module).size();
            at = GetTickCount();
            seen.stopped = module.Uninitialize();
            seen.stopMs = Since(at);
        }
        SetEvent(done.get());
    });
    const bool ended = WaitForSingleObject(done.get(), 120000) == WAIT_OBJECT_0;
    squatter.reset();  // a host still stuck in the module gets the lock now, abandoned
    host.join();
    ASSERT_TRUE(ended) << "the host hung in the module for two minutes behind a lock it never gets";

    ASSERT_TRUE(seen.started);
    EXPECT_LT(seen.startMs, EXPORT_BOUND_MS) << "SPInitialize";
    EXPECT_EQ(seen.request, 3);
    EXPECT_LT(seen.requestMs, EXPORT_BOUND_MS) << "SP_SENSORS";
    EXPECT_TRUE(seen.event) << "no tick reached the host in " << 20 * INTERVAL_MS << " ms";
    EXPECT_GE(seen.events, 3u);
    EXPECT_EQ(seen.stopped, 1);
    EXPECT_LT(seen.stopMs, EXPORT_BOUND_MS) << "SPUninitialize";
}

// Once the stranger is gone the named lock counts again: a host thread that holds it for a read
// keeps a request out until it lets go.
TEST_F(ForeignLock, TheLockIsHonouredAgainOnceItIsFree) {
    Squat();
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());
    std::thread starter([&] { module.Start(SP_PROP_NOTIFY_NORMAL); });
    // A start still stuck behind the stranger gets the lock, abandoned, once the stranger is gone.
    Sleep(EXPORT_BOUND_MS);
    squatter.reset();
    starter.join();
    ASSERT_EQ(3u, SensorRecords<SPSensorSummary>(module, SP_SELECT_SUMMARY).size());

    constexpr DWORD HELD_MS = 1500;
    UniqueHandle lock(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "kelvrim"));
    ASSERT_TRUE(lock);
    const DWORD waited = WaitForSingleObject(lock.get(), 5000);
    ASSERT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED);
    DWORD requestEndedAt = 0;
    const DWORD heldAt = GetTickCount();
    std::thread request([&] {
        SensorRecords<SPSensorSummary>(module, SP_SELECT_SUMMARY);
        requestEndedAt = GetTickCount();
    });
    Sleep(HELD_MS);
    ReleaseMutex(lock.get());
    request.join();
    EXPECT_GE(requestEndedAt - heldAt, HELD_MS - 100) << "a request ran while a host thread held the lock";
}

// A host thread that holds the named lock while it stops the module: the stop ends both workers
// as usual, in well under its 5-second bound, and none of them is ended by force.
TEST_F(ForeignLock, AHostThreadHoldingTheLockDoesNotStallTheStop) {
    LoadedModule watch(LoadLibraryA(BesideThisProgram("thread_watch.dll").c_str()));
    ASSERT_TRUE(watch);
    using Count = LONG(__cdecl*)();
    const auto started = reinterpret_cast<Count>(reinterpret_cast<void*>(GetProcAddress(watch.get(), "ThreadsStarted")));
    const auto ended = reinterpret_cast<Count>(reinterpret_cast<void*>(GetProcAddress(watch.get(), "ThreadsEnded")));
    ASSERT_TRUE(started && ended);

    ModuleHost module;
    ASSERT_TRUE(module.Loaded());
    const LONG runningBefore = started() - ended();
    ASSERT_TRUE(module.Start(SP_PROP_NOTIFY_NORMAL, INTERVAL_MS));
    EXPECT_GE(started() - ended(), runningBefore + 2) << "the module's two workers";

    UniqueHandle lock(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "kelvrim"));
    ASSERT_TRUE(lock);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(lock.get(), 5000));
    const DWORD at = GetTickCount();
    EXPECT_EQ(1, module.Uninitialize());
    const DWORD stopMs = Since(at);
    ReleaseMutex(lock.get());
    EXPECT_LT(stopMs, 3000u) << "the stop waited for its workers as far as its bound";
    EXPECT_EQ(started() - ended(), runningBefore) << "a thread of the module was ended by force";
}

}  // namespace
