// The sensor records' plain functions: lookup, memory figures, readings, classification, the event queue.
#include "sensor_table.h"

#include <stdio.h>

void LimitValueName(const char* name, const char* suffix, char (&valueName)[MAX_PATH]) {
    snprintf(valueName, sizeof valueName, "%.*s%s", int(sizeof valueName - 3), name, suffix);
}

uint32_t NextEventCapacity(uint32_t capacity) {
    constexpr uint32_t maxCapacity = 0x7FFFFFFFu / sizeof(SPEvent);
    if (capacity >= maxCapacity) return 0;
    uint32_t next = capacity < 16 ? 16 : capacity * 2;
    return next > maxCapacity ? maxCapacity : next;
}

bool EventQueue::Append(const SPEvent& event) {
    if (count == capacity) {
        uint32_t next = NextEventCapacity(capacity);
        if (next == 0) return false;
        HANDLE heap = GetProcessHeap();
        void* grown = items ? HeapReAlloc(heap, 0, items, next * sizeof(SPEvent))
                            : HeapAlloc(heap, 0, next * sizeof(SPEvent));
        if (!grown) return false;
        items = static_cast<SPEvent*>(grown);
        capacity = next;
    }
    items[count++] = event;
    return true;
}

EventQueue::~EventQueue() {
    if (items) HeapFree(GetProcessHeap(), 0, items);
}

SPSensorRecord* FindSensor(SPSensorRecord (&sensorTable)[SP_SENSOR_COUNT], uint32_t sensorId) {
    for (SPSensorRecord& sensor : sensorTable)
        if (sensor.sensorId == sensorId) return &sensor;
    return nullptr;
}

void RefreshMemoryFigures(MemoryFigures& memoryFigures, const MEMORYSTATUSEX& status) {
    memoryFigures.totalPhysKB = static_cast<uint32_t>(status.ullTotalPhys >> 10);
    memoryFigures.availPhysKB = static_cast<uint32_t>(status.ullAvailPhys >> 10);
    memoryFigures.totalPageFileKB = static_cast<uint32_t>(status.ullTotalPageFile >> 10);
    memoryFigures.availPageFileKB = static_cast<uint32_t>(status.ullAvailPageFile >> 10);
    memoryFigures.totalVirtualKB = static_cast<uint32_t>(status.ullTotalVirtual >> 10);
    memoryFigures.availVirtualKB = static_cast<uint32_t>(status.ullAvailVirtual >> 10);
}

uint32_t UsagePercent(uint32_t availKB, uint32_t totalKB) {
    if (totalKB == 0 || availKB > totalKB) return 0;
    return static_cast<uint32_t>(100.0 - (availKB * 100.0) / totalKB);
}

uint32_t PageFaultDivisor(uint32_t intervalMs) {
    uint32_t seconds = intervalMs / 1000;
    return seconds ? seconds : 1;
}

uint32_t SensorValue(const MemoryFigures& memoryFigures, uint32_t pageFaultSum, uint32_t intervalMs, uint32_t index) {
    switch (index) {
    case 0: return UsagePercent(memoryFigures.availPhysKB, memoryFigures.totalPhysKB);
    case 1: return UsagePercent(memoryFigures.availPageFileKB, memoryFigures.totalPageFileKB);
    default: return pageFaultSum / PageFaultDivisor(intervalMs);
    }
}

uint16_t ClassifyValue(uint32_t value, const uint32_t limits[4]) {
    if (value >= limits[SP_SLOT_FH]) return SP_STATE_FH;
    if (value >= limits[SP_SLOT_WH]) return SP_STATE_WH;
    return SP_STATE_NORMAL;
}
