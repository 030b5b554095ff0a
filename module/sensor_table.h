// The module's shared record types and the three sensors' constants, with the plain functions
// over them. The records themselves live in ModuleState (state.h), under the module lock; the
// functions here are handed what they work on.
#ifndef MODULE_SENSOR_TABLE_H
#define MODULE_SENSOR_TABLE_H

#include "../common/settings_key.h"
#include "kelvrim.h"

constexpr uint32_t SENSOR_GROUP_ID = 0x03030000;
constexpr uint8_t SENSOR_DESCRIPTOR_CLASS = 5;
constexpr uint32_t EVENT_CLASS = 0x10000;
constexpr uint32_t EVENT_CODE = 0x0A3F;
constexpr char PAGE_FAULT_SENSOR_NAME[] = "Page Faults/sec";

// Constants of each sensor, in table order; index 2 is the page-fault sensor.
struct SensorConstants {
    const char* name;
    uint8_t descriptorCode;
    uint32_t descriptorValue;
    uint32_t defaultFH;
    uint32_t defaultWH;
};
constexpr SensorConstants sensorConstants[SP_SENSOR_COUNT] = {
    {"PhyMemUsage", 0xC1, 50, 95, 90},
    {"PageFileUsage", 0xC1, 50, 95, 90},
    {PAGE_FAULT_SENSOR_NAME, 0x13, 1000, 30000, 20000},
};

// Each sensor keeps two limits in the settings key, WH first, under its name followed by these.
constexpr const char* LIMIT_SUFFIX[2] = {"WH", "FH"};
constexpr uint32_t LIMIT_SLOT[2] = {SP_SLOT_WH, SP_SLOT_FH};

// The registry value name of one limit: the sensor name followed by "WH" or "FH".
void LimitValueName(const char* name, const char* suffix, char (&valueName)[MAX_PATH]);

// sensorId bytes in memory order: 0x00, index + 1, 0x02, 0x01.
constexpr uint32_t SensorIdOf(uint32_t index) { return 0x01020000u | ((index + 1) << 8); }

struct MemoryFigures {
    uint32_t totalPhysKB;
    uint32_t availPhysKB;
    uint32_t totalPageFileKB;
    uint32_t availPageFileKB;
    uint32_t totalVirtualKB;
    uint32_t availVirtualKB;
};

// Growable array of events, oldest first. Plain storage from the process heap: an append that
// cannot grow it drops that event instead of failing the caller.
struct EventQueue {
    SPEvent* items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;

    bool Append(const SPEvent& event);
    void Clear() { count = 0; }
    ~EventQueue();
};

// The capacity to grow to from a full queue of `capacity`, or 0 when it cannot grow further.
uint32_t NextEventCapacity(uint32_t capacity);

// The sensor with this identifier (first match from index 0), or null.
SPSensorRecord* FindSensor(SPSensorRecord (&sensorTable)[SP_SENSOR_COUNT], uint32_t sensorId);

void RefreshMemoryFigures(MemoryFigures& memoryFigures, const MEMORYSTATUSEX& status);

// Whole percent in use, truncated; a zero total, or more available than total, reads 0.
uint32_t UsagePercent(uint32_t availKB, uint32_t totalKB);

// intervalMs / 1000, at least 1, so intervals below a second never divide by zero.
uint32_t PageFaultDivisor(uint32_t intervalMs);

// The reading of sensor `index` from the memory figures, and from the last page-fault sum over the
// interval it was taken in.
uint32_t SensorValue(const MemoryFigures& memoryFigures, uint32_t pageFaultSum, uint32_t intervalMs, uint32_t index);

// Classification used by sampling and threshold changes: FH is tested first.
uint16_t ClassifyValue(uint32_t value, const uint32_t limits[4]);

#endif
