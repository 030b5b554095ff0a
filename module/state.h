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

struct ModuleState {
    // A handle that keeps the named lock in existence: set once by the first SPInitialize (by
    // interlocked exchange), never closed. The lock itself is always taken by name.
    HANDLE lockKeeper = nullptr;
    // Where start and stop stand, changed only by interlocked exchange, so that a start and a
    // stop never run over one another: IDLE -> STARTING -> RUNNING -> STOPPING -> IDLE.
    LONG lifecycle = MODULE_IDLE;

    // Guarded by the module lock, and outlive any one run: the functions that touch them take
    // the held lock (ModuleLockScope) as a parameter.
    // The running module's run, or null: published by a successful start, withdrawn by the stop
    // before it takes the run down. Ticks and requests that find it null act as on a stopped module.
    ModuleRun* run = nullptr;
    // Set up at each start, updated by ticks and threshold requests; change bits cleared by reads.
    SPSensorRecord sensorTable[SP_SENSOR_COUNT] = {};
    // Set by a start given settings and by "SP_GBLPROPERTY". Its intervalMs is also read without
    // the lock by the timer thread (arming its first timer) and the sampler, so every write of it
    // is atomic (StoreGlobalProperty) and those reads are too (AtomicRead).
    SPGlobalProperty globalProperty = {SP_PROP_NOTIFY_NORMAL, 5000};
    // Appended to by set-up, ticks and threshold requests; emptied by "SP_EVENTS".
    EventQueue eventQueue;
    // Raised with the events above; returned and cleared by "SP_EVENTREASON".
    uint32_t pendingReasons = 0;
    // Written by set-up and ticks; read by "SP_CONFIGITEM".
    MemoryFigures memoryFigures = {};

    // The sum of the last completed page-fault cycle: the sampler's, which never takes the lock.
    // Replaced only by it (AtomicWrite), read with AtomicRead.
    uint32_t pageFaultSum = 0;
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

// Opens the named lock and waits for it; null when it does not exist or the wait fails.
// An abandoned lock counts as taken.
HANDLE AcquireModuleLock(const char* name);
// 1 when the lock was released and its handle closed; 0 (and no effect) for null.
int ReleaseModuleLock(HANDLE lock);

// The module lock, held for one scope. A function that needs the lock takes the scope as proof,
// so a call without one does not compile.
class ModuleLockScope {
public:
    ModuleLockScope() : lock_(AcquireModuleLock(MODULE_LOCK_NAME)) {}
    ~ModuleLockScope() { ReleaseModuleLock(lock_); }
    ModuleLockScope(const ModuleLockScope&) = delete;
    ModuleLockScope& operator=(const ModuleLockScope&) = delete;

    // False when the lock could not be had: before the first start has made it, or when the
    // wait failed. The work then goes on without it, as designed; the callers say where.
    bool Held() const { return lock_ != nullptr; }

private:
    HANDLE lock_;
};

// Whole seconds since 1970-01-01 00:00:00 UTC, low 32 bits.
uint32_t UnixTime();
uint32_t UnixTimeOf(const FILETIME& time);

// Stores the host's settings; the interval atomically.
void StoreGlobalProperty(const ModuleLockScope&, const SPGlobalProperty& property);
// Appends one event built from the sensor's current fields; dropped when memory runs out.
void QueueEvent(const ModuleLockScope&, const SPSensorRecord& sensor);
// ORs the bits into pendingReasons and signals the running module's host event.
void RaiseReason(const ModuleLockScope&, uint32_t bits);
// The usual pair after a notify decision.
void NotifyHost(const ModuleLockScope& lock, const SPSensorRecord& sensor);

#endif
