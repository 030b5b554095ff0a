// pdh_probe.dll: a module that imports the counter library and reads the name lists the way
// the sensor module does, so a test can load it the way a host loads the module.
#include <windows.h>
#include <pdh.h>

#include "probe.h"

extern "C" __declspec(dllexport) DWORD WINAPI ProbeCounterListBytes(const wchar_t* language) {
    wchar_t path[MAX_PATH] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\";
    if (wcslen(path) + wcslen(language) >= MAX_PATH) return 0;
    wcscat(path, language);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 0;
    DWORD bytes = 0;
    LONG status = RegQueryValueExW(key, L"Counter", nullptr, nullptr, nullptr, &bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? bytes : 0;
}

extern "C" __declspec(dllexport) LONG WINAPI ProbeOneWindow() {
    PDH_HQUERY query;
    if (PdhOpenQueryA(nullptr, 0, &query) != ERROR_SUCCESS) return PROBE_FAILED;
    LONG result = PROBE_FAILED;
    PDH_HCOUNTER counter;
    PDH_FMT_COUNTERVALUE value;
    if (PdhAddCounterW(query, L"\\Memory\\Page Faults/sec", 0, &counter) == ERROR_SUCCESS &&
        PdhCollectQueryData(query) == ERROR_SUCCESS && PdhCollectQueryData(query) == ERROR_SUCCESS &&
        PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, nullptr, &value) == ERROR_SUCCESS)
        result = value.longValue;
    PdhCloseQuery(query);
    return result;
}
