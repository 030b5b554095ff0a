// Host interface of the memory sensor module kelvrim.dll: the three exports and every record
// that crosses the boundary. The layouts are exchanged byte for byte with a 32-bit host.
#ifndef KELVRIM_H
#define KELVRIM_H

#include <windows.h>
#include <oleauto.h>
#include <stddef.h>
#include <stdint.h>

static_assert(sizeof(void*) == 4, "the host is a 32-bit process: pointers in records are 4 bytes");

// Sensor states (prevState, state).
enum : uint16_t {
    SP_STATE_NORMAL = 0x0000,
    SP_STATE_WH = 0x0201,
    SP_STATE_FH = 0x0202,
};

// changeFlags bits, cleared whenever the host reads the sensor.
enum : uint32_t {
    SP_CHANGED_VALUE = 0x1,
    SP_CHANGED_THRESHOLD = 0x2,
    SP_CHANGED_STATE = 0x4,
};

// SPGlobalProperty.flags bits; other bits are stored and returned but have no effect.
enum : uint32_t {
    SP_PROP_REPEAT = 0x1,
    SP_PROP_NOTIFY_NORMAL = 0x2,
};

// The one event reason the module raises: at least one SPEvent is queued.
enum : uint32_t { SP_REASON_EVENTS = 0x4 };

// Selector (param3) of "SP_SENSORS".
enum : uint32_t {
    SP_SELECT_SUMMARY = 0x1,
    SP_SELECT_STATUS = 0x2,   // only when SP_SELECT_SUMMARY is clear
    SP_SELECT_ONE = 0x10000,  // one sensor, named by the first u32 of the caller's buffer
};

// Operation codes of SPConfig; only the low 8 bits take part in the lookup.
enum : uint32_t {
    SP_OP_GET = 1,
    SP_OP_SET = 2,
};

// The module's sensors, always all of them in every multi-sensor reply, in this one order.
constexpr uint32_t SP_SENSOR_COUNT = 3;

// Threshold slots of limits[]: 0 and 1 are stored only; FH and WH classify.
enum : uint32_t {
    SP_SLOT_FH = 2,
    SP_SLOT_WH = 3,
};

struct SPSensorRecord {
    uint32_t sensorId;
    uint32_t groupId;
    uint8_t descriptorCode;
    uint8_t descriptorClass;
    uint16_t reserved10;
    uint32_t sampleTime;
    uint32_t changeFlags;
    uint32_t value;
    uint32_t descriptorValue;
    uint32_t limits[4];
    uint16_t prevState;
    uint16_t state;
    uint32_t stateTime;
    char name[256];
    uint32_t reserved308;
    uint32_t reserved312;
};
static_assert(sizeof(SPSensorRecord) == 316, "SPSensorRecord size");
static_assert(offsetof(SPSensorRecord, groupId) == 4, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, descriptorCode) == 8, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, descriptorClass) == 9, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, reserved10) == 10, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, sampleTime) == 12, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, changeFlags) == 16, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, value) == 20, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, descriptorValue) == 24, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, limits) == 28, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, prevState) == 44, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, state) == 46, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, stateTime) == 48, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, name) == 52, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, reserved308) == 308, "SPSensorRecord layout");
static_assert(offsetof(SPSensorRecord, reserved312) == 312, "SPSensorRecord layout");

struct SPGlobalProperty {
    uint32_t flags;
    uint32_t intervalMs;
};
static_assert(sizeof(SPGlobalProperty) == 8, "SPGlobalProperty size");
static_assert(offsetof(SPGlobalProperty, intervalMs) == 4, "SPGlobalProperty layout");

struct SPThreshold {
    uint32_t mask;       // bit n selects limits[n]
    uint32_t limits[4];
};
static_assert(sizeof(SPThreshold) == 20, "SPThreshold size");
static_assert(offsetof(SPThreshold, limits) == 4, "SPThreshold layout");

