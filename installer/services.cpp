#include "services.h"

#include "common/handles.h"

DWORD StopServiceAndWait(const char* name) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return SERVICE_RESULT_NO_MANAGER;
    ServiceHandle service(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return SERVICE_RESULT_NO_SERVICE;

    SERVICE_STATUS status = {};
    // A refused request is how a service that is not running answers.
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return SERVICE_RESULT_OK;

    const DWORD start = GetTickCount();
    SERVICE_STATUS polled = {};
    while (QueryServiceStatus(service.get(), &polled)) {
        status = polled;
        // A service stuck in stop-pending must not hold the patch up forever.
        if (status.dwCurrentState != SERVICE_STOP_PENDING || GetTickCount() - start >= STOP_WAIT_LIMIT_MS)
            break;
        Sleep(STOP_POLL_MS);
    }
    return status.dwCurrentState == SERVICE_STOPPED ? SERVICE_RESULT_OK : SERVICE_RESULT_NOT_STOPPED;
}

DWORD StartServiceByName(const char* name) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return SERVICE_RESULT_NO_MANAGER;
    ServiceHandle service(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return SERVICE_RESULT_NO_SERVICE;
    if (StartServiceA(service.get(), 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING)
        return SERVICE_RESULT_OK;
    return SERVICE_RESULT_START_FAILED;
}
