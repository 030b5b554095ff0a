// The module's run-time state, the named module lock, the clock, and the one way to report to
// the host.
#ifndef MODULE_STATE_H
#define MODULE_STATE_H

#include <windows.h>
#include <pdh.h>
#include "../common/handles.h"
#include "kelvrim.h"

constexpr char MODULE_LOCK_NAME[] = "kelvrim";

// What one run of the module holds: everything a start creates and its stop releases. A start
// fills it on its own thread and publishes it only when it is complete; from then until the stop
// withdraws it nothing writes it. Its threads get it at their start and read it while they run.
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
    // The timer thread's hidden window, or null: written by that thread before the start goes on,
    // destroyed by it as it ends. Requests post to it, under the module lock, while the run is
    // published.
    HWND timerWindow = nullptr;
};

enum : LONG { MODULE_IDLE, MODULE_STARTING, MODULE_RUNNING, MODULE_STOPPING };

struct ModuleState {
    // A handle that keeps the named lock in existence: set once by the first SPInitialize (by
    // interlocked exchange), never closed. The lock itself is always taken by name.
    HANDLE lock = nullptr;
    // Where start and stop stand, changed only by interlocked exchange, so that a start and a
    // stop never run over one another: IDLE -> STARTING -> RUNNING -> STOPPING -> IDLE.
    LONG lifecycle = MODULE_IDLE;
    // The running module's run, or null. Guarded by the module lock: published by a successful
    // start, withdrawn by the stop before it takes the run down. Ticks and requests that find it
    // null act as on a stopped module.
    ModuleRun* run = nullptr;
};
extern ModuleState moduleState;

// Opens the named lock and waits for it; null when it does not exist or the wait fails.
// An abandoned lock counts as taken.
HANDLE AcquireModuleLock(const char* name);
// 1 when the lock was released and its handle closed; 0 (and no effect) for null.
int ReleaseModuleLock(HANDLE lock);

// Held for one scope; the work goes on without the lock when it cannot be had.
class ModuleLockScope {
public:
    ModuleLockScope() : lock_(AcquireModuleLock(MODULE_LOCK_NAME)) {}
    ~ModuleLockScope() { ReleaseModuleLock(lock_); }
    ModuleLockScope(const ModuleLockScope&) = delete;
    ModuleLockScope& operator=(const ModuleLockScope&) = delete;

private:
    HANDLE lock_;
};

// Whole seconds since 1970-01-01 00:00:00 UTC, low 32 bits.
uint32_t UnixTime();
uint32_t UnixTimeOf(const FILETIME& time);

// The reporting calls below need the module lock (or no other thread in the module).
// Appends one event built from the sensor's current fields; dropped when memory runs out.
void QueueEvent(const SPSensorRecord& sensor);
// ORs the bits into pendingReasons and signals the running module's host event.
void RaiseReason(uint32_t bits);
// The usual pair after a notify decision.
void NotifyHost(const SPSensorRecord& sensor);

#endif
