// The counter library's statuses by name, as its header spells them.
#ifndef TOOLS_SPHOST_PDH_STATUS_H
#define TOOLS_SPHOST_PDH_STATUS_H

#include <windows.h>
#include <pdh.h>

// "PDH_CSTATUS_NO_OBJECT" and the like; null for a status this table does not know.
const char* PdhStatusName(PDH_STATUS status);

#endif
