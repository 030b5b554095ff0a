// SPConfig: the request table, its dispatch and each request's handler.
#include "config_requests.h"

#include <string.h>

#include "sampling.h"
#include "timer_thread.h"

namespace {

constexpr uint32_t SENSOR_GROUP_CODE = 2;
constexpr uint32_t CONFIG_TYPE = 20;
constexpr uint32_t CONFIG_ITEM_COUNT = 6;
constexpr uint32_t CONFIG_ITEM_FLAGS = 0x21;
constexpr uint8_t CONFIG_ITEM_CODE = 'G';
constexpr uint32_t ITEM_LIST_KIND = 0;
constexpr uint32_t TYPE_LIST_KIND = 1;
constexpr uint32_t PAGE_FAULT_SENSOR = 2;  // index in sensorConstants
constexpr uint32_t USAGE_SENSOR = 0;

enum : uint32_t {
    KEY_SENSOR_GROUP = 1,
    KEY_SENSOR = 2,
    KEY_CONFIG_TYPE = 5,
};

// Configuration item n (1 to 6) is memory figure n.
constexpr uint32_t MemoryFigures::*CONFIG_ITEM_FIGURES[CONFIG_ITEM_COUNT] = {
    &MemoryFigures::totalPhysKB,     &MemoryFigures::availPhysKB,
    &MemoryFigures::totalPageFileKB, &MemoryFigures::availPageFileKB,
    &MemoryFigures::totalVirtualKB,  &MemoryFigures::availVirtualKB,
};

SPSensorSummary SummaryOf(const SPSensorRecord& sensor) {
    return {sensor.sensorId, sensor.groupId, sensor.sampleTime, sensor.value, sensor.changeFlags};
}

SPSensorStatus StatusOf(const SPSensorRecord& sensor) {
    SPSensorStatus status;
    status.sensorId = sensor.sensorId;
    status.groupId = sensor.groupId;
    status.sampleTime = sensor.sampleTime;
    status.value = sensor.value;
    memcpy(status.limits, sensor.limits, sizeof status.limits);
    status.prevState = sensor.prevState;
    status.state = sensor.state;
    status.stateTime = sensor.stateTime;
    return status;
}

const SPSensorRecord& RecordOf(const SPSensorRecord& sensor) { return sensor; }

// Reply entries are packed back to back in the host's buffer, which need not be aligned.
template <class Entry, class Make>
void CopyEntries(const ModuleLockScope&, SPSensorRecord* sensors, uint32_t count, void* out, Make make) {
    auto* bytes = static_cast<unsigned char*>(out);
    for (uint32_t i = 0; i < count; ++i) {
        const Entry& entry = make(sensors[i]);
        memcpy(bytes + i * sizeof(Entry), &entry, sizeof(Entry));
        sensors[i].changeFlags = 0;
    }
}

using CopyRoutine = void (*)(const ModuleLockScope&, SPSensorRecord*, uint32_t, void*);

CopyRoutine CopyRoutineFor(uint32_t selector) {
    if (selector & SP_SELECT_SUMMARY) return CopySensorSummaries;
    if (selector & SP_SELECT_STATUS) return CopySensorStatus;
    return CopySensorRecords;
}

// Both threshold requests end the same way: the change, then any event it calls for.
void ApplyAndNotify(const ModuleLockScope& lock, const SPThreshold& request, SPSensorRecord& sensor) {
    if (ApplyThresholds(lock, request, UnixTime(), sensor)) NotifyHost(lock, sensor);
}

uint32_t& CountAt(void* count) { return *static_cast<uint32_t*>(count); }

}  // namespace

const ConfigRequest configRequestTable[CONFIG_REQUEST_COUNT + 1] = {
    {SP_OP_GET, "SP_GBLPROPERTY", GetGlobalProperty, CALL_WITH_PARAMS},
    {SP_OP_SET, "SP_GBLPROPERTY", SetGlobalProperty, CALL_WITH_PARAMS},
    {SP_OP_GET, "SP_SENSORS", GetSensors, CALL_WITH_PARAMS},
    {SP_OP_GET, "SP_EVENTS", GetEvents, CALL_WITH_PARAMS},
    {SP_OP_SET, "SP_RESET", ResetThresholds, CALL_WITH_PARAMS},
    {SP_OP_SET, "SP_THRESHOLD", SetThreshold, CALL_WITH_PARAMS},
    {SP_OP_GET, "SP_SENSORGROUPS", GetSensorGroups, CALL_WITH_PARAMS},
    {SP_OP_GET, "SP_CONFIGGROUPS", RefuseRequest, CALL_WITH_PARAMS},
    {SP_OP_SET, "SP_CONFIGGROUPS", RefuseRequest, CALL_WITH_PARAMS},
    {SP_OP_GET, "SP_EVENTREASON", GetEventReason, CALL_WITH_PARAMS},
    {SP_OP_GET, "SP_CONFIGITEM", GetConfigItems, CALL_WITH_PARAMS},
    {SP_OP_SET, "SP_CONFIGITEM", RefuseRequest, CALL_WITH_PARAMS},
    {SP_OP_GET, "SP_CONFIGTYPE", GetConfigTypes, CALL_WITH_PARAMS},
    {SP_OP_SET, "SP_CONFIGTYPE", RefuseRequest, CALL_WITH_PARAMS},
    {0, nullptr, ConfigHandler(), 0},
};

