// The module's run-time state, the module lock, the clock and the report to the host.
#include "state.h"

ModuleState moduleState;

// The runtime's own start-up, as the library is loaded: nothing else of the module runs yet.
ModuleState::ModuleState() { InitializeCriticalSection(&processLock); }

// Runs as the library is unloaded, when no thread of the module is left. A host that unloads and
// loads the module again gets a new keeper each time; the old one would be a handle lost per load.
ModuleState::~ModuleState() {
    DeleteCriticalSection(&processLock);
    if (lockKeeper) CloseHandle(lockKeeper);
}

uint32_t ModuleState::IntervalMs() const { return AtomicRead(records_.globalProperty.intervalMs); }

void ModuleState::PublishPageFaultSum(uint32_t sum) { AtomicWrite(records_.pageFaultSum, sum); }

void KeepModuleLock() {
    HANDLE lock = CreateMutexA(nullptr, FALSE, MODULE_LOCK_NAME);
    if (lock && InterlockedCompareExchangePointer(&moduleState.lockKeeper, lock, nullptr) != nullptr)
        CloseHandle(lock);
}

HANDLE AcquireModuleLock(DWORD waitMs) {
    HANDLE lock = InterlockedCompareExchangePointer(&moduleState.lockKeeper, nullptr, nullptr);
    if (!lock) return nullptr;
    const DWORD wait = WaitForSingleObject(lock, waitMs);
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED ? lock : nullptr;
}

int ReleaseModuleLock(HANDLE lock) { return lock && ReleaseMutex(lock) ? 1 : 0; }

ModuleLockScope::ModuleLockScope() {
    const bool overdue = InterlockedCompareExchange(&moduleState.namedLockOverdue, 0, 0) != 0;
    named_ = AcquireModuleLock(overdue ? NAMED_LOCK_GLANCE_MS : NAMED_LOCK_WAIT_MS);
    // Kept past the wait: the work goes on without it, as the design lets it where it cannot be had.
    if (!named_ && moduleState.lockKeeper) InterlockedExchange(&moduleState.namedLockOverdue, 1);
    if (named_ && overdue) InterlockedExchange(&moduleState.namedLockOverdue, 0);
    EnterCriticalSection(&moduleState.processLock);
}

ModuleLockScope::~ModuleLockScope() {
    LeaveCriticalSection(&moduleState.processLock);
    ReleaseModuleLock(named_);
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

uint32_t CurrentSensorValue(const ModuleLockScope& lock, uint32_t index) {
    const GuardedRecords& records = moduleState.Records(lock);
    return SensorValue(records.memoryFigures, AtomicRead(records.pageFaultSum), records.globalProperty.intervalMs, index);
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
