// Sensor set-up at every start and the registry persistence of the FH and WH limits.
#ifndef MODULE_SENSOR_SETUP_H
#define MODULE_SENSOR_SETUP_H

#include <windows.h>
#include "kelvrim.h"
#include "state.h"

// The status SetupSensors gives when the memory status cannot be read.
constexpr LONG SETUP_NO_MEMORY_STATUS = -1;

// Sets up the three sensors. ERROR_SUCCESS when done; otherwise SETUP_NO_MEMORY_STATUS, or the
// status of the stored limit that could not be read, which the caller reports with
// ReportSetupFailure once it has let the lock go.
LONG SetupSensors(const ModuleLockScope& lock);

// The "Error" box for a limit that could not be read; nothing for the memory status.
void ReportSetupFailure(LONG status);

// Writes the record's WH, then its FH, under value names built from `name`.
void SaveThresholds(const SPSensorRecord& record, const char* name);

// Creates or opens the key, sets one value and closes the key; 1 when the value was stored.
int WriteRegistryValue(HKEY root, const char* subKey, const char* valueName, DWORD type,
                       const void* data, DWORD size);

// The event source under which the text of a box no one could see is logged.
constexpr char EVENT_SOURCE_NAME[] = "kelvrim";

// The modal "Error" box with the system's text for `status`. On a window station no one can see
// (a service's), where the box would wait for ever, the same text goes to the Application event
// log as an error instead, and the call returns as if the box had been dismissed.
void ShowErrorBox(DWORD status);

// Whether a person can see this process's boxes; true when it cannot be told.
bool WindowStationIsVisible();

#endif
