// SPInitialize and SPUninitialize: building a run of the module, publishing it, and taking it down.
#include "counter_names.h"
#include "counter_query.h"
#include "kelvrim.h"
#include "os_check.h"
#include "sampling.h"
#include "sensor_setup.h"
#include "state.h"
#include "timer_thread.h"

namespace {

constexpr DWORD WORKER_STOP_BOUND_MS = 5000;
constexpr uint32_t STARTUP_CODE = 5;

// At most one run exists: a start builds it only from idle, after the last stop has taken it down.
ModuleRun runSlot;

// Looks up one name into a 260-character buffer; a name that does not fit is a failure.
bool LocalizedName(const CounterNameLists& lists, const wchar_t* englishName, wchar_t (&name)[MAX_PATH]) {
    uint32_t capacity = MAX_PATH;
    return TranslateCounterName(lists, englishName, name, &capacity) && capacity == MAX_PATH;
}

// Creates everything a run holds, in this order; false at the first failure, with what was
// created left in `run` for TakeDown. The host gets the event as soon as it exists.
bool BuildRun(ModuleRun& run, SPStartupInfo& info) {
    run.hostEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!run.hostEvent) return false;
    info.hostEvent = run.hostEvent.get();

    // One read of the name lists serves both names: it is the largest piece of a start's work.
    wchar_t objectName[MAX_PATH] = {};
    wchar_t counterName[MAX_PATH] = {};
    {
        CounterNameLists lists;
        if (!ReadCounterNameLists(lists) || !LocalizedName(lists, L"Memory", objectName) ||
            !LocalizedName(lists, L"Page Faults/sec", counterName))
            return false;
    }
    run.counterQuery = OpenCounterQuery();
    run.pageFaultCounter = AddCounter(run.counterQuery.get(), objectName, counterName);
    if (!run.pageFaultCounter) return false;

    run.stopEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!run.stopEvent) return false;
    // Not reported when it fails: the module then runs without ticks.
    run.timerThread = StartTimerThread(run);
    // Last: its first collection would otherwise slow every step after it.
    run.samplerThread.reset(CreateThread(nullptr, 0, PageFaultSampler, &run, 0, nullptr));
    return static_cast<bool>(run.samplerThread);
}

// Publishes the run and sets the sensors up in one hold of the lock, so that no request or tick
// ever sees a sensor half set up. A set-up that fails withdraws the run again.
LONG PublishRun(ModuleRun& run) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    records.run = &run;
    const LONG setup = SetupSensors(lock);
    if (setup != ERROR_SUCCESS) {
        records.run = nullptr;
        return setup;
    }
    // An interval set after the timer thread armed its timer found no run to re-arm.
    RearmSamplingTimer(lock);
    return setup;
}

// Waits for a worker that was told to stop; ends it by force only past the bound.
void EndWorker(UniqueHandle& thread) {
    if (!thread) return;
    if (WaitForSingleObject(thread.get(), WORKER_STOP_BOUND_MS) == WAIT_TIMEOUT) TerminateThread(thread.get(), 0);
    thread.reset();
}

// Releases what BuildRun created, in reverse order, whether it got all the way or not; the run
// is not published. The host may unload the library as soon as either export returns.
void TakeDown(ModuleRun& run) {
    if (run.stopEvent) SetEvent(run.stopEvent.get());
    EndWorker(run.samplerThread);
    if (run.timerThread) {
        EndWorker(run.timerThread);
        // The class must not outlive this run: a later load of the module may sit elsewhere.
        UnregisterClassA(TIMER_WINDOW_CLASS, ModuleInstance());
    }
    // A window handle can be reused by any window of the host once ours is gone.
    run.timerWindow = nullptr;
    run.stopEvent.reset();
    RemoveCounter(run.pageFaultCounter);
    run.pageFaultCounter = nullptr;
    run.counterQuery.reset();
    run.hostEvent.reset();
}

void SetLifecycle(LONG state) { InterlockedExchange(&moduleState.lifecycle, state); }

// What a start that got under way returns when it fails: nothing of it may stay behind, not even
// the value of the event it closes in the host's record (the host might close it in turn, and by
// then it may name another object of the host's).
int FailStart(SPStartupInfo& info) {
    if (runSlot.hostEvent) info.hostEvent = nullptr;
    TakeDown(runSlot);
    SetLifecycle(MODULE_IDLE);
    return 0;
}

}  // namespace

extern "C" int SPInitialize(const SPGlobalProperty* settings, SPStartupInfo* info) {
    // The lock exists from the first call on, even when the module does not start.
    KeepModuleLock();
    if (!IsSupportedOs()) return 0;
    const LONG was = InterlockedCompareExchange(&moduleState.lifecycle, MODULE_STARTING, MODULE_IDLE);
    if (was != MODULE_IDLE) return was == MODULE_RUNNING ? 1 : 0;
    if (!info) {
        SetLifecycle(MODULE_IDLE);
        return 0;
    }
    if (settings) {
        ModuleLockScope lock;
        StoreGlobalProperty(lock, *settings);
    }
    info->startupCode = STARTUP_CODE;

    if (!BuildRun(runSlot, *info)) return FailStart(*info);
    const LONG setup = PublishRun(runSlot);
    if (setup != ERROR_SUCCESS) {
        ReportSetupFailure(setup);
        return FailStart(*info);
    }
    SetLifecycle(MODULE_RUNNING);
    return 1;
}

extern "C" int SPUninitialize(void) {
    if (InterlockedCompareExchange(&moduleState.lifecycle, MODULE_STOPPING, MODULE_RUNNING) != MODULE_RUNNING)
        return 0;
    {
        // From here on no request or tick reaches the run; the lock is not held while it ends.
        ModuleLockScope lock;
        moduleState.Records(lock).run = nullptr;
    }
    TakeDown(runSlot);
    SetLifecycle(MODULE_IDLE);
    return 1;
}
