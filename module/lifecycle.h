// Start and stop of the module, the operating-system check and the page-fault counter query.
#ifndef MODULE_LIFECYCLE_H
#define MODULE_LIFECYCLE_H

#include <windows.h>
#include <pdh.h>
#include <stdint.h>

int IsSupportedOs();
// The decision on a given version record: 1 accepted, 0 refused.
int IsSupportedVersion(const OSVERSIONINFOA& version);
// The number after "Pack" and one separator ("Service Pack 6a" gives 6); 0 when there is none.
uint32_t ParseServicePack(const char* text);

PDH_HQUERY OpenCounterQuery();
int MakeCounterPath(wchar_t (&path)[MAX_PATH], const wchar_t* objectName, const wchar_t* instanceName,
                    const wchar_t* counterName, DWORD instanceIndex);
PDH_HCOUNTER AddCounter(PDH_HQUERY query, const wchar_t* objectName, const wchar_t* counterName,
                        const wchar_t* instanceName, DWORD instanceIndex);
void RemoveCounter(PDH_HCOUNTER counter);
void CloseCounterQuery(PDH_HQUERY query);

#endif
