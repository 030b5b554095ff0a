// The soak host: drives the built kelvrim.dll as a busy host would, for as long as asked, and
// writes what the process holds once a second, so that a leak shows as a trend.
//
//   soak_host --seconds N --interval MS --csv FILE [--leak handle|bytes]
//
// All at once: ticks at the interval with every tick queueing events (repeat and notify-normal on,
// every warning limit at 0), a thread that waits on the host event and drains it, a thread that
// sends every request of the table (threshold changes and resets included), an interval change
// now and then, a full stop and start every few seconds and a reload of the library now and then.
// Ticks are counted on the module's timer thread by a message hook of the host's: the module is
// not asked. --leak seeds a leak of one handle or 64 bytes per tick in the host itself, so the
// report can be shown to catch one; it never touches the module.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "../../common/handles.h"
#include "../../common/settings_key.h"
#include "kelvrim.h"
#include "process_counts.h"

namespace {

constexpr DWORD CYCLE_MS = 4000;       // a full stop and start this often
constexpr int RELOAD_EVERY_CYCLES = 5;  // and a reload of the library every this many cycles
constexpr DWORD INTERVAL_CHANGE_MS = 7000;
constexpr DWORD QUIET_STRETCH_MS = 5000;  // ticks with no requests, for the CPU time of one tick
constexpr DWORD FOOTPRINT_SETTLE_MS = 2000;  // a start settles before its footprint is measured
constexpr DWORD REQUEST_ROUND_PAUSE_MS = 20;
constexpr uint32_t NEVER_FH = 4000000000u;
const char* const LIMIT_NAMES[] = {"PhyMemUsage", "PageFileUsage", "Page Faults/sec"};
constexpr uint32_t SENSOR_IDS[] = {0x01020100, 0x01020200, 0x01020300};

enum class Leak { None, Handle, Bytes };

struct Options {
    double seconds = 180;
    uint32_t intervalMs = 10;
    std::string csv = "soak.csv";
    Leak leak = Leak::None;
};

// What has been done so far; written by the threads that do it, read by the sampler.
std::atomic<uint64_t> ticks{0}, eventsDrained{0}, requests{0}, cycles{0}, reloads{0};
// Set by the main thread, read by the hook on the module's timer thread.
std::atomic<Leak> seededLeak{Leak::None};
std::atomic<HWND> timerWindow{nullptr};  // the running module's, for the hook to know its ticks

LRESULT CALLBACK CountTicks(int code, WPARAM removed, LPARAM param) {
    const MSG* message = reinterpret_cast<const MSG*>(param);
    if (code == HC_ACTION && removed == PM_REMOVE && message->message == WM_TIMER && message->hwnd == timerWindow) {
        ++ticks;
        if (seededLeak == Leak::Handle) CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (seededLeak == Leak::Bytes) HeapAlloc(GetProcessHeap(), 0, 64);
    }
    return CallNextHookEx(nullptr, code, removed, param);
}

BOOL CALLBACK FindOwnTimerWindow(HWND window, LPARAM found) {
    DWORD process = 0;
    char name[16] = {};
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !GetClassNameA(window, name, sizeof name) || strcmp(name, "kelvrim") != 0)
        return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

BOOL CALLBACK CountOwnWindow(HWND window, LPARAM count) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) ++*reinterpret_cast<DWORD*>(count);
    return TRUE;
}

// What the process holds. Wine answers 0 to the handle count and to the GUI-object counts, so
// handles are counted by asking after each value (handed out lowest free first, so the scan ends
// after a long run of free values), and USER objects, where the system gives no count, by the
// process's top-level windows. GDI objects have no such stand-in: 0 there means "not counted".
struct Resources {
    double privateBytes = 0;
    DWORD handles = 0, threads = 0, user = 0, gdi = 0;
};

