// pdh_probe_host.exe: a host that does not import the counter library itself. It loads
// pdh_probe.dll (and with it pdh.dll) at run time, as the sensor host loads the module, either
// when run ("load") or as a service ("service"), and records what the probe saw.
#include <windows.h>
#include <string.h>

#include "../../common/handles.h"
#include "probe.h"

namespace {

void Record(HKEY key, const wchar_t* name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

bool RunProbe() {
    RegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, PROBE_RESULTS_KEY, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    Record(key.get(), L"ProcessId", GetCurrentProcessId());
    HMODULE probe = LoadLibraryW(L"pdh_probe.dll");
    if (!probe) return false;
    auto listBytes = reinterpret_cast<ProbeCounterListBytesFn>(
        reinterpret_cast<void*>(GetProcAddress(probe, "ProbeCounterListBytes")));
    auto oneWindow = reinterpret_cast<ProbeOneWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(probe, "ProbeOneWindow")));
    if (!listBytes || !oneWindow) return false;
    // Wine names its own library by the path it was looked for at, so ask for what only the
    // stand-in exports.
    HMODULE pdh = GetModuleHandleW(L"pdh.dll");
    Record(key.get(), L"StandIn", pdh && GetProcAddress(pdh, "StandInWriteCounterLists") ? 1 : 0);
    Record(key.get(), L"ListBytes", listBytes(L"009"));
    Record(key.get(), L"Rate", static_cast<DWORD>(oneWindow()));
    Record(key.get(), L"Done", 1);
    return true;
}

SERVICE_STATUS_HANDLE statusHandle;

void Report(DWORD state) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Control(DWORD, DWORD, void*, void*) { return NO_ERROR; }

void WINAPI ServiceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(PROBE_SERVICE, Control, nullptr);
    if (!statusHandle) return;
    Report(SERVICE_RUNNING);
    RunProbe();
    Report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "service") == 0) {
        wchar_t name[64];
        wcscpy(name, PROBE_SERVICE);
        SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) ? 0 : 1;
    }
    return RunProbe() ? 0 : 1;
}
