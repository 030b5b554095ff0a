// Translating English performance-counter names through the system's Perflib name lists.
#ifndef MODULE_COUNTER_NAMES_H
#define MODULE_COUNTER_NAMES_H

#include <windows.h>
#include <stdint.h>
#include "../common/handles.h"

constexpr wchar_t PERFLIB_KEY[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\";
constexpr DWORD COUNTER_LIST_INITIAL_BYTES = 1024 * 1024;
constexpr int COUNTER_LIST_MAX_READS = 10;
constexpr uint32_t ENGLISH_LANGUAGE = 9;

// A counter list as read: a zero-filled heap block and the byte count the read reported.
struct CounterList {
    HeapBlock data;
    DWORD bytes = 0;
    LONG status = ERROR_SUCCESS;  // why the list could not be read: the failed open's or read's
    const wchar_t* chars() const { return static_cast<const wchar_t*>(data.get()); }
    // Whole wide characters inside the reported data; an odd last byte is not one.
    size_t length() const { return bytes / sizeof(wchar_t); }
};

// Reads the "Counter" value of `key`, retrying with the size a failed read reports (plus one
// byte) up to COUNTER_LIST_MAX_READS times. False when no read succeeds or memory runs out.
bool ReadCounterList(HKEY key, CounterList& list);

// One string of a list: where it starts and how many characters it has before its terminator
// or the end of the data, whichever comes first.
struct ListString {
    const wchar_t* text;
    size_t length;
};

// Pairs the two lists by position: finds the first name in `english` (odd positions) equal to
// `englishName` and returns the string of `localized` at that position. False when the name is
// not there or the localized list ends first. Never reads past either list's length.
bool WalkCounterLists(const wchar_t* english, size_t englishLength, const wchar_t* localized,
                      size_t localizedLength, const wchar_t* englishName, ListString& result);

// The primary language of the system's user.exe, or 0 when it cannot be told.
uint32_t SystemLanguageNumber();

// The Perflib key name of a primary language: three upper-case hexadecimal digits ("009", "00C").
void LanguageKeyName(uint32_t language, wchar_t (&name)[4]);

// The English name list and the system language's list, read once for several translations.
struct CounterNameLists {
    CounterList english;
    CounterList localized;  // empty when the system's language is English: the English list serves
    uint32_t language = 0;  // the system's, once the English list was read; 0: it cannot be told
};
bool ReadCounterNameLists(CounterNameLists& lists);

// GetLocalizedCounterName over lists already read.
int TranslateCounterName(const CounterNameLists& lists, const wchar_t* englishName, wchar_t* out,
                         uint32_t* capacity);

// Reads the lists and translates one name. 1 when `englishName` was found: the localized name is copied into `out` when *capacity is
// larger than its length, otherwise *capacity is set to length + 1. 0 on any failure, with `out`
// and *capacity untouched.
int GetLocalizedCounterName(const wchar_t* englishName, wchar_t* out, uint32_t* capacity);

#endif
