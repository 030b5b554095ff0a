// How many threads and handles this process holds, for tests that must leave none behind.
#ifndef TESTS_SUPPORT_PROCESS_COUNTS_H
#define TESTS_SUPPORT_PROCESS_COUNTS_H

#include <windows.h>

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

inline DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

#endif
