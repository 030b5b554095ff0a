// What a black-box test needs to act as the host: the built kelvrim.dll loaded beside the test,
// its three exports, buffers that end at an inaccessible page, and the settings key.
#ifndef TESTS_HOST_MODULE_HOST_H
#define TESTS_HOST_MODULE_HOST_H

#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "../../common/handles.h"
#include "../support/guarded_buffer.h"
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

using support::GuardedBuffer;

struct ProgramRun {
    bool ended = false;  // false: it outlived its bound and was ended
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // stdout and stderr together
};

// Runs a program that lies beside this test, with its output collected; one that outlives the
// bound is ended.
inline ProgramRun RunBeside(const char* program, const std::string& arguments, DWORD boundMs) {
    ProgramRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return run;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    std::string commandLine = "\"" + BesideThisProgram(program) + "\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return run;
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    writeEnd.reset();  // the pipe ends when the program's copy closes

    const DWORD deadline = GetTickCount() + boundMs;
    run.ended = true;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // closed
        if (available) {
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd.get(), chunk, sizeof chunk, &got, nullptr)) break;
            run.output.append(chunk, got);
            continue;
        }
        if (int(GetTickCount() - deadline) > 0) {
            TerminateProcess(processHandle.get(), 99);
            run.ended = false;
            break;
        }
        Sleep(50);
    }
    WaitForSingleObject(processHandle.get(), 5000);
    GetExitCodeProcess(processHandle.get(), &run.exitCode);
    return run;
}

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

// Reads the reasons (which resets the event) and empties the queue, as the host does; the events
// taken, none when the copy is refused.
inline std::vector<SPEvent> DrainEvents(ModuleHost& module) {
    uint32_t reasons = 0, queued = 0;
    module.Config(SP_OP_GET, "SP_EVENTREASON", &reasons);
    module.Config(SP_OP_GET, "SP_EVENTS", &queued, nullptr);
    std::vector<SPEvent> events(queued);
    if (queued && !module.Config(SP_OP_GET, "SP_EVENTS", &queued, events.data())) events.clear();
    return events;
}

// The three sensors' "SP_SENSORS" records of one selector (summary or status), none when refused.
template <class Record>
std::vector<Record> SensorRecords(ModuleHost& module, uint32_t selector) {
    std::vector<Record> records(3);
    uint32_t count = 3;
    if (!module.Config(SP_OP_GET, "SP_SENSORS", &count, records.data(),
                       reinterpret_cast<void*>(static_cast<uintptr_t>(selector))))
        records.clear();
    return records;
}

}  // namespace host

#endif
