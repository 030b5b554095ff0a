// Module-wide state, the named module lock, the clock, and the one way to report to the host.
#ifndef MODULE_STATE_H
#define MODULE_STATE_H

#include <windows.h>
#include <pdh.h>
#include "kelvrim.h"

constexpr char MODULE_LOCK_NAME[] = "kelvrim";

extern volatile LONG moduleInitialized;     // written only by atomic exchange
extern HANDLE moduleLock;                   // created by SPInitialize, never closed
extern HANDLE hostEvent;                    // manual reset, handed to the host
extern PDH_HQUERY counterQuery;
extern PDH_HCOUNTER pageFaultCounter;
extern HANDLE samplerStopEvent;
extern HANDLE samplerThread;
extern HANDLE timerThread;
extern HWND timerWindow;                    // never cleared; closed by SPUninitialize
extern volatile UINT_PTR timerId;           // 0 when no timer is armed
extern volatile LONG pageFaultSum;          // written only by the sampler, by atomic exchange

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

// Appends one event built from the sensor's current fields; dropped when memory runs out.
void QueueEvent(const SPSensorRecord& sensor);
// ORs the bits into pendingReasons and signals hostEvent.
void RaiseReason(uint32_t bits);
// The usual pair after a notify decision.
void NotifyHost(const SPSensorRecord& sensor);

#endif
