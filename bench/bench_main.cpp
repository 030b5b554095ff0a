// Prints what the module costs, each figure beside the floor it is measured against in the same
// run. It asserts nothing: figures go into notes and the README, not into tests.
#include <stdio.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "../common/handles.h"
#include "counter_names.h"
#include "sampling.h"
#include "sensor_setup.h"
#include "sensor_table.h"
#include "state.h"

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
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

void Ratio(const char* what, double cost, const char* floorName, double floor) {
    printf("%-34s %9.2f us   floor (%s) %8.2f us   ratio %5.2f\n", what, cost, floorName, floor, cost / floor);
}

}  // namespace

int main() {
    printf("kelvrim benchmark (one run; wall-clock figures under this platform)\n\n");

    // Start and stop at the default interval, as a host does.
    SPStartupInfo info = {};
    double start = Now();
    int started = SPInitialize(nullptr, &info);
    double initMs = (Now() - start) * 1e3;
    if (!started) {
        printf("SPInitialize failed: run with the counter-library stand-in beside this program\n");
        return 1;
    }
    Sleep(1500);  // let the sampler enter its one-second wait
    start = Now();
    SPUninitialize();
    double uninitMs = (Now() - start) * 1e3;
    printf("%-34s %9.2f ms\n", "SPInitialize (interval 5000 ms)", initMs);
    printf("%-34s %9.2f ms\n\n", "SPUninitialize (interval 5000 ms)", uninitMs);

    // One tick against a bare memory-status call, with the module's table and lock in place.
    // The platform may answer a memory-status call from a cache for up to a second; ticks come
    // at least a second apart, so both sides are timed one call at a time, a second apart.
    auto memoryStatus = [] {
        MEMORYSTATUSEX s = {};
        s.dwLength = sizeof s;
        GlobalMemoryStatusEx(&s);
    };
    moduleInitialized = 1;
    double tick = MicrosPerCall(
        [] {
            SampleTick();
            eventQueue.Clear();
        },
        1, 7, 1001);
    moduleInitialized = 0;
    double status = MicrosPerCall(memoryStatus, 1, 7, 1001);
    Ratio("one sampling tick", tick, "GlobalMemoryStatusEx", status);

    // One request through the export against the bare cost of the named lock it takes.
    auto sensors = [] {
        SPSensorRecord records[SENSOR_COUNT];
        uint32_t count = SENSOR_COUNT;
        SPConfig(SP_OP_GET, "SP_SENSORS", &count, records, nullptr);
    };
    auto bareLock = [] {
        HANDLE lock = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, MODULE_LOCK_NAME);
        WaitForSingleObject(lock, INFINITE);
        ReleaseMutex(lock);
        CloseHandle(lock);
    };
    Ratio("one \"SP_SENSORS\" request", MicrosPerCall(sensors), "named lock round", MicrosPerCall(bareLock));

    // Translating one counter name against one read of the English list it walks.
    auto translate = [] {
        wchar_t name[MAX_PATH];
        uint32_t capacity = MAX_PATH;
        GetLocalizedCounterName(L"Page Faults/sec", name, &capacity);
    };
    DWORD listBytes = 0;
    auto readList = [&listBytes] {
        RegKey key;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009", 0,
                      KEY_READ, key.put());
        CounterList list;
        ReadCounterList(key.get(), list);
        listBytes = list.bytes;
    };
    double read = MicrosPerCall(readList, 20);
    char floorName[64];
    snprintf(floorName, sizeof floorName, "read of a %lu KB list", listBytes / 1024);
    Ratio("counter-name translation", MicrosPerCall(translate, 20), floorName, read);
    return 0;
}
