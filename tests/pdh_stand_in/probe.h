// What the probe programs report, and where.
#ifndef TESTS_PDH_STAND_IN_PROBE_H
#define TESTS_PDH_STAND_IN_PROBE_H

#include <windows.h>

constexpr LONG PROBE_FAILED = -1;
constexpr wchar_t PROBE_RESULTS_KEY[] = L"Software\\KelvrimTests\\PdhProbe";
constexpr wchar_t PROBE_SERVICE[] = L"KelvrimPdhProbe";

// Exports of pdh_probe.dll.
using ProbeCounterListBytesFn = DWORD(WINAPI*)(const wchar_t* language);
using ProbeOneWindowFn = LONG(WINAPI*)();

#endif
