// The library's entry point.
#include <windows.h>

// Loading and unloading do no work of the module's own: SPInitialize and SPUninitialize do.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