Resources Measure() {
    Resources now;
    // Private bytes: the committed private memory of the address space, summed region by region
    // from inside. The system's own figure (the commit charge) counts, under an emulator, the
    // emulator's memory as well, which grows with each library it translates anew.
    MEMORY_BASIC_INFORMATION region;
    for (char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) now.privateBytes += region.RegionSize;
        char* next = static_cast<char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;
        at = next;
    }
    // Not the tests' HandleCount: a leak here may run to far more handles than its bound.
    DWORD flags = 0;
    for (uintptr_t value = 4, free = 0; free < 4096; value += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++now.handles;
            free = 0;
        } else {
            ++free;
        }
    }
    now.threads = ThreadCount();
    now.user = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    if (now.user == 0) EnumWindows(CountOwnWindow, reinterpret_cast<LPARAM>(&now.user));
    now.gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    return now;
}

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// The library and one run of it. Every call into it goes through here; the lifecycle calls take
// the host lock alone (`exclusive`), requests share it, as the host contract asks.
class Module {
public:
    bool Load() {
        char path[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string dll(path, length);
        dll = dll.substr(0, dll.find_last_of('\\') + 1) + "kelvrim.dll";
        library_.reset(LoadLibraryA(dll.c_str()));
        if (!library_) return false;
        initialize_ = reinterpret_cast<SPInitializeFn>(reinterpret_cast<void*>(GetProcAddress(library_.get(), "SPInitialize")));
        uninitialize_ =
            reinterpret_cast<SPUninitializeFn>(reinterpret_cast<void*>(GetProcAddress(library_.get(), "SPUninitialize")));
        config_ = reinterpret_cast<SPConfigFn>(reinterpret_cast<void*>(GetProcAddress(library_.get(), "SPConfig")));
        return initialize_ && uninitialize_ && config_;
    }
    void Unload() { library_.reset(); }

    bool Start(uint32_t intervalMs) {
        const SPGlobalProperty settings = {SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL, intervalMs};
        SPStartupInfo info = {};
        if (initialize_(&settings, &info) != 1) return false;
        hostEvent_ = info.hostEvent;
        // The hook counts the ticks of this run's window, on its own thread.
        HWND window = nullptr;
        EnumWindows(FindOwnTimerWindow, reinterpret_cast<LPARAM>(&window));
        timerWindow = window;
        if (window) hook_ = SetWindowsHookExA(WH_GETMESSAGE, CountTicks, nullptr, GetWindowThreadProcessId(window, nullptr));
        running_ = true;
        return true;
    }
    void Stop() {
        if (hook_) UnhookWindowsHookEx(hook_);
        hook_ = nullptr;
        timerWindow = nullptr;
        uninitialize_();
        hostEvent_ = nullptr;  // closed by the stop: never waited on again
        running_ = false;
    }

    int Config(uint32_t op, const char* name, void* p1 = nullptr, void* p2 = nullptr, void* p3 = nullptr) {
        ++requests;
        return config_(op, name, p1, p2, p3);
    }
    HANDLE HostEvent() const { return hostEvent_; }
    bool Running() const { return running_; }

private:
    LoadedModule library_;
    SPInitializeFn initialize_ = nullptr;
    SPUninitializeFn uninitialize_ = nullptr;
    SPConfigFn config_ = nullptr;
    HANDLE hostEvent_ = nullptr;
    HHOOK hook_ = nullptr;
    std::atomic<bool> running_{false};  // read by the drainer outside the host lock too
};

// The host lock: any number of request threads, or the lifecycle alone. A lifecycle call that
// waits raises `pausing`, and the request threads step back until it is done.
class HostLock {
public:
    void Share() {
        for (;;) {
            while (pausing_) Sleep(1);
            AcquireSRWLockShared(&lock_);
            if (!pausing_) return;
            ReleaseSRWLockShared(&lock_);
        }
    }
    void Unshare() { ReleaseSRWLockShared(&lock_); }
    void Own() {
        pausing_ = true;
        AcquireSRWLockExclusive(&lock_);
    }
    void Disown() {
        ReleaseSRWLockExclusive(&lock_);
        pausing_ = false;
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::atomic<bool> pausing_{false};
};

Module module;
HostLock hostLock;
std::atomic<bool> quit{false}, requestsOn{false};

void DrainEvents(Module& m) {
    uint32_t reasons = 0;
    m.Config(SP_OP_GET, "SP_EVENTREASON", &reasons);
    uint32_t count = 0;
    if (!m.Config(SP_OP_GET, "SP_EVENTS", &count) || count == 0) return;
    SPEvent* events = static_cast<SPEvent*>(HeapAlloc(GetProcessHeap(), 0, (count + 64) * sizeof(SPEvent)));
    uint32_t room = count + 64;
    if (events && m.Config(SP_OP_GET, "SP_EVENTS", &room, events)) eventsDrained += count;
    HeapFree(GetProcessHeap(), 0, events);
}

// Waits on the host event and drains it, as the host does.
void Drainer() {
    while (!quit) {
        hostLock.Share();
        if (module.Running() && WaitForSingleObject(module.HostEvent(), 50) == WAIT_OBJECT_0) DrainEvents(module);
        hostLock.Unshare();
        if (!module.Running()) Sleep(5);
    }
}

void SetLowLimits(Module& m) {
    for (uint32_t id : SENSOR_IDS) {
        uint32_t sensor = id;
        SPThreshold limits = {(1u << SP_SLOT_FH) | (1u << SP_SLOT_WH), {0, 0, NEVER_FH, 0}};
        m.Config(SP_OP_SET, "SP_THRESHOLD", &sensor, &limits);
    }
}

// One round of every request of the table.
void RequestRound(Module& m) {
    SPGlobalProperty property = {};
    m.Config(SP_OP_GET, "SP_GBLPROPERTY", &property);
    uint32_t count = 0;
    m.Config(SP_OP_GET, "SP_SENSORS", &count);
    SPSensorRecord records[3];
    for (uint32_t selector : {0u, static_cast<uint32_t>(SP_SELECT_SUMMARY), static_cast<uint32_t>(SP_SELECT_STATUS)}) {
        count = 3;
        m.Config(SP_OP_GET, "SP_SENSORS", &count, records, reinterpret_cast<void*>(static_cast<uintptr_t>(selector)));
    }
    count = 3;
    memcpy(records, &SENSOR_IDS[1], sizeof(uint32_t));
    m.Config(SP_OP_GET, "SP_SENSORS", &count, records, reinterpret_cast<void*>(static_cast<uintptr_t>(SP_SELECT_ONE)));
    DrainEvents(m);
    // A reset puts the limits back to their defaults; the low ones come back at once.
    m.Config(SP_OP_SET, "SP_RESET");
    SetLowLimits(m);
    SPSensorGroup group = {};
    count = 1;
    m.Config(SP_OP_GET, "SP_SENSORGROUPS", &count, &group);
    m.Config(SP_OP_GET, "SP_CONFIGGROUPS", &count, &group);
    SPConfigItemKey key = {2, 0, SENSOR_IDS[0], 0};
    SPConfigItemList list = {};
    count = 1;
    if (m.Config(SP_OP_GET, "SP_CONFIGITEM", &key, &count, &list) && list.items) {
        for (uint32_t i = 0; i < list.itemCount; ++i) VariantClear(&list.items[i].value);
        HeapFree(GetProcessHeap(), 0, list.items);
    }
    m.Config(SP_OP_SET, "SP_CONFIGITEM", &key, &count, &list);
    SPConfigTypeList types = {};
    uint32_t size = 20;
    m.Config(SP_OP_GET, "SP_CONFIGTYPE", &size, &types);
    m.Config(SP_OP_SET, "SP_CONFIGTYPE", &size, &types);
}

void Requester(uint32_t intervalMs) {
    DWORD changed = GetTickCount();
    bool slow = false;
    while (!quit) {
        if (!requestsOn) {
            Sleep(10);
            continue;
        }
        hostLock.Share();
        if (module.Running()) {
            RequestRound(module);
            // An interval change now and then: twice as long for a while, then back.
            if (GetTickCount() - changed >= INTERVAL_CHANGE_MS) {
                slow = !slow;
                SPGlobalProperty property = {SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL, slow ? 2 * intervalMs : intervalMs};
                module.Config(SP_OP_SET, "SP_GBLPROPERTY", &property);
                changed = GetTickCount();
            }
        }
        hostLock.Unshare();
        Sleep(REQUEST_ROUND_PAUSE_MS);
    }
}

// Every warning limit at 0: each tick queues an event for each sensor from the first start on.
void WriteLowLimitsToSettings() {
    RegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    for (const char* name : LIMIT_NAMES) {
        const DWORD wh = 0, fh = NEVER_FH;
        RegSetValueExA(key.get(), (std::string(name) + "WH").c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&wh), 4);
        RegSetValueExA(key.get(), (std::string(name) + "FH").c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&fh), 4);
    }
}

