// The sampling tick, classification against the limits, threshold changes and the page-fault sampler.
#include "sampling.h"

#include "sensor_setup.h"

namespace {

// Moves the sensor to its newly classified state; true when the move is to be notified.
bool MoveToState(const ModuleLockScope& lock, SPSensorRecord& sensor, uint16_t next, uint32_t time) {
    const uint32_t flags = moduleState.Records(lock).globalProperty.flags;
    if (next != sensor.state) {
        sensor.prevState = sensor.state;
        sensor.state = next;
        sensor.stateTime = time;
        sensor.changeFlags |= SP_CHANGED_STATE;
        return (flags & SP_PROP_NOTIFY_NORMAL) || next != SP_STATE_NORMAL;
    }
    if (next != SP_STATE_NORMAL && (flags & SP_PROP_REPEAT)) {
        sensor.prevState = sensor.state;
        sensor.stateTime = time;
        return true;
    }
    return false;
}

}  // namespace

void SampleTick() {
    const uint32_t now = UnixTime();
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return;

    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    if (!records.run) return;  // a tick of a start not yet published, or of a stop under way
    RefreshMemoryFigures(records.memoryFigures, status);
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) {
        SPSensorRecord& sensor = records.sensorTable[i];
        if (EvaluateSample(lock, CurrentSensorValue(lock, i), now, sensor)) NotifyHost(lock, sensor);
    }
}

bool EvaluateSample(const ModuleLockScope& lock, uint32_t value, uint32_t time, SPSensorRecord& sensor) {
    const uint16_t next = ClassifyValue(value, sensor.limits);
    if (value != sensor.value) {
        sensor.value = value;
        sensor.changeFlags |= SP_CHANGED_VALUE;
    }
    sensor.sampleTime = time;
    if (next == sensor.state) sensor.prevState = sensor.state;
    return MoveToState(lock, sensor, next, time);
}

bool ApplyThresholds(const ModuleLockScope& lock, const SPThreshold& request, uint32_t time,
                     SPSensorRecord& sensor) {
    bool replaced = false;
    for (uint32_t slot = 0; slot < 4; ++slot) {
        if ((request.mask & (1u << slot)) && request.limits[slot] != sensor.limits[slot]) {
            sensor.limits[slot] = request.limits[slot];
            replaced = true;
        }
    }
    if (replaced) {
        sensor.changeFlags |= SP_CHANGED_THRESHOLD;
        SaveThresholds(sensor, sensor.name);
    }
    return MoveToState(lock, sensor, ClassifyValue(sensor.value, sensor.limits), time);
}

// Never takes the module lock, so a slow request cannot stretch its one-second windows: it
// shares only the interval it reads and the sum it publishes, each read and written atomically.
DWORD WINAPI PageFaultSampler(void* param) {
    const ModuleRun& run = *static_cast<const ModuleRun*>(param);
    while (WaitForSingleObject(run.stopEvent.get(), 0) == WAIT_TIMEOUT) {
        const uint32_t intervalMs = moduleState.IntervalMs();
        uint32_t sum = 0;
        if (!CollectPageFaults(sum, run.counterQuery.get(), run.pageFaultCounter, intervalMs, run.stopEvent.get()))
            break;
        moduleState.PublishPageFaultSum(sum);
    }
    return 0;
}

bool CollectPageFaults(uint32_t& sum, PDH_HQUERY query, PDH_HCOUNTER counter, uint32_t intervalMs,
                       HANDLE stop) {
    // At least one window, so an interval below a second cannot spin the sampler.
    uint32_t total = 0;
    for (uint32_t window = PageFaultDivisor(intervalMs); window > 0; --window) {
        if (PdhCollectQueryData(query) != ERROR_SUCCESS) return false;
        if (stop) {
            if (WaitForSingleObject(stop, 1000) != WAIT_TIMEOUT) return false;
        } else {
            Sleep(1000);
        }
        PDH_FMT_COUNTERVALUE rate;
        if (PdhCollectQueryData(query) != ERROR_SUCCESS ||
            PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, nullptr, &rate) != ERROR_SUCCESS)
            return false;
        total += static_cast<uint32_t>(rate.longValue);
    }
    sum = total;
    return true;
}
