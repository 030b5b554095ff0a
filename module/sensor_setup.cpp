// Setting the three sensors up at a start, and keeping their limits in the settings key.
#include "sensor_setup.h"

#include <stdio.h>
#include <string.h>

#include "../common/handles.h"

namespace {

// Reads the sensor's WH, then FH, into its limits; a stored value shorter than 4 bytes replaces
// only the low-order bytes of the default. On failure returns the failing read's status.
LONG ReadLimits(HKEY key, SPSensorRecord& sensor) {
    for (int i = 0; i < 2; ++i) {
        char valueName[MAX_PATH];
        LimitValueName(sensor.name, LIMIT_SUFFIX[i], valueName);
        DWORD size = sizeof(uint32_t);
        LONG status = RegQueryValueExA(key, valueName, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&sensor.limits[LIMIT_SLOT[i]]), &size);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

// The installer leaves the key holding nothing but its marker; such a key has no limits to keep.
bool HoldsAnyLimit(HKEY key) {
    for (const SensorConstants& sensor : sensorConstants)
        for (const char* suffix : LIMIT_SUFFIX) {
            char valueName[MAX_PATH];
            LimitValueName(sensor.name, suffix, valueName);
            if (RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND)
                return true;
        }
    return false;
}

void SetConstants(uint32_t index, uint32_t now, uint32_t value, SPSensorRecord& sensor) {
    const SensorConstants& constants = sensorConstants[index];
    sensor.sensorId = SensorIdOf(index);
    sensor.groupId = SENSOR_GROUP_ID;
    sensor.descriptorCode = constants.descriptorCode;
    sensor.descriptorClass = SENSOR_DESCRIPTOR_CLASS;
    sensor.sampleTime = now;
    sensor.value = value;
    sensor.descriptorValue = constants.descriptorValue;
    sensor.limits[0] = sensor.limits[1] = 0;
    sensor.limits[SP_SLOT_FH] = constants.defaultFH;
    sensor.limits[SP_SLOT_WH] = constants.defaultWH;
    memset(sensor.name, 0, sizeof sensor.name);
    strcpy(sensor.name, constants.name);
}

// Set-up's first classification tests WH first; it differs from the tick's only when FH < WH.
uint16_t FirstState(const SPSensorRecord& sensor) {
    if (sensor.value < sensor.limits[SP_SLOT_WH]) return SP_STATE_NORMAL;
    if (sensor.value < sensor.limits[SP_SLOT_FH]) return SP_STATE_WH;
    return SP_STATE_FH;
}

}  // namespace

LONG SetupSensors(const ModuleLockScope& lock) {
    const uint32_t now = UnixTime();
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return SETUP_NO_MEMORY_STATUS;
    RefreshMemoryFigures(moduleState.Records(lock).memoryFigures, status);

    RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS ||
        !HoldsAnyLimit(key.get()))
        key.reset();

    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) {
        SPSensorRecord& sensor = moduleState.Records(lock).sensorTable[i];
        SetConstants(i, now, CurrentSensorValue(lock, i), sensor);
        if (!key) {
            SaveThresholds(sensor, sensor.name);
        } else if (LONG read = ReadLimits(key.get(), sensor); read != ERROR_SUCCESS) {
            return read;
        }
        sensor.prevState = SP_STATE_NORMAL;
        sensor.state = FirstState(sensor);
        if (sensor.state != SP_STATE_NORMAL) NotifyHost(lock, sensor);
        sensor.stateTime = 0;
        sensor.reserved308 = 0;
    }
    return ERROR_SUCCESS;
}

void ReportSetupFailure(LONG status) {
    if (status != SETUP_NO_MEMORY_STATUS) ShowErrorBox(static_cast<DWORD>(status));
}

void SaveThresholds(const SPSensorRecord& record, const char* name) {
    for (int i = 0; i < 2; ++i) {
        char valueName[MAX_PATH];
        LimitValueName(name, LIMIT_SUFFIX[i], valueName);
        WriteRegistryValue(HKEY_LOCAL_MACHINE, SETTINGS_KEY, valueName, REG_DWORD,
                           &record.limits[LIMIT_SLOT[i]], sizeof(uint32_t));
    }
}

int WriteRegistryValue(HKEY root, const char* subKey, const char* valueName, DWORD type,
                       const void* data, DWORD size) {
    RegKey key;
    if (RegCreateKeyA(root, subKey, key.put()) != ERROR_SUCCESS) return 0;
    return RegSetValueExA(key.get(), valueName, 0, type, static_cast<const BYTE*>(data), size) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
}

void ShowErrorBox(DWORD status) {
    LocalBlock text;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, status, 0x400, reinterpret_cast<char*>(text.put()), 0, nullptr);
    char fallback[32];
    if (length == 0) snprintf(fallback, sizeof fallback, "Error %lu", status);
    const char* shown = length ? static_cast<const char*>(text.get()) : fallback;
    if (WindowStationIsVisible()) {
        MessageBoxA(nullptr, shown, "Error", MB_OK | MB_ICONINFORMATION);
        return;
    }
    EventSource source(RegisterEventSourceA(nullptr, EVENT_SOURCE_NAME));
    if (source) ReportEventA(source.get(), EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, &shown, nullptr);
}

bool WindowStationIsVisible() {
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    HWINSTA station = GetProcessWindowStation();
    if (!station || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}
