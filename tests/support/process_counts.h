// How many threads and handles this process holds, for tests that must leave none behind.
#ifndef TESTS_SUPPORT_PROCESS_COUNTS_H
#define TESTS_SUPPORT_PROCESS_COUNTS_H

#include <windows.h>
#include <stdint.h>

#include <tlhelp32.h>

inline DWORD ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

// GetProcessHandleCount answers 0 under Wine, so the open handles are counted by asking after
// each value: handles are handed out lowest free value first, so a leak shows below the bound.
inline DWORD HandleCount() {
    DWORD count = 0, flags;
    for (uintptr_t value = 4; value < 0x2000; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    return count;
}

#endif
