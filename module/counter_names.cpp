// Translating a counter's English name through the Perflib name lists.
#include "counter_names.h"

#include <wchar.h>

bool ReadCounterList(HKEY key, CounterList& list) {
    DWORD size = COUNTER_LIST_INITIAL_BYTES;
    for (int read = 0; read < COUNTER_LIST_MAX_READS; ++read) {
        list.data = AllocZeroed(size);
        if (!list.data) {
            list.status = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        DWORD bytes = size;
        LONG status = RegQueryValueExW(key, L"Counter", nullptr, nullptr,
                                       static_cast<BYTE*>(list.data.get()), &bytes);
        if (status == ERROR_SUCCESS && bytes <= size) {
            list.bytes = bytes;
            list.status = ERROR_SUCCESS;
            return true;
        }
        list.status = status == ERROR_SUCCESS ? ERROR_MORE_DATA : status;
        // A too-small buffer reports the size it needs; one byte more leaves room to spare.
        if (bytes >= MAXDWORD) return false;
        size = bytes + 1;
    }
    list.data.reset();
    return false;
}

namespace {

// The string at character offset `at`, bounded by the data; text is null when `at` lies outside.
ListString StringAt(const wchar_t* list, size_t length, size_t at) {
    if (at >= length) return {nullptr, 0};
    size_t end = at;
    while (end < length && list[end] != L'\0') ++end;
    return {list + at, end - at};
}

// Offset of the string after the one at `at` (which must be inside the data).
size_t NextString(const ListString& s, const wchar_t* list) {
    return static_cast<size_t>(s.text - list) + s.length + 1;
}

bool Equals(const ListString& s, const wchar_t* name, size_t nameLength) {
    return s.length == nameLength && wmemcmp(s.text, name, nameLength) == 0;
}

}  // namespace

bool WalkCounterLists(const wchar_t* english, size_t englishLength, const wchar_t* localized,
                      size_t localizedLength, const wchar_t* englishName, ListString& result) {
    const size_t nameLength = wcslen(englishName);
    ListString first = StringAt(english, englishLength, 0);
    if (!first.text || first.length == 0) return false;
    size_t englishAt = NextString(first, english);
    size_t position = 1;
    for (;;) {
        ListString name = StringAt(english, englishLength, englishAt);
        if (!name.text) return false;
        if (Equals(name, englishName, nameLength)) break;
        ListString index = StringAt(english, englishLength, NextString(name, english));
        if (!index.text || index.length == 0) return false;
        englishAt = NextString(index, english);
        position += 2;
    }
    // The localized string at the same position; an empty string ends a list.
    size_t at = 0;
    for (size_t i = 0;; ++i) {
        ListString s = StringAt(localized, localizedLength, at);
        if (!s.text || s.length == 0) return false;
        if (i == position) {
            result = s;
            return true;
        }
        at = NextString(s, localized);
    }
}

uint32_t SystemLanguageNumber() {
    wchar_t path[MAX_PATH] = {};
    UINT dirLength = GetSystemDirectoryW(path, MAX_PATH);
    constexpr wchar_t file[] = L"\\user.exe";
    if (dirLength == 0 || dirLength + wcslen(file) >= MAX_PATH) return 0;
    wcscat(path, file);

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return 0;
    HeapBlock block = AllocZeroed(size);
    if (!block || !GetFileVersionInfoW(path, 0, size, block.get())) return 0;

    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* table = nullptr;
    UINT tableBytes = 0;
    if (!VerQueryValueA(block.get(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&table),
                        &tableBytes) ||
        !table || tableBytes < sizeof(Translation))
        return 0;
    return table[0].language & 0xFF;
}

void LanguageKeyName(uint32_t language, wchar_t (&name)[4]) {
    constexpr wchar_t digits[] = L"0123456789ABCDEF";
    name[0] = digits[(language >> 8) & 0xF];
    name[1] = digits[(language >> 4) & 0xF];
    name[2] = digits[language & 0xF];
    name[3] = L'\0';
}

namespace {

// The name list of one language, from its Perflib key.
bool ReadListOfLanguage(uint32_t language, CounterList& list) {
    wchar_t languageName[4];
    LanguageKeyName(language, languageName);
    wchar_t path[MAX_PATH] = {};
    wcscpy(path, PERFLIB_KEY);
    wcscat(path, languageName);
    RegKey key;
    list.status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key.put());
    return list.status == ERROR_SUCCESS && ReadCounterList(key.get(), list);
}

}  // namespace

bool ReadCounterNameLists(CounterNameLists& lists) {
    if (!ReadListOfLanguage(ENGLISH_LANGUAGE, lists.english)) return false;

    lists.language = SystemLanguageNumber();
    if (lists.language == 0) return false;
    // On an English system the language's list is the English list: one read serves both.
    if (lists.language == ENGLISH_LANGUAGE) return true;
    return ReadListOfLanguage(lists.language, lists.localized);
}

int TranslateCounterName(const CounterNameLists& lists, const wchar_t* englishName, wchar_t* out,
                         uint32_t* capacity) {
    if (!englishName || !out || !capacity) return 0;
    const CounterList& localized = lists.localized.data ? lists.localized : lists.english;
    ListString name;
    if (!WalkCounterLists(lists.english.chars(), lists.english.length(), localized.chars(), localized.length(),
                          englishName, name))
        return 0;
    if (*capacity > name.length) {
        wmemcpy(out, name.text, name.length);
        out[name.length] = L'\0';
    } else {
        *capacity = static_cast<uint32_t>(name.length + 1);
    }
    return 1;
}

int GetLocalizedCounterName(const wchar_t* englishName, wchar_t* out, uint32_t* capacity) {
    if (!englishName || !out || !capacity) return 0;
    CounterNameLists lists;
    return ReadCounterNameLists(lists) ? TranslateCounterName(lists, englishName, out, capacity) : 0;
}
