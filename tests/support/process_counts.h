// How many threads and handles this process holds, for tests that must leave none behind.
#ifndef TESTS_SUPPORT_PROCESS_COUNTS_H
#define TESTS_SUPPORT_PROCESS_COUNTS_H

#include <windows.h>
#include <stdint.h>

#include <tlhelp32.h>
#include <winternl.h>
#include <wchar.h>

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

// The open handles of the kinds the module itself opens: events, threads, mutexes and registry
// keys. Wine now and then keeps an object of a nameless kind of its own after a window or a
// message box, at no fixed moment, which a plain count would take for a leak.
inline DWORD ModuleKindHandleCount() {
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const QueryObject query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    const wchar_t* const kinds[] = {L"Event", L"Thread", L"Mutant", L"Key"};
    DWORD count = 0, flags;
    for (uintptr_t value = 4; value < 0x2000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        union {
            UNICODE_STRING name;  // the type information starts with the kind's name
            char bytes[512];
        } type;
        if (!GetHandleInformation(handle, &flags) || query(handle, 2, &type, sizeof type, nullptr) != 0) continue;
        for (const wchar_t* kind : kinds)
            if (wcslen(kind) == type.name.Length / sizeof(wchar_t) && wcsncmp(kind, type.name.Buffer, wcslen(kind)) == 0)
                ++count;
    }
    return count;
}

#endif
