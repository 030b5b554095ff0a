// The module's run-time state, the module lock, the clock and the report to the host.
#include "state.h"

ModuleState moduleState;

// Runs as the library is unloaded, when no thread of the module is left. A host that unloads and
// loads the module again gets a new keeper each time; the old one would be a handle lost per load.
ModuleState::~ModuleState() {
    if (processLock) CloseHandle(processLock);
    if (lockKeeper) CloseHandle(lockKeeper);
}

uint32_t ModuleState::IntervalMs() const { return AtomicRead(records_.globalProperty.intervalMs); }

void ModuleState::PublishPageFaultSum(uint32_t sum) { AtomicWrite(records_.pageFaultSum, sum); }

namespace {

// The process's own lock, made by whichever scope comes first. A process out of handles waits
// for one rather than let two threads at the records at once.
HANDLE ProcessLock() {
    for (;;) {
        if (HANDLE lock = InterlockedCompareExchangePointer(&moduleState.processLock, nullptr, nullptr)) return lock;
        if (HANDLE made = CreateMutexA(nullptr, FALSE, nullptr)) {
            if (InterlockedCompareExchangePointer(&moduleState.processLock, made, nullptr) != nullptr) CloseHandle(made);
        } else {
            Sleep(10);
        }
    }
}

}  // namespace

ModuleLockScope::ModuleLockScope() : inProcess_(ProcessLock()), named_(AcquireModuleLock(MODULE_LOCK_NAME)) {
    // Abandoned by a thread ended by force: taken all the same, as the named lock is.
    WaitForSingleObject(inProcess_, INFINITE);
}

ModuleLockScope::~ModuleLockScope() {
    ReleaseMutex(inProcess_);
    ReleaseModuleLock(named_);
}

HANDLE AcquireModuleLock(const char* name) {
    HANDLE lock = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
    if (!lock) return nullptr;
    DWORD wait = WaitForSingleObject(lock, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(lock);
        return nullptr;
    }
    return lock;
}

int ReleaseModuleLock(HANDLE lock) {
    if (!lock || !ReleaseMutex(lock)) return 0;
    return CloseHandle(lock) ? 1 : 0;
}

uint32_t UnixTimeOf(const FILETIME& time) {
    LONGLONG ticks = (static_cast<LONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<uint32_t>((ticks - 116444736000000000LL) / 10000000LL);
}

uint32_t UnixTime() {
    SYSTEMTIME now;
    FILETIME fileTime;
    GetSystemTime(&now);
    SystemTimeToFileTime(&now, &fileTime);
    return UnixTimeOf(fileTime);
}

void StoreGlobalProperty(const ModuleLockScope& lock, const SPGlobalProperty& property) {
    SPGlobalProperty& stored = moduleState.Records(lock).globalProperty;
    stored.flags = property.flags;
    AtomicWrite(stored.intervalMs, property.intervalMs);
}

void QueueEvent(const ModuleLockScope& lock, const SPSensorRecord& sensor) {
    SPEvent event;
    event.eventTime = sensor.stateTime;
    event.zero8 = 0;
    event.sensorId = sensor.sensorId;
    event.groupId = sensor.groupId;
    event.prevState = sensor.prevState;
    event.state = sensor.state;
    event.value = sensor.value;
    event.zero32 = 0;
    event.eventClass = EVENT_CLASS;
    event.eventCode = EVENT_CODE;
    // The bytes the host must not rely on are zero rather than stack leftovers.
    event.reserved4 = event.reserved12 = 0;
    for (uint8_t& b : event.reserved36) b = 0;
    moduleState.Records(lock).eventQueue.Append(event);
}

void RaiseReason(const ModuleLockScope& lock, uint32_t bits) {
    GuardedRecords& records = moduleState.Records(lock);
    records.pendingReasons |= bits;
    if (records.run) SetEvent(records.run->hostEvent.get());
}

void NotifyHost(const ModuleLockScope& lock, const SPSensorRecord& sensor) {
    QueueEvent(lock, sensor);
    RaiseReason(lock, SP_REASON_EVENTS);
}