extern "C" int SPConfig(uint32_t op, const char* name, void* param1, void* param2, void* param3) {
    // Before the first start the named lock does not exist yet; the scope still keeps the
    // request apart from any other of the module's threads.
    ModuleLockScope lock;
    return DispatchConfigRequest(lock, op, name, param1, param2, param3);
}

int DispatchConfigRequest(const ModuleLockScope& lock, uint32_t op, const char* name, void* param1, void* param2,
                          void* param3) {
    return DispatchRequest(lock, configRequestTable, op, name, param1, param2, param3);
}

int DispatchRequest(const ModuleLockScope& lock, const ConfigRequest* table, uint32_t op, const char* name,
                    void* param1, void* param2, void* param3) {
    if (!name) return 0;
    const uint32_t lookup = op & 0xFF;
    // Both members are plain function pointers, so either one tells whether the row has a handler.
    for (const ConfigRequest* row = table; row->name && row->handler.params; ++row) {
        if (!(row->op & lookup) || strcmp(row->name, name) != 0) continue;
        if (row->form & CALL_WITH_PARAMS) return row->handler.params(lock, param1, param2, param3);
        if (row->form & CALL_WITH_ALL) return row->handler.all(lock, op, name, param1, param2, param3);
    }
    return 0;
}

int GetGlobalProperty(const ModuleLockScope& lock, void* property, void*, void*) {
    if (!property) return 0;
    *static_cast<SPGlobalProperty*>(property) = moduleState.Records(lock).globalProperty;
    return 1;
}

int SetGlobalProperty(const ModuleLockScope& lock, void* property, void*, void*) {
    if (!property) return 0;
    StoreGlobalProperty(lock, *static_cast<const SPGlobalProperty*>(property));
    RearmSamplingTimer(lock);  // its outcome does not change the answer
    return 1;
}

int GetSensors(const ModuleLockScope& lock, void* count, void* buffer, void* selector) {
    if (!count) return 0;
    if (!buffer) {
        CountAt(count) = SP_SENSOR_COUNT;
        return 1;
    }
    // Three even for one sensor: hosts size the buffer for all of them.
    if (CountAt(count) != SP_SENSOR_COUNT) return 0;
    const uint32_t select = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(selector));
    const CopyRoutine copy = CopyRoutineFor(select);
    if (!(select & SP_SELECT_ONE)) {
        copy(lock, moduleState.Records(lock).sensorTable, SP_SENSOR_COUNT, buffer);
        return 1;
    }
    uint32_t sensorId;
    memcpy(&sensorId, buffer, sizeof sensorId);
    SPSensorRecord* sensor = FindSensor(moduleState.Records(lock).sensorTable, sensorId);
    if (!sensor) return 0;
    copy(lock, sensor, 1, buffer);
    return 1;
}

void CopySensorSummaries(const ModuleLockScope& lock, SPSensorRecord* sensors, uint32_t count, void* out) {
    CopyEntries<SPSensorSummary>(lock, sensors, count, out, SummaryOf);
}

void CopySensorStatus(const ModuleLockScope& lock, SPSensorRecord* sensors, uint32_t count, void* out) {
    CopyEntries<SPSensorStatus>(lock, sensors, count, out, StatusOf);
}

void CopySensorRecords(const ModuleLockScope& lock, SPSensorRecord* sensors, uint32_t count, void* out) {
    CopyEntries<SPSensorRecord>(lock, sensors, count, out, RecordOf);
}

int GetEvents(const ModuleLockScope& lock, void* count, void* buffer, void*) {
    EventQueue& eventQueue = moduleState.Records(lock).eventQueue;
    if (!count) return 0;
    if (!buffer) {
        CountAt(count) = eventQueue.count;
        return 1;
    }
    // More may have been queued since the host's size query: it asks again.
    if (CountAt(count) < eventQueue.count) return 0;
    if (eventQueue.count) memcpy(buffer, eventQueue.items, eventQueue.count * sizeof(SPEvent));
    eventQueue.Clear();
    return 1;
}

