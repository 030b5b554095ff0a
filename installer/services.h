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

// A service that stays in stop-pending (or, for a rollback, start-pending) longer than this is
// given up.
constexpr DWORD STOP_WAIT_LIMIT_MS = 120000;
constexpr DWORD STOP_POLL_MS = 100;

constexpr DWORD SEEN_STATES_MAX = 8;

// What a service operation saw, for the run's log.
struct ServiceReport {
    DWORD error = 0;  // the Win32 error behind the result, or of a refused stop or start request
    // The state returned with an accepted stop request, then each state a poll found that differs
    // from the one before; past the limit the last slot keeps the latest.
    DWORD states[SEEN_STATES_MAX] = {};
    DWORD stateCount = 0;
    DWORD polls = 0;
};

DWORD StopServiceAndWait(const char* name, ServiceReport* report = nullptr);
// The service's current state (SERVICE_RUNNING, ...), or 0 when it cannot be queried, as when
// there is no such service.
DWORD ServiceState(const char* name);
// The state once the service has left start-pending and stop-pending, or the pending state it
// still has after STOP_WAIT_LIMIT_MS; 0 as above.
DWORD SettledState(const char* name);
// Does not wait for the service to reach the running state.
DWORD StartServiceByName(const char* name, ServiceReport* report = nullptr);

#endif
