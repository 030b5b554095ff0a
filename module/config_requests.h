// SPConfig: the request table, its dispatch and the handlers of every request.
#ifndef MODULE_CONFIG_REQUESTS_H
#define MODULE_CONFIG_REQUESTS_H

#include "kelvrim.h"
#include "state.h"

// Calling forms of a request row; bit 0x1 is tested before bit 0x2.
enum : uint32_t {
    CALL_WITH_PARAMS = 0x1,  // the handler gets param1, param2, param3
    CALL_WITH_ALL = 0x2,     // the handler gets all five arguments of SPConfig
};

// Every handler runs under the module lock.
using ParamsHandler = int (*)(const ModuleLockScope& lock, void* param1, void* param2, void* param3);
using AllArgsHandler = int (*)(const ModuleLockScope& lock, uint32_t op, const char* name, void* param1,
                               void* param2, void* param3);

// The row's form says which member is set.
union ConfigHandler {
    ParamsHandler params;
    AllArgsHandler all;

    constexpr ConfigHandler() : params(nullptr) {}
    constexpr ConfigHandler(ParamsHandler handler) : params(handler) {}
    constexpr ConfigHandler(AllArgsHandler handler) : all(handler) {}
};

struct ConfigRequest {
    uint32_t op;  // SP_OP_GET or SP_OP_SET
    const char* name;
    ConfigHandler handler;
    uint32_t form;
};

constexpr uint32_t CONFIG_REQUEST_COUNT = 14;
// The fourteen requests in their fixed order, ended by an all-zero row.
extern const ConfigRequest configRequestTable[CONFIG_REQUEST_COUNT + 1];

// Runs the request through configRequestTable.
int DispatchConfigRequest(const ModuleLockScope& lock, uint32_t op, const char* name, void* param1, void* param2,
                          void* param3);
// The first row whose name equals `name` byte for byte, whose operation shares a bit with the low
// 8 bits of `op` and whose form has a known bit runs; 0 when none does. A null name matches nothing.
int DispatchRequest(const ModuleLockScope& lock, const ConfigRequest* table, uint32_t op, const char* name,
                    void* param1, void* param2, void* param3);

// Handlers, in calling form 1. Each returns 1 when done and 0 when refused; a refusal changes nothing.
int GetGlobalProperty(const ModuleLockScope& lock, void* property, void*, void*);
int SetGlobalProperty(const ModuleLockScope& lock, void* property, void*, void*);
int GetSensors(const ModuleLockScope& lock, void* count, void* buffer, void* selector);
int GetEvents(const ModuleLockScope& lock, void* count, void* buffer, void*);
int ResetThresholds(const ModuleLockScope& lock, void*, void*, void*);
int SetThreshold(const ModuleLockScope& lock, void* sensorId, void* threshold, void*);
int GetSensorGroups(const ModuleLockScope&, void* count, void* buffer, void*);
int RefuseRequest(const ModuleLockScope&, void*, void*, void*);
int GetEventReason(const ModuleLockScope& lock, void* reasons, void*, void*);
int GetConfigItems(const ModuleLockScope& lock, void* key, void* count, void* list);
int GetConfigTypes(const ModuleLockScope&, void* size, void* buffer, void*);

// Copy `count` sensors packed into `out` in one reply form, clearing each sensor's change bits
// right after it is copied.
void CopySensorSummaries(const ModuleLockScope&, SPSensorRecord* sensors, uint32_t count, void* out);
void CopySensorStatus(const ModuleLockScope&, SPSensorRecord* sensors, uint32_t count, void* out);
void CopySensorRecords(const ModuleLockScope&, SPSensorRecord* sensors, uint32_t count, void* out);

// Whether "SP_CONFIGITEM" answers for this key: the sensor group, one of the sensors, or type 20.
bool IsAcceptedItemKey(const SPConfigItemKey& key);

#endif