int ResetThresholds(const ModuleLockScope& lock, void*, void*, void*) {
    for (SPSensorRecord& sensor : moduleState.Records(lock).sensorTable) {
        const SensorConstants& defaults = sensorConstants[
            strcmp(sensor.name, PAGE_FAULT_SENSOR_NAME) == 0 ? PAGE_FAULT_SENSOR : USAGE_SENSOR];
        SPThreshold request = {};
        request.mask = (1u << SP_SLOT_FH) | (1u << SP_SLOT_WH);
        request.limits[SP_SLOT_FH] = defaults.defaultFH;
        request.limits[SP_SLOT_WH] = defaults.defaultWH;
        ApplyAndNotify(lock, request, sensor);
    }
    return 1;
}

int SetThreshold(const ModuleLockScope& lock, void* sensorId, void* threshold, void*) {
    if (!sensorId || !threshold) return 0;
    SPSensorRecord* sensor = FindSensor(moduleState.Records(lock).sensorTable, *static_cast<const uint32_t*>(sensorId));
    if (!sensor) return 0;
    ApplyAndNotify(lock, *static_cast<const SPThreshold*>(threshold), *sensor);
    return 1;
}

int GetSensorGroups(const ModuleLockScope&, void* count, void* buffer, void*) {
    if (!count) return 0;
    if (!buffer) {
        CountAt(count) = 1;
        return 1;
    }
    if (CountAt(count) < 1) return 0;
    CountAt(count) = 1;
    *static_cast<SPSensorGroup*>(buffer) = {SENSOR_GROUP_ID, 0, 0, SENSOR_GROUP_CODE};
    return 1;
}

int RefuseRequest(const ModuleLockScope&, void*, void*, void*) { return 0; }

int GetEventReason(const ModuleLockScope& lock, void* reasons, void*, void*) {
    if (!reasons) return 0;
    GuardedRecords& records = moduleState.Records(lock);
    *static_cast<uint32_t*>(reasons) = records.pendingReasons;
    records.pendingReasons = 0;
    if (records.run) ResetEvent(records.run->hostEvent.get());
    return 1;
}

bool IsAcceptedItemKey(const SPConfigItemKey& key) {
    switch (key.keyKind) {
    case KEY_SENSOR_GROUP:
        return key.objectId == SENSOR_GROUP_ID;
    case KEY_SENSOR: {
        // Only the identifier's fixed high half and its index byte are examined.
        const uint32_t index = (key.objectId >> 8) & 0xFF;
        return (key.objectId >> 16) == 0x0102 && index >= 1 && index <= SP_SENSOR_COUNT;
    }
    case KEY_CONFIG_TYPE:
        return key.configType == CONFIG_TYPE;
    default:
        return false;
    }
}

int GetConfigItems(const ModuleLockScope& lock, void* key, void* count, void* list) {
    if (!key || !IsAcceptedItemKey(*static_cast<const SPConfigItemKey*>(key))) return 0;
    if (!count) return 0;
    if (!list) {
        CountAt(count) = 1;
        return 1;
    }
    if (CountAt(count) < 1) return 0;

    // Handed to the host, which frees it with HeapFree on the process heap.
    auto* items = static_cast<SPConfigItem*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, CONFIG_ITEM_COUNT * sizeof(SPConfigItem)));
    if (!items) return 0;
    const MemoryFigures& figures = moduleState.Records(lock).memoryFigures;
    for (uint32_t i = 0; i < CONFIG_ITEM_COUNT; ++i) {
        SPConfigItem& item = items[i];
        item.itemId = i + 1;
        VariantClear(&item.value);
        item.value.vt = VT_I4;
        item.value.lVal = static_cast<LONG>(figures.*CONFIG_ITEM_FIGURES[i]);
        item.itemFlags = CONFIG_ITEM_FLAGS;
        item.itemCode = CONFIG_ITEM_CODE;
    }
    *static_cast<SPConfigItemList*>(list) = {ITEM_LIST_KIND, CONFIG_TYPE, CONFIG_ITEM_COUNT, items};
    return 1;
}

int GetConfigTypes(const ModuleLockScope&, void* size, void* buffer, void*) {
    if (!size) return 0;
    if (!buffer) {
        CountAt(size) = CONFIG_TYPE;
        return 1;
    }
    if (CountAt(size) < CONFIG_TYPE) return 0;
    CountAt(size) = CONFIG_TYPE;
    // Bytes 16 to 63 stay as the host had them.
    auto* types = static_cast<SPConfigTypeList*>(buffer);
    types->listKind = TYPE_LIST_KIND;
    types->ownerLow = 0;
    types->ownerHigh = 0;
    types->typeCount = 1;
    types->types = &types->configType;
    types->configType = CONFIG_TYPE;
    return 1;
}