class Csv {
public:
    explicit Csv(const std::string& path) : file_(fopen(path.c_str(), "w")) {
        if (file_)
            fprintf(file_, "seconds,kind,private_bytes,handles,threads,user_objects,gdi_objects,ticks,events,requests,"
                           "cycles,reloads\n");
    }
    ~Csv() {
        if (file_) fclose(file_);
    }
    bool Open() const { return file_ != nullptr; }
    void Note(const char* text) {
        fprintf(file_, "# %s\n", text);
        fflush(file_);
    }
    // kind: "sample" once a second, "stopped" right after each stop (the low point of a cycle).
    void Row(double seconds, const char* kind) {
        const Resources r = Measure();
        fprintf(file_, "%.2f,%s,%.0f,%lu,%lu,%lu,%lu,%llu,%llu,%llu,%llu,%llu\n", seconds, kind, r.privateBytes,
                r.handles, r.threads, r.user, r.gdi, static_cast<unsigned long long>(ticks.load()),
                static_cast<unsigned long long>(eventsDrained.load()), static_cast<unsigned long long>(requests.load()),
                static_cast<unsigned long long>(cycles.load()), static_cast<unsigned long long>(reloads.load()));
        fflush(file_);
    }

private:
    FILE* file_;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--seconds") {
            options.seconds = atof(value);
        } else if (arg == "--interval") {
            options.intervalMs = static_cast<uint32_t>(atoi(value));
        } else if (arg == "--csv") {
            options.csv = value;
        } else if (arg == "--leak") {
            options.leak = strcmp(value, "handle") == 0 ? Leak::Handle : strcmp(value, "bytes") == 0 ? Leak::Bytes : Leak::None;
            if (options.leak == Leak::None) return false;
        } else {
            return false;
        }
    }
    return options.seconds > 0 && options.intervalMs > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fprintf(stderr, "usage: soak_host --seconds N --interval MS --csv FILE [--leak handle|bytes]\n");
        return 2;
    }
    Csv csv(options.csv);
    if (!csv.Open()) {
        fprintf(stderr, "soak_host: cannot write %s\n", options.csv.c_str());
        return 1;
    }
    WriteLowLimitsToSettings();
    // The counter library stays loaded across the module's reloads, as a system library does:
    // the tests' stand-in for it, unlike the system's, leaves a thread behind each time it goes.
    LoadedModule counterLibrary(LoadLibraryA("pdh.dll"));
    const Resources bare = Measure();
    if (!module.Load() || !module.Start(options.intervalMs)) {
        fprintf(stderr, "soak_host: the module beside this program does not load and start\n");
        return 1;
    }
    const double begun = GetTickCount() / 1000.0;
    auto elapsed = [&] { return GetTickCount() / 1000.0 - begun; };
    // The footprint: what loading and starting the module added to the bare host, before any
    // thread of the host's own starts.
    Sleep(FOOTPRINT_SETTLE_MS);
    const Resources loaded = Measure();
    seededLeak = options.leak;
    std::thread drainer(Drainer), requester(Requester, options.intervalMs);
    // The CPU time of one tick, with its events drained as a host drains them and no request.
    const double cpuBefore = CpuSeconds();
    const uint64_t ticksBefore = ticks;
    Sleep(QUIET_STRETCH_MS);
    const uint64_t quietTicks = ticks - ticksBefore;
    const double cpuPerTickUs = (CpuSeconds() - cpuBefore) * 1e6 / static_cast<double>(quietTicks ? quietTicks : 1);
    char note[256];
    snprintf(note, sizeof note, "interval_ms=%u leak=%s", options.intervalMs,
             options.leak == Leak::Handle ? "handle" : options.leak == Leak::Bytes ? "bytes" : "none");
    csv.Note(note);
    snprintf(note, sizeof note, "footprint private_bytes=%.0f handles=%ld threads=%ld quiet_ticks=%llu cpu_per_tick_us=%.1f",
             loaded.privateBytes - bare.privateBytes, static_cast<long>(loaded.handles) - static_cast<long>(bare.handles),
             static_cast<long>(loaded.threads) - static_cast<long>(bare.threads),
             static_cast<unsigned long long>(quietTicks), cpuPerTickUs);
    csv.Note(note);
    // Where the system gives no count of GUI objects, say what stands in (or that none does).
    snprintf(note, sizeof note, "counted user_by=%s gdi_by=%s",
             GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS) ? "system" : "windows",
             GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS) ? "system" : "none");
    csv.Note(note);
    requestsOn = true;

    double nextSample = elapsed(), nextCycle = elapsed() + CYCLE_MS / 1000.0;
    bool failed = false;
    while (!failed && elapsed() < options.seconds) {
        if (elapsed() >= nextSample) {
            csv.Row(elapsed(), "sample");
            nextSample += 1.0;
        }
        if (elapsed() >= nextCycle) {
            hostLock.Own();
            module.Stop();
            csv.Row(elapsed(), "stopped");
            if (++cycles % RELOAD_EVERY_CYCLES == 0) {
                module.Unload();
                failed = !module.Load();
                ++reloads;
            }
            failed = failed || !module.Start(options.intervalMs);
            hostLock.Disown();
            nextCycle = elapsed() + CYCLE_MS / 1000.0;
        }
        Sleep(20);
    }
    quit = true;
    drainer.join();
    requester.join();
    if (module.Running()) module.Stop();
    module.Unload();
    if (failed) {
        fprintf(stderr, "soak_host: a start or a reload of the module failed after %.0f s\n", elapsed());
        return 1;
    }
    printf("soak_host: %.0f s, %llu ticks, %llu events drained, %llu requests, %llu start/stop cycles, %llu reloads\n",
           elapsed(), static_cast<unsigned long long>(ticks.load()), static_cast<unsigned long long>(eventsDrained.load()),
           static_cast<unsigned long long>(requests.load()), static_cast<unsigned long long>(cycles.load()),
           static_cast<unsigned long long>(reloads.load()));
    return 0;
}
