// Stopping and starting a service by name, with the small result codes of the patch flow.
#ifndef INSTALLER_SERVICES_H
#define INSTALLER_SERVICES_H

#include <windows.h>

enum : DWORD {
    SERVICE_RESULT_OK = 0,  // also: stop refused, or already running
    SERVICE_RESULT_NO_MANAGER = 201,
    SERVICE_RESULT_START_FAILED = 203,
    SERVICE_RESULT_NO_SERVICE = 204,
    SERVICE_RESULT_NOT_STOPPED = 205,
};

// A service that stays in stop-pending longer than this is given up as not stopped.
constexpr DWORD STOP_WAIT_LIMIT_MS = 120000;
constexpr DWORD STOP_POLL_MS = 100;

DWORD StopServiceAndWait(const char* name);
// Does not wait for the service to reach the running state.
DWORD StartServiceByName(const char* name);

#endif