// Fields named reserved* carry no information: the module writes them as zero, and a host must not
// rely on what they hold.
struct SPEvent {
    uint32_t eventTime;
    uint32_t reserved4;
    uint32_t zero8;
    uint32_t reserved12;
    uint32_t sensorId;
    uint32_t groupId;
    uint16_t prevState;
    uint16_t state;
    uint32_t value;
    uint32_t zero32;
    uint8_t reserved36[28];
    uint32_t eventClass;  // always 0x10000
    uint32_t eventCode;   // always 0x0A3F
};
static_assert(sizeof(SPEvent) == 72, "SPEvent size");
static_assert(offsetof(SPEvent, zero8) == 8, "SPEvent layout");
static_assert(offsetof(SPEvent, sensorId) == 16, "SPEvent layout");
static_assert(offsetof(SPEvent, groupId) == 20, "SPEvent layout");
static_assert(offsetof(SPEvent, prevState) == 24, "SPEvent layout");
static_assert(offsetof(SPEvent, state) == 26, "SPEvent layout");
static_assert(offsetof(SPEvent, value) == 28, "SPEvent layout");
static_assert(offsetof(SPEvent, zero32) == 32, "SPEvent layout");
static_assert(offsetof(SPEvent, reserved36) == 36, "SPEvent layout");
static_assert(offsetof(SPEvent, eventClass) == 64, "SPEvent layout");
static_assert(offsetof(SPEvent, eventCode) == 68, "SPEvent layout");

// Filled by SPInitialize; the second field is the host's and is never written.
struct SPStartupInfo {
    uint32_t startupCode;  // 5
    uint32_t hostData;
    HANDLE hostEvent;      // manual-reset; closed by SPUninitialize
};
static_assert(sizeof(SPStartupInfo) == 12, "SPStartupInfo size");
static_assert(offsetof(SPStartupInfo, hostData) == 4, "SPStartupInfo layout");
static_assert(offsetof(SPStartupInfo, hostEvent) == 8, "SPStartupInfo layout");

// "SP_SENSORS" reply entry with SP_SELECT_SUMMARY.
struct SPSensorSummary {
    uint32_t sensorId;
    uint32_t groupId;
    uint32_t sampleTime;
    uint32_t value;
    uint32_t changeFlags;  // as it was before the read cleared it
};
static_assert(sizeof(SPSensorSummary) == 20, "SPSensorSummary size");
static_assert(offsetof(SPSensorSummary, sampleTime) == 8, "SPSensorSummary layout");
static_assert(offsetof(SPSensorSummary, value) == 12, "SPSensorSummary layout");
static_assert(offsetof(SPSensorSummary, changeFlags) == 16, "SPSensorSummary layout");

// "SP_SENSORS" reply entry with SP_SELECT_STATUS; reading it clears the change bits too.
struct SPSensorStatus {
    uint32_t sensorId;
    uint32_t groupId;
    uint32_t sampleTime;
    uint32_t value;
    uint32_t limits[4];
    uint16_t prevState;
    uint16_t state;
    uint32_t stateTime;
};
static_assert(sizeof(SPSensorStatus) == 40, "SPSensorStatus size");
static_assert(offsetof(SPSensorStatus, limits) == 16, "SPSensorStatus layout");
static_assert(offsetof(SPSensorStatus, prevState) == 32, "SPSensorStatus layout");
static_assert(offsetof(SPSensorStatus, state) == 34, "SPSensorStatus layout");
static_assert(offsetof(SPSensorStatus, stateTime) == 36, "SPSensorStatus layout");

struct SPSensorGroup {
    uint32_t groupId;  // 0x03030000
    uint16_t zero4;
    uint16_t zero6;
    uint32_t groupCode;  // 2
};
static_assert(sizeof(SPSensorGroup) == 12, "SPSensorGroup size");
static_assert(offsetof(SPSensorGroup, zero6) == 6, "SPSensorGroup layout");
static_assert(offsetof(SPSensorGroup, groupCode) == 8, "SPSensorGroup layout");

