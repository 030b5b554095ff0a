// The operating-system check that guards every start.
#ifndef MODULE_OS_CHECK_H
#define MODULE_OS_CHECK_H

#include <windows.h>
#include <stdint.h>

int IsSupportedOs();
// The decision on a given version record: 1 accepted, 0 refused.
int IsSupportedVersion(const OSVERSIONINFOA& version);
// The number after "Pack" and one separator ("Service Pack 6a" gives 6); 0 when there is none.
uint32_t ParseServicePack(const char* text);

#endif
