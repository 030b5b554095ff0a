// Small helpers the module's white-box tests share: a clean sensor table and the settings key.
#ifndef TESTS_MODULE_TEST_SUPPORT_H
#define TESTS_MODULE_TEST_SUPPORT_H

#include <windows.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>

#include "sensor_table.h"
#include "locked_records.h"
#include "state.h"

// The named lock as a host or another process takes it: by name, waiting as long as it takes.
// Null when there is no such lock.
inline HANDLE TakeNamedLock() {
    HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, MODULE_LOCK_NAME);
    if (lock) WaitForSingleObject(lock, INFINITE);
    return lock;
}
inline void LetGoNamedLock(HANDLE lock) {
    ReleaseMutex(lock);
    CloseHandle(lock);
}

// Saves and restores the module's shared state around one test.
class ModuleStateGuard {
public:
    ModuleStateGuard() {
        Locked records;
        memcpy(table_, records->sensorTable, sizeof table_);
        property_ = records->globalProperty;
        records->eventQueue.Clear();
        records->pendingReasons = 0;
    }
    ~ModuleStateGuard() {
        Locked records;
        memcpy(records->sensorTable, table_, sizeof table_);
        records->globalProperty = property_;
        records->eventQueue.Clear();
        records->pendingReasons = 0;
        records->pageFaultSum = 0;
    }

private:
    SPSensorRecord table_[SP_SENSOR_COUNT];
    SPGlobalProperty property_;
};

// A run published for one scope, holding only a host event, as far as ticks and reports see a
// running module.
class PublishedRun {
public:
    PublishedRun() {
        run_.hostEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        Locked()->run = &run_;
    }
    ~PublishedRun() { Locked()->run = nullptr; }
    PublishedRun(const PublishedRun&) = delete;
    PublishedRun& operator=(const PublishedRun&) = delete;
    bool EventSet() const { return WaitForSingleObject(run_.hostEvent.get(), 0) == WAIT_OBJECT_0; }

private:
    ModuleRun run_;
};

inline std::vector<SPEvent> QueuedEvents() {
    return std::vector<SPEvent>(Locked()->eventQueue.items, Locked()->eventQueue.items + Locked()->eventQueue.count);
}

// The module's settings key, emptied (or removed) for one test and removed afterwards.
struct SettingsKey {
    SettingsKey() { Remove(); }
    ~SettingsKey() { Remove(); }
    static void Remove() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY); }
    static void SetDword(const char* name, DWORD value) { SetRaw(name, REG_DWORD, &value, sizeof value); }
    static void SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key;
        RegCreateKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, &key);
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
    // The stored DWORD, or ~0u when the value is missing.
    static DWORD Get(const char* name) {
        DWORD value = ~0u, size = sizeof value;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, name, RRF_RT_ANY, nullptr, &value, &size) !=
            ERROR_SUCCESS)
            return ~0u;
        return value;
    }
    // Value names, sorted (the registry here lists them by name, not in the order written).
    static std::vector<std::string> Names() {
        std::vector<std::string> names;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
        for (DWORD i = 0;; ++i) {
            char name[MAX_PATH];
            DWORD length = MAX_PATH;
            if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.push_back(name);
        }
        RegCloseKey(key);
        std::sort(names.begin(), names.end());
        return names;
    }
};

#endif
