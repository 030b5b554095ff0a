// Sensor set-up at every start and the registry persistence of the FH and WH limits.
#ifndef MODULE_SENSOR_SETUP_H
#define MODULE_SENSOR_SETUP_H

#include <windows.h>
#include "kelvrim.h"

// 1 when the three sensors are set up; 0 when the memory status or a stored limit cannot be read.
int SetupSensors();

// Writes the record's WH, then its FH, under value names built from `name`.
void SaveThresholds(const SPSensorRecord& record, const char* name);

// Creates or opens the key, sets one value and closes the key; 1 when the value was stored.
int WriteRegistryValue(HKEY root, const char* subKey, const char* valueName, DWORD type,
                       const void* data, DWORD size);

// The modal "Error" box with the system's text for `status`.
void ShowErrorBox(DWORD status);

#endif
