// Stopping and starting a service through the service control manager.
#include "services.h"

#include "common/handles.h"

namespace {

void NoteState(ServiceReport& report, DWORD state) {
    if (report.stateCount > 0 && report.states[report.stateCount - 1] == state) return;
    if (report.stateCount < SEEN_STATES_MAX) ++report.stateCount;
    report.states[report.stateCount - 1] = state;
}

// The result, with the Win32 error that led to it noted for the log.
DWORD WithLastError(ServiceReport& report, DWORD result) {
    report.error = GetLastError();
    return result;
}

// The service with all access through a manager opened with all access; 0, or the result code of
// what could not be opened.
DWORD OpenForControl(const char* name, ServiceHandle& manager, ServiceHandle& service, ServiceReport& seen) {
    manager.reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return WithLastError(seen, SERVICE_RESULT_NO_MANAGER);
    service.reset(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return WithLastError(seen, SERVICE_RESULT_NO_SERVICE);
    return SERVICE_RESULT_OK;
}

}  // namespace

DWORD StopServiceAndWait(const char* name, ServiceReport* report) {
    ServiceReport ignored;
    ServiceReport& seen = report ? *report : ignored;
    seen = ServiceReport();
    ServiceHandle manager, service;
    if (const DWORD failed = OpenForControl(name, manager, service, seen)) return failed;

    SERVICE_STATUS status = {};
    // A refused request is how a service that is not running answers.
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return WithLastError(seen, SERVICE_RESULT_OK);
    NoteState(seen, status.dwCurrentState);

    const DWORD start = GetTickCount();
    for (;;) {
        SERVICE_STATUS polled = {};
        if (!QueryServiceStatus(service.get(), &polled)) {
            seen.error = GetLastError();
            break;
        }
        ++seen.polls;
        status = polled;
        NoteState(seen, status.dwCurrentState);
        // A service stuck in stop-pending must not hold the patch up forever.
        if (status.dwCurrentState != SERVICE_STOP_PENDING || GetTickCount() - start >= STOP_WAIT_LIMIT_MS) break;
        Sleep(STOP_POLL_MS);
    }
    return status.dwCurrentState == SERVICE_STOPPED ? SERVICE_RESULT_OK : SERVICE_RESULT_NOT_STOPPED;
}

bool QueryServiceState(const char* name, DWORD* state, DWORD* error) {
    *state = 0;
    *error = ERROR_SUCCESS;
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager ? OpenServiceA(manager.get(), name, SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status = {};
    if (service && QueryServiceStatus(service.get(), &status)) {
        *state = status.dwCurrentState;
        return true;
    }
    *error = GetLastError();
    return manager && *error == ERROR_SERVICE_DOES_NOT_EXIST;
}

DWORD SettledState(const char* name) {
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD state = 0, error = ERROR_SUCCESS;
        QueryServiceState(name, &state, &error);
        const DWORD limit = state == SERVICE_START_PENDING ? START_WAIT_LIMIT_MS : STOP_WAIT_LIMIT_MS;
        if ((state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING) || GetTickCount() - start >= limit)
            return state;
        Sleep(STOP_POLL_MS);
    }
}

DWORD StartServiceByName(const char* name, ServiceReport* report) {
    ServiceReport ignored;
    ServiceReport& seen = report ? *report : ignored;
    seen = ServiceReport();
    ServiceHandle manager, service;
    if (const DWORD failed = OpenForControl(name, manager, service, seen)) return failed;
    if (StartServiceA(service.get(), 0, nullptr)) return SERVICE_RESULT_OK;
    return WithLastError(seen, GetLastError() == ERROR_SERVICE_ALREADY_RUNNING ? SERVICE_RESULT_OK
                                                                        : SERVICE_RESULT_START_FAILED);
}
