// Narrowing the library search, and loading what boxes and windows load by name from the system.
#include "library_search.h"

#include <windows.h>
#include <shlwapi.h>

namespace {

// What message boxes and windows load by name on some Windows from 2000 on (themes, the desktop
// window manager, input methods and text services, complex scripts). The system's known libraries
// are always taken from the system directory and need no place here.
constexpr const char* BOX_LIBRARIES[] = {"uxtheme.dll", "dwmapi.dll", "imm32.dll", "msctf.dll", "lpk.dll", "usp10.dll"};

// Windows 8 on, and Vista and 7 with update KB2533623.
constexpr DWORD SEARCH_SYSTEM32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
// Windows 7 on: SearchPath looks in the current folder last, for good.
constexpr DWORD SAFE_SEARCH_FOR_GOOD = 0x00000001 | 0x00008000;

template <class Function>
Function Lookup(HMODULE kernel, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel, name)));
}

}  // namespace

void LoadLibrariesOnlyFromTheSystem() {
    // Looked up, not imported: the program must load where they do not exist.
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (const auto setDefault = Lookup<BOOL(WINAPI*)(DWORD)>(kernel, "SetDefaultDllDirectories")) {
        setDefault(SEARCH_SYSTEM32);
    } else if (const auto setDirectory = Lookup<BOOL(WINAPI*)(LPCSTR)>(kernel, "SetDllDirectoryA")) {
        setDirectory("");  // Windows XP SP1 on: no longer the current folder
    }
    if (const auto setSearchMode = Lookup<BOOL(WINAPI*)(DWORD)>(kernel, "SetSearchPathMode"))
        setSearchMode(SAFE_SEARCH_FOR_GOOD);

    // Where nothing narrows the search (Windows 2000 and XP, Vista and 7 without the update), the
    // folder of the program comes first: loaded by full path now, these are found loaded later.
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    for (const char* name : BOX_LIBRARIES) {
        char path[MAX_PATH];
        if (wnsprintfA(path, MAX_PATH, "%s\\%s", system, name) > 0)
            LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);  // kept until the process ends
    }
}
