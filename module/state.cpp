#include "state.h"

ModuleState moduleState;

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

void StoreGlobalProperty(const ModuleLockScope&, const SPGlobalProperty& property) {
    moduleState.globalProperty.flags = property.flags;
    AtomicWrite(moduleState.globalProperty.intervalMs, property.intervalMs);
}

void QueueEvent(const ModuleLockScope&, const SPSensorRecord& sensor) {
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
    moduleState.eventQueue.Append(event);
}

void RaiseReason(const ModuleLockScope&, uint32_t bits) {
    moduleState.pendingReasons |= bits;
    if (moduleState.run) SetEvent(moduleState.run->hostEvent.get());
}

void NotifyHost(const ModuleLockScope& lock, const SPSensorRecord& sensor) {
    QueueEvent(lock, sensor);
    RaiseReason(lock, SP_REASON_EVENTS);
}
