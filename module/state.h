// The module's run-time state: what one run holds, the records the host reads, the named module
// lock that guards them, the clock, and the one way to report to the host.
#ifndef MODULE_STATE_H
#define MODULE_STATE_H

#include <windows.h>
#include <pdh.h>
#include "../common/handles.h"
#include "kelvrim.h"
#include "sensor_table.h"

constexpr char MODULE_LOCK_NAME[] = "kelvrim";
// How long a scope waits for the named lock: far longer than any holder of the module's keeps it,
// or a host that takes it for a read; short enough that a holder that never lets go (any process
// may make the name first and keep it) costs one late tick, never a hung host.
constexpr DWORD NAMED_LOCK_WAIT_MS = 2000;
// Once a wait has run out, scopes only glance at the lock until they have it again, so that such a
// holder does not cost every request the whole wait.
constexpr DWORD NAMED_LOCK_GLANCE_MS = 50;

// What one run of the module holds: everything a start creates and its stop releases. A start
// fills it on its own thread and publishes it only when it is complete; from then until the stop
// withdraws it nothing writes it but the timer thread, which withdraws its window under the
// module lock when the window goes. Its threads get it at their start and read it while they run.
struct ModuleRun {
    // Handed to the host. The start creates it; set and reset only under the module lock, by
    // anything that raises or reads the reasons; closed by the stop once it is withdrawn.
    UniqueHandle hostEvent;
    // The page-fault counter, created by the start; used only by the sampler thread.
    CounterQuery counterQuery;
    PDH_HCOUNTER pageFaultCounter = nullptr;  // removed from its query just before it closes
    // Tells both workers to end. Created by the start, set by the stop (or a failed start).
    UniqueHandle stopEvent;
    // The workers, created by the start, waited for by the stop.
    UniqueHandle samplerThread;
    UniqueHandle timerThread;
    // The timer thread's hidden window, or null: written by that thread before the start goes
    // on, and set to null by it, under the module lock, as the window is destroyed (by the stop,
    // or by a WM_CLOSE from anywhere in the process). Requests post to it under the lock.
    HWND timerWindow = nullptr;
};

enum : LONG { MODULE_IDLE, MODULE_STARTING, MODULE_RUNNING, MODULE_STOPPING };

class ModuleLockScope;

// The records the module lock guards. They outlive any one run, and are reached only through
// ModuleState::Records, which asks for the held lock.
struct GuardedRecords {
    // The running module's run, or null: published by a successful start, withdrawn by the stop
    // before it takes the run down. Ticks and requests that find it null act as on a stopped module.
    ModuleRun* run = nullptr;
    // Set up at each start, updated by ticks and threshold requests; change bits cleared by reads.
    SPSensorRecord sensorTable[SP_SENSOR_COUNT] = {};
    // Set by a start given settings and by "SP_GBLPROPERTY". Its intervalMs is also read without
    // the lock (ModuleState::IntervalMs), so every write of it is atomic (StoreGlobalProperty).
    SPGlobalProperty globalProperty = {SP_PROP_NOTIFY_NORMAL, 5000};
    // Appended to by set-up, ticks and threshold requests; emptied by "SP_EVENTS".
    EventQueue eventQueue;
    // Raised with the events above; returned and cleared by "SP_EVENTREASON".
    uint32_t pendingReasons = 0;
    // Written by set-up and ticks; read by "SP_CONFIGITEM".
    MemoryFigures memoryFigures = {};
    // The sum of the last completed page-fault cycle. The sampler, which never takes the lock,
    // replaces it (ModuleState::PublishPageFaultSum); readers read it atomically.
    uint32_t pageFaultSum = 0;
};

class ModuleState {
public:
    ModuleState();
    ~ModuleState();

    // The guarded records, for a holder of the module lock only.
    GuardedRecords& Records(const ModuleLockScope&) { return records_; }

    // The two values other threads share without the lock, each read or written atomically: the
    // interval (read by the timer thread arming its first timer, and by the sampler) and the
    // page-fault sum (written by the sampler).
    uint32_t IntervalMs() const;
    void PublishPageFaultSum(uint32_t sum);

    // The named lock, through the handle that keeps it in existence: set once by the first
    // SPInitialize (by interlocked exchange), closed only when the library is unloaded.
    HANDLE lockKeeper = nullptr;
    // Set (by interlocked exchange) when a scope's wait for the named lock ran out, cleared when a
    // scope has it again: meanwhile scopes only glance at it.
    LONG namedLockOverdue = 0;
    // Keeps the module's own threads apart, whatever became of the named lock. No thread of the
    // module waits for anything while it holds it, so a worker ended by force never holds it.
    CRITICAL_SECTION processLock;
    // Where start and stop stand, changed only by interlocked exchange, so that a start and a
    // stop never run over one another: IDLE -> STARTING -> RUNNING -> STOPPING -> IDLE.
    LONG lifecycle = MODULE_IDLE;

private:
    GuardedRecords records_;
};
extern ModuleState moduleState;

// An aligned 32-bit value that another thread reads or replaces without the module lock.
inline uint32_t AtomicRead(const uint32_t& value) {
    return static_cast<uint32_t>(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(const_cast<uint32_t*>(&value)), 0, 0));
}
inline void AtomicWrite(uint32_t& target, uint32_t value) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&target), static_cast<LONG>(value));
}

// Makes the named lock, or opens it when the name is a mutex already, and keeps it for the rest of
// the library's life. Where another object has the name, there is no named lock.
void KeepModuleLock();
// Waits up to waitMs for the named lock; its handle, or null when there is none yet, the wait ran
// out or failed. An abandoned lock counts as taken.
HANDLE AcquireModuleLock(DWORD waitMs);
// 1 when the lock was released; 0 (and no effect) for null.
int ReleaseModuleLock(HANDLE lock);

// The module lock, held for one scope. A function that needs the lock takes the scope as proof,
// so a call without one does not compile. It always keeps the module's other threads out: it
// takes the named lock "kelvrim" when that can be had (not before the first start, nor where
// another object of the session has the name, nor while a holder keeps it past the wait), then
// the process's own lock. In that order a host thread that holds the named lock itself (any
// process may open it) and then makes requests never waits for a thread that holds the process's
// lock, since no thread waits for the named lock while it holds the other. The named lock is a
// mutex: a holder ended by force leaves it abandoned, and the next scope goes on.
class ModuleLockScope {
public:
    ModuleLockScope();
    ~ModuleLockScope();
    ModuleLockScope(const ModuleLockScope&) = delete;
    ModuleLockScope& operator=(const ModuleLockScope&) = delete;

    // Whether the named lock is held too, which keeps other processes that share it out.
    bool HoldsNamedLock() const { return named_ != nullptr; }

private:
    HANDLE named_;
};

// Whole seconds since 1970-01-01 00:00:00 UTC, low 32 bits.
uint32_t UnixTime();
uint32_t UnixTimeOf(const FILETIME& time);

// The reading of sensor `index` now: from the memory figures, and from the last page-fault sum.
uint32_t CurrentSensorValue(const ModuleLockScope& lock, uint32_t index);

// Stores the host's settings; the interval atomically.
void StoreGlobalProperty(const ModuleLockScope&, const SPGlobalProperty& property);
// Appends one event built from the sensor's current fields; dropped when memory runs out.
void QueueEvent(const ModuleLockScope&, const SPSensorRecord& sensor);
// ORs the bits into pendingReasons and signals the running module's host event.
void RaiseReason(const ModuleLockScope&, uint32_t bits);
// The usual pair after a notify decision.
void NotifyHost(const ModuleLockScope& lock, const SPSensorRecord& sensor);

#endif
