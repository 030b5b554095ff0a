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

// A service that stays in stop-pending longer than this is given up.
constexpr DWORD STOP_WAIT_LIMIT_MS = 120000;
// A rollback gives a service this long to leave start-pending, or the service database locked by
// a start under way.
constexpr DWORD START_WAIT_LIMIT_MS = 120000;
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
// The service's current state (SERVICE_RUNNING, ...) in `state`, 0 when there is no such service;
// false when it cannot be asked (the manager or the service cannot be opened, or the query fails),
// with the error in `error`.
bool QueryServiceState(const char* name, DWORD* state, DWORD* error);
// The state once the service has left start-pending and stop-pending, or the pending state it
// still has after the wait's limit; 0 when there is no such service or it cannot be asked.
DWORD SettledState(const char* name);
// Does not wait for the service to reach the running state.
DWORD StartServiceByName(const char* name, ServiceReport* report = nullptr);

#endif