// Given by the host with "SP_CONFIGITEM": kind 1 a sensor group, 2 a sensor, 5 a configuration type.
struct SPConfigItemKey {
    uint32_t keyKind;
    uint32_t reserved4;
    uint32_t objectId;
    uint32_t configType;
};
static_assert(sizeof(SPConfigItemKey) == 16, "SPConfigItemKey size");
static_assert(offsetof(SPConfigItemKey, objectId) == 8, "SPConfigItemKey layout");
static_assert(offsetof(SPConfigItemKey, configType) == 12, "SPConfigItemKey layout");

struct SPConfigItem {
    uint32_t itemId;  // 1 to 6: the memory figures in KB
    uint32_t zero4;
    VARIANT value;    // VT_I4
    uint32_t itemFlags;  // 0x21
    uint8_t itemCode;    // 'G'
    uint8_t zero29[3];
};
static_assert(sizeof(VARIANT) == 16, "VARIANT size");
static_assert(sizeof(SPConfigItem) == 32, "SPConfigItem size");
static_assert(offsetof(SPConfigItem, value) == 8, "SPConfigItem layout");
static_assert(offsetof(SPConfigItem, itemFlags) == 24, "SPConfigItem layout");
static_assert(offsetof(SPConfigItem, itemCode) == 28, "SPConfigItem layout");
static_assert(offsetof(SPConfigItem, zero29) == 29, "SPConfigItem layout");

// Filled by "SP_CONFIGITEM". The items array comes from the process heap (GetProcessHeap) and
// belongs to the host, which frees it with HeapFree.
struct SPConfigItemList {
    uint32_t listKind;    // 0
    uint32_t configType;  // 20
    uint32_t itemCount;   // 6
    SPConfigItem* items;
};
static_assert(sizeof(SPConfigItemList) == 16, "SPConfigItemList size");
static_assert(offsetof(SPConfigItemList, itemCount) == 8, "SPConfigItemList layout");
static_assert(offsetof(SPConfigItemList, items) == 12, "SPConfigItemList layout");

// Filled by "SP_CONFIGTYPE" in the host's buffer. The size this request reports and requires is 20,
// a count that is not in bytes: the reply always occupies all 68 bytes of this record (bytes 16 to
// 63 are left as the host had them), so a host must pass a buffer of at least sizeof(SPConfigTypeList)
// whatever the size says.
struct SPConfigTypeList {
    uint32_t listKind;   // 1
    uint16_t ownerLow;   // 0
    uint16_t ownerHigh;  // 0
    uint32_t typeCount;  // 1
    uint32_t* types;     // points at configType below
    uint8_t reserved16[48];
    uint32_t configType;  // 20
};
static_assert(sizeof(SPConfigTypeList) == 68, "SPConfigTypeList size");
static_assert(offsetof(SPConfigTypeList, ownerLow) == 4, "SPConfigTypeList layout");
static_assert(offsetof(SPConfigTypeList, typeCount) == 8, "SPConfigTypeList layout");
static_assert(offsetof(SPConfigTypeList, types) == 12, "SPConfigTypeList layout");
static_assert(offsetof(SPConfigTypeList, reserved16) == 16, "SPConfigTypeList layout");
static_assert(offsetof(SPConfigTypeList, configType) == 64, "SPConfigTypeList layout");

#ifdef __cplusplus
extern "C" {
#endif

// 1 when the module runs (started now or already running), 0 when it does not. settings may be null.
int SPInitialize(const SPGlobalProperty* settings, SPStartupInfo* info);
// 1 when it stopped a running module, 0 when the module was not running.
int SPUninitialize(void);
// 1 when the request was carried out, 0 when no request matched or it was refused.
int SPConfig(uint32_t op, const char* name, void* param1, void* param2, void* param3);

typedef int (*SPInitializeFn)(const SPGlobalProperty*, SPStartupInfo*);
typedef int (*SPUninitializeFn)(void);
typedef int (*SPConfigFn)(uint32_t, const char*, void*, void*, void*);

#ifdef __cplusplus
}
#endif

#endif
