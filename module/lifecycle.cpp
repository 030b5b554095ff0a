#include "lifecycle.h"

#include <mbstring.h>
#include <string.h>

#include "counter_names.h"
#include "sampling.h"
#include "sensor_setup.h"
#include "sensor_table.h"
#include "state.h"
#include "timer_thread.h"

namespace {

constexpr DWORD WORKER_STOP_BOUND_MS = 5000;
constexpr uint32_t STARTUP_CODE = 5;

DWORD timerThreadId;

// Waits for a worker that was told to stop; ends it by force only past the bound.
void EndWorker(HANDLE& thread) {
    if (!thread) return;
    if (WaitForSingleObject(thread, WORKER_STOP_BOUND_MS) == WAIT_TIMEOUT) TerminateThread(thread, 0);
    CloseHandle(thread);
    thread = nullptr;
}

void CloseAndClear(HANDLE& handle) {
    if (handle) CloseHandle(handle);
    handle = nullptr;
}

// Releases everything a start created, whether it got all the way or failed part-way: the
// host may unload the library as soon as either call returns.
void StopModule() {
    if (timerId) {
        KillTimer(timerWindow, timerId);
        timerId = 0;
    }
    if (timerThread) {
        if (timerWindow && IsWindow(timerWindow))
            PostMessageA(timerWindow, WM_CLOSE, 0, 0);
        else
            PostThreadMessageA(timerThreadId, WM_QUIT, 0, 0);
        EndWorker(timerThread);
        // The class must not outlive this run: a later load of the module may sit elsewhere.
        UnregisterClassA(TIMER_WINDOW_CLASS, ModuleInstance());
    }
    // A window handle can be reused by any window of the host once ours is gone.
    timerWindow = nullptr;
    CloseAndClear(hostEvent);
    if (samplerStopEvent) SetEvent(samplerStopEvent);
    EndWorker(samplerThread);
    CloseAndClear(samplerStopEvent);
    if (pageFaultCounter) RemoveCounter(pageFaultCounter);
    pageFaultCounter = nullptr;
    if (counterQuery) CloseCounterQuery(counterQuery);
    counterQuery = nullptr;
}

// Looks up one name into a 260-character buffer; a name that does not fit is a failure.
bool LocalizedName(const wchar_t* englishName, wchar_t (&name)[MAX_PATH]) {
    uint32_t capacity = MAX_PATH;
    return GetLocalizedCounterName(englishName, name, &capacity) && capacity == MAX_PATH;
}

int FailStart() {
    StopModule();
    return 0;
}

}  // namespace

uint32_t ParseServicePack(const char* text) {
    if (!text) return 0;
    const unsigned char* pack = _mbsstr(reinterpret_cast<const unsigned char*>(text),
                                        reinterpret_cast<const unsigned char*>("Pack"));
    if (!pack || pack[4] == '\0') return 0;  // nothing after "Pack" to skip over
    const unsigned char* p = pack + 5;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    uint32_t number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint32_t next = number * 10 + (*p - '0');
        number = next / 10 == number ? next : UINT32_MAX;
    }
    return number;
}

int IsSupportedVersion(const OSVERSIONINFOA& version) {
    switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32_WINDOWS:
        return version.dwMajorVersion > 4 || (version.dwMajorVersion == 4 && version.dwMinorVersion > 0);
    case VER_PLATFORM_WIN32_NT: {
        char servicePack[sizeof version.szCSDVersion + 1] = {};
        memcpy(servicePack, version.szCSDVersion, sizeof version.szCSDVersion);
        const uint32_t pack = ParseServicePack(servicePack);
        return version.dwMajorVersion > 4 || (version.dwMajorVersion == 4 && pack >= 4);
    }
    default:
        return 0;
    }
}

int IsSupportedOs() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return IsSupportedVersion(version);
}

PDH_HQUERY OpenCounterQuery() {
    PDH_HQUERY query = nullptr;
    return PdhOpenQueryA(nullptr, 0, &query) == ERROR_SUCCESS ? query : nullptr;
}

int MakeCounterPath(wchar_t (&path)[MAX_PATH], const wchar_t* objectName, const wchar_t* instanceName,
                    const wchar_t* counterName, DWORD instanceIndex) {
    PDH_COUNTER_PATH_ELEMENTS_W elements = {};
    elements.szObjectName = const_cast<wchar_t*>(objectName);
    elements.szInstanceName = const_cast<wchar_t*>(instanceName);
    elements.dwInstanceIndex = instanceIndex;
    elements.szCounterName = const_cast<wchar_t*>(counterName);
    DWORD size = MAX_PATH;
    return PdhMakeCounterPathW(&elements, path, &size, 0) == ERROR_SUCCESS ? 1 : 0;
}

PDH_HCOUNTER AddCounter(PDH_HQUERY query, const wchar_t* objectName, const wchar_t* counterName,
                        const wchar_t* instanceName, DWORD instanceIndex) {
    if (!query) return nullptr;
    wchar_t path[MAX_PATH] = {};
    if (!MakeCounterPath(path, objectName, instanceName, counterName, instanceIndex)) return nullptr;
    PDH_HCOUNTER counter = nullptr;
    return PdhAddCounterW(query, path, 0, &counter) == ERROR_SUCCESS ? counter : nullptr;
}

void RemoveCounter(PDH_HCOUNTER counter) { PdhRemoveCounter(counter); }

void CloseCounterQuery(PDH_HQUERY query) { PdhCloseQuery(query); }

extern "C" int SPInitialize(const SPGlobalProperty* settings, SPStartupInfo* info) {
    // The lock exists from the first call on, even when the module does not start; one handle
    // serves every later call.
    if (HANDLE lock = CreateMutexA(nullptr, FALSE, MODULE_LOCK_NAME)) {
        if (moduleLock)
            CloseHandle(lock);
        else
            moduleLock = lock;
    }
    if (!IsSupportedOs()) return 0;
    if (moduleInitialized) return 1;
    if (!info) return 0;
    if (settings) globalProperty = *settings;

    info->startupCode = STARTUP_CODE;
    hostEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!hostEvent) return 0;
    info->hostEvent = hostEvent;

    wchar_t objectName[MAX_PATH] = {};
    wchar_t counterName[MAX_PATH] = {};
    if (!LocalizedName(L"Memory", objectName) || !LocalizedName(L"Page Faults/sec", counterName))
        return FailStart();
    counterQuery = OpenCounterQuery();
    if (!counterQuery) return FailStart();
    pageFaultCounter = AddCounter(counterQuery, objectName, counterName, nullptr, static_cast<DWORD>(-1));
    if (!pageFaultCounter) return FailStart();
    samplerStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!samplerStopEvent) return FailStart();
    samplerThread = CreateThread(nullptr, 0, PageFaultSampler, nullptr, 0, nullptr);
    if (!samplerThread) return FailStart();
    if (!SetupSensors()) return FailStart();

    // Not reported when it fails: the module then runs without ticks.
    UniqueHandle ready(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    timerWindow = nullptr;
    timerThread = CreateThread(nullptr, 0, TimerThreadMain, ready.get(), 0, &timerThreadId);
    if (timerThread && ready) WaitForSingleObject(ready.get(), WORKER_STOP_BOUND_MS);

    InterlockedExchange(&moduleInitialized, 1);
    return 1;
}

extern "C" int SPUninitialize(void) {
    if (!moduleInitialized) return 0;
    StopModule();
    InterlockedExchange(&moduleInitialized, 0);
    return 1;
}
