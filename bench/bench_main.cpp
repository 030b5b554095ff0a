// Prints what the module costs, each figure beside the floor it is measured against in the same
// run. It asserts nothing: figures go into notes and the README, not into tests.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "../common/handles.h"
#include "counter_names.h"
#include "counter_query.h"
#include "sampling.h"
#include "sensor_setup.h"
#include "sensor_table.h"
#include "state.h"
#include "timer_thread.h"

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(frequency.QuadPart);
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Median over batches of the time of one call, in microseconds.
template <class F>
double MicrosPerCall(F call, int perBatch = 2000, int batches = 9, DWORD pauseMs = 0) {
    std::vector<double> samples;
    for (int b = 0; b < batches; ++b) {
        if (pauseMs) Sleep(pauseMs);
        double start = Now();
        for (int i = 0; i < perBatch; ++i) call();
        samples.push_back((Now() - start) * 1e6 / perBatch);
    }
    return Median(samples);
}

void Ratio(const char* what, double cost, const char* floorName, double floor) {
    printf("%-34s %9.2f us   floor (%s) %8.2f us   ratio %5.2f\n", what, cost, floorName, floor, cost / floor);
}

// Milliseconds of one call.
template <class F>
double MillisOf(F call) {
    const double start = Now();
    call();
    return (Now() - start) * 1e3;
}

DWORD ReadEnglishList() {
    wchar_t path[MAX_PATH];
    wcscpy(path, PERFLIB_KEY);
    wcscat(path, L"009");
    RegKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put());
    CounterList list;
    ReadCounterList(key.get(), list);
    return list.bytes;
}

DWORD WINAPI WindowThread(void* ready) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "kelvrim-bench";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(static_cast<HANDLE>(ready));
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    DestroyWindow(window);
    UnregisterClassA(windowClass.lpszClassName, windowClass.hInstance);
    return 0;
}

// The least a start must do: one read of the counter-name list, and a thread that creates a
// window and its message queue. Milliseconds; ending the thread is not counted.
double StartFloorMs() {
    UniqueHandle ready(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    DWORD id = 0;
    UniqueHandle thread;
    const double ms = MillisOf([&] {
        ReadEnglishList();
        thread.reset(CreateThread(nullptr, 0, WindowThread, ready.get(), 0, &id));
        WaitForSingleObject(ready.get(), INFINITE);
    });
    PostThreadMessageA(id, WM_QUIT, 0, 0);
    WaitForSingleObject(thread.get(), INFINITE);
    return ms;
}

// The first start of a process pays for what the platform sets up once (its first window, first
// registry and library use): each such figure comes from a fresh process, given back as its exit
// code in microseconds.
DWORD FirstInProcessMicros(const char* mode) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    char command[MAX_PATH + 32];
    snprintf(command, sizeof command, "\"%s\" %s", self, mode);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 0;
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

double MedianFirstInProcessMs(const char* mode, int runs) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) samples.push_back(FirstInProcessMicros(mode) / 1e3);
    return Median(samples);
}

// One start, timed as a host sees it, and stopped again.
double StartMs() {
    SPStartupInfo info = {};
    bool started = false;
    const double ms = MillisOf([&] { started = SPInitialize(nullptr, &info) != 0; });
    SPUninitialize();
    return started ? ms : -1;
}

