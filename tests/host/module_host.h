// What a black-box test needs to act as the host: the built kelvrim.dll loaded beside the test,
// its three exports, buffers that end at an inaccessible page, and the settings key.
#ifndef TESTS_HOST_MODULE_HOST_H
#define TESTS_HOST_MODULE_HOST_H

#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "kelvrim.h"

namespace host {

constexpr char SETTINGS_KEY[] = "SOFTWARE\\TAVRIX\\NIVRAEnterprise\\SP\\KELVRIM";
constexpr const char* SENSOR_NAMES[3] = {"PhyMemUsage", "PageFileUsage", "Page Faults/sec"};
constexpr uint32_t SENSOR_IDS[3] = {0x01020100, 0x01020200, 0x01020300};
constexpr uint32_t GROUP_ID = 0x03030000;
// No tick runs during a test unless the test changes the interval.
constexpr uint32_t NO_TICKS_MS = 600000;

inline std::string BesideThisProgram(const char* file) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, length);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + file;
}

// The guard pages of live buffers, so a write past a reply is named as such.
struct GuardPages {
    static constexpr int MAX = 64;
    uintptr_t pages[MAX] = {};
    void Add(uintptr_t page) {
        for (uintptr_t& p : pages)
            if (!p) {
                p = page;
                return;
            }
    }
    void Remove(uintptr_t page) {
        for (uintptr_t& p : pages)
            if (p == page) p = 0;
    }
    bool Holds(uintptr_t address, uintptr_t pageSize) const {
        for (uintptr_t p : pages)
            if (p && address >= p && address < p + pageSize) return true;
        return false;
    }
};
inline GuardPages guardPages;

inline LONG CALLBACK ReportWritePastReply(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2 &&
        guardPages.Holds(record->ExceptionInformation[1], system.dwPageSize)) {
        fprintf(stderr, "FAILED: the module touched the byte at %p, past the end of the reply buffer\n",
                reinterpret_cast<void*>(record->ExceptionInformation[1]));
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// `size` bytes that end exactly where an inaccessible page begins, filled with `fill`.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size, uint8_t fill = 0xCC) : size_(size) {
        static const PVOID handler = AddVectoredExceptionHandler(1, ReportWritePastReply);
        (void)handler;
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        const size_t page = system.dwPageSize;
        const size_t dataPages = size ? (size + page - 1) / page : 1;
        base_ = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        guard_ = base_ + dataPages * page;
        DWORD old;
        VirtualProtect(guard_, page, PAGE_NOACCESS, &old);
        guardPages.Add(reinterpret_cast<uintptr_t>(guard_));
        data_ = guard_ - size;
        memset(data_, fill, size);
    }
    ~GuardedBuffer() {
        guardPages.Remove(reinterpret_cast<uintptr_t>(guard_));
        VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return data_; }
    size_t size() const { return size_; }
    template <class T>
    T* as() {
        return reinterpret_cast<T*>(data_);
    }
    uint32_t U32(size_t offset) const {
        uint32_t value;
        memcpy(&value, data_ + offset, sizeof value);
        return value;
    }
    uint16_t U16(size_t offset) const {
        uint16_t value;
        memcpy(&value, data_ + offset, sizeof value);
        return value;
    }
    // True when bytes [from, to) still hold `fill`.
    bool Holds(uint8_t fill, size_t from, size_t to) const {
        for (size_t i = from; i < to; ++i)
            if (data_[i] != fill) return false;
        return true;
    }

private:
    size_t size_;
    uint8_t* base_;
    uint8_t* guard_;
    uint8_t* data_;
};

// A u32 in its own guarded buffer: a count or a size the host passes by pointer.
class GuardedCount {
public:
    explicit GuardedCount(uint32_t value) : buffer_(sizeof(uint32_t)) { *buffer_.as<uint32_t>() = value; }
    uint32_t* get() { return buffer_.as<uint32_t>(); }
    uint32_t value() const { return buffer_.U32(0); }

private:
    GuardedBuffer buffer_;
};

// The built module, loaded for one test and unloaded after it, so every test starts from a
// freshly loaded library.
class ModuleHost {
public:
    ModuleHost() {
        module_ = LoadLibraryA(BesideThisProgram("kelvrim.dll").c_str());
        if (!module_) return;
        initialize_ = reinterpret_cast<SPInitializeFn>(reinterpret_cast<void*>(GetProcAddress(module_, "SPInitialize")));
        uninitialize_ =
            reinterpret_cast<SPUninitializeFn>(reinterpret_cast<void*>(GetProcAddress(module_, "SPUninitialize")));
        config_ = reinterpret_cast<SPConfigFn>(reinterpret_cast<void*>(GetProcAddress(module_, "SPConfig")));
    }
    ~ModuleHost() {
        if (started_) uninitialize_();
        if (module_) FreeLibrary(module_);
    }
    ModuleHost(const ModuleHost&) = delete;
    ModuleHost& operator=(const ModuleHost&) = delete;

    bool Loaded() const { return module_ && initialize_ && uninitialize_ && config_; }
    bool Start(uint32_t flags, uint32_t intervalMs = NO_TICKS_MS) {
        const SPGlobalProperty settings = {flags, intervalMs};
        started_ = initialize_(&settings, &info_) == 1;
        return started_;
    }
    int Config(uint32_t op, const char* name, void* p1 = nullptr, void* p2 = nullptr, void* p3 = nullptr) {
        return config_(op, name, p1, p2, p3);
    }
    // The lifecycle exports themselves, for tests that call them as a host does; ModuleHost then
    // stops nothing on their behalf.
    int Initialize(const SPGlobalProperty* settings, SPStartupInfo* info) { return initialize_(settings, info); }
    int Uninitialize() { return uninitialize_(); }
    HANDLE Event() const { return info_.hostEvent; }
    bool EventSet() const { return WaitForSingleObject(info_.hostEvent, 0) == WAIT_OBJECT_0; }

private:
    HMODULE module_ = nullptr;
    SPInitializeFn initialize_ = nullptr;
    SPUninitializeFn uninitialize_ = nullptr;
    SPConfigFn config_ = nullptr;
    SPStartupInfo info_ = {};
    bool started_ = false;
};

struct Limits {
    uint32_t wh, fh;
};
constexpr Limits NEVER = {0xFFFFFFFE, 0xFFFFFFFF};  // no reading gets there
constexpr Limits ALWAYS_FH = {0, 0};

// The settings key holding exactly these six limits, in table order.
inline bool WriteSettings(const Limits (&limits)[3]) {
    LONG deleted = RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) return false;
    for (int i = 0; i < 3; ++i) {
        const std::string name = SENSOR_NAMES[i];
        if (RegSetKeyValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, (name + "WH").c_str(), REG_DWORD, &limits[i].wh, 4) ||
            RegSetKeyValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, (name + "FH").c_str(), REG_DWORD, &limits[i].fh, 4))
            return false;
    }
    return true;
}

// The stored limits of one sensor; both must be there.
inline bool ReadSettings(int sensor, Limits& limits) {
    const std::string name = SENSOR_NAMES[sensor];
    DWORD bytes = 4;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, (name + "WH").c_str(), RRF_RT_REG_DWORD, nullptr, &limits.wh,
                     &bytes))
        return false;
    bytes = 4;
    return RegGetValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, (name + "FH").c_str(), RRF_RT_REG_DWORD, nullptr,
                        &limits.fh, &bytes) == ERROR_SUCCESS;
}

}  // namespace host

#endif