void StartAndStop(int cycles) {
    constexpr int FIRST_RUNS = 5;
    printf("SPInitialize, first in a fresh process (median of %d processes)\n", FIRST_RUNS);
    const double firstStart = MedianFirstInProcessMs("--first-start", FIRST_RUNS);
    const double firstFloor = MedianFirstInProcessMs("--first-floor", FIRST_RUNS);
    printf("  %-32s %9.2f ms   floor %8.2f ms   ratio %5.2f\n", "first start", firstStart, firstFloor,
           firstStart / firstFloor);

    std::vector<double> starts, floors, stops;
    for (int i = 0; i < cycles; ++i) {
        floors.push_back(StartFloorMs());
        SPStartupInfo info = {};
        starts.push_back(MillisOf([&] { SPInitialize(nullptr, &info); }));
        Sleep(1200);  // the sampler is inside its one-second wait, as at almost any moment
        stops.push_back(MillisOf([] { SPUninitialize(); }));
    }
    printf("SPInitialize and SPUninitialize, interval 5000 ms (median of %d cycles in one process)\n", cycles);
    printf("  %-32s %9.2f ms   floor %8.2f ms   ratio %5.2f\n", "start", Median(starts), Median(floors),
           Median(starts) / Median(floors));
    printf("  %-32s %9.2f ms   (slowest %.2f ms; target under 100 ms)\n", "stop", Median(stops),
           *std::max_element(stops.begin(), stops.end()));

    // Where a start's time goes: its steps, each timed alone through the module's own code.
    std::vector<double> names, counter, setup, timer, list;
    for (int i = 0; i < cycles; ++i) {
        wchar_t object[MAX_PATH], name[MAX_PATH];
        uint32_t capacity = MAX_PATH;
        names.push_back(MillisOf([&] {
            CounterNameLists lists;
            ReadCounterNameLists(lists);
            TranslateCounterName(lists, L"Memory", object, &capacity);
            TranslateCounterName(lists, L"Page Faults/sec", name, &capacity);
        }));
        list.push_back(MillisOf([] { ReadEnglishList(); }));
        CounterQuery query;
        counter.push_back(MillisOf([&] {
            query = OpenCounterQuery();
            AddCounter(query.get(), object, name);
        }));
        setup.push_back(MillisOf([] {
            ModuleLockScope lock;
            SetupSensors(lock);
        }));
        ModuleRun run;
        run.stopEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        timer.push_back(MillisOf([&] { run.timerThread = StartTimerThread(run); }));
        SetEvent(run.stopEvent.get());
        WaitForSingleObject(run.timerThread.get(), INFINITE);
        UnregisterClassA(TIMER_WINDOW_CLASS, ModuleInstance());
    }
    printf("  steps of a start (medians): name lists read, two names translated %.2f ms (one list read %.2f ms),\n"
           "  counter query and counter %.2f ms, sensor set-up %.2f ms, timer thread with its window %.2f ms\n\n",
           Median(names), Median(list), Median(counter), Median(setup), Median(timer));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--first-start") == 0) return static_cast<int>(StartMs() * 1e3);
    if (argc > 1 && strcmp(argv[1], "--first-floor") == 0) return static_cast<int>(StartFloorMs() * 1e3);
    printf("kelvrim benchmark (one run; wall-clock figures under this platform)\n\n");
    SPStartupInfo info = {};
    if (!SPInitialize(nullptr, &info)) {
        printf("SPInitialize failed: run with the counter-library stand-in beside this program\n");
        return 1;
    }
    SPUninitialize();
    StartAndStop(9);

    // One tick against a bare memory-status call, with the module's table and lock in place.
    // The platform may answer a memory-status call from a cache for up to a second; ticks come
    // at least a second apart, so both sides are timed one call at a time, a second apart.
    auto memoryStatus = [] {
        MEMORYSTATUSEX s = {};
        s.dwLength = sizeof s;
        GlobalMemoryStatusEx(&s);
    };
    ModuleRun run;
    run.hostEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    auto publish = [](ModuleRun* published) {
        ModuleLockScope lock;
        moduleState.Records(lock).run = published;
        moduleState.Records(lock).eventQueue.Clear();  // the few events of these ticks
    };
    publish(&run);
    double tick = MicrosPerCall(SampleTick, 1, 7, 1001);
    publish(nullptr);
    double status = MicrosPerCall(memoryStatus, 1, 7, 1001);
    Ratio("one sampling tick", tick, "GlobalMemoryStatusEx", status);
    // One request through the export against the bare cost of the named lock it takes: a wait and
    // a release, the two calls to the system that keep other processes out.
    auto sensors = [] {
        SPSensorRecord records[SP_SENSOR_COUNT];
        uint32_t count = SP_SENSOR_COUNT;
        SPConfig(SP_OP_GET, "SP_SENSORS", &count, records, nullptr);
    };
    UniqueHandle named(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, MODULE_LOCK_NAME));
    auto bareLock = [&named] {
        WaitForSingleObject(named.get(), INFINITE);
        ReleaseMutex(named.get());
    };
    Ratio("one \"SP_SENSORS\" request", MicrosPerCall(sensors), "named lock wait+release", MicrosPerCall(bareLock));

    // Translating one counter name against one read of the English list it walks.
    auto translate = [] {
        wchar_t name[MAX_PATH];
        uint32_t capacity = MAX_PATH;
        GetLocalizedCounterName(L"Page Faults/sec", name, &capacity);
    };
    DWORD listBytes = 0;
    auto readList = [&listBytes] { listBytes = ReadEnglishList(); };
    double read = MicrosPerCall(readList, 20);
    char floorName[64];
    snprintf(floorName, sizeof floorName, "read of a %lu KB list", listBytes / 1024);
    Ratio("counter-name translation", MicrosPerCall(translate, 20), floorName, read);
    return 0;
}
