// Taking a registry key whole into memory, checking a stored one, and putting it back.
#include "key_snapshot.h"

#include <shlwapi.h>
#include <string.h>

namespace {

enum : BYTE { RECORD_KEY = 1, RECORD_VALUE = 2 };
// Deep enough for any key of the product's; a deeper one is refused rather than cut short.
constexpr DWORD PATH_CHARS = 1024;
// The registry's own limits on the length of a key's name and of a value's name.
constexpr DWORD KEY_NAME_CHARS = 255;
constexpr DWORD VALUE_NAME_CHARS = 16383;

// Record: kind (1 byte), name length (4), type (4), data size (4), name, data.
constexpr DWORD HEADER_BYTES = 13;

bool Append(KeySnapshot& snapshot, const void* bytes, DWORD count) {
    if (snapshot.bytes + count < snapshot.bytes) return false;
    if (snapshot.bytes + count > snapshot.capacity) {
        DWORD next = snapshot.capacity ? snapshot.capacity : 4096;
        while (next < snapshot.bytes + count) {
            if (next > 0x40000000) return false;
            next *= 2;
        }
        HANDLE heap = GetProcessHeap();
        void* grown = snapshot.records ? HeapReAlloc(heap, 0, snapshot.records.get(), next) : HeapAlloc(heap, 0, next);
        if (!grown) return false;
        if (snapshot.records) (void)snapshot.records.release();  // moved by HeapReAlloc
        snapshot.records.reset(grown);
        snapshot.capacity = next;
    }
    memcpy(static_cast<BYTE*>(snapshot.records.get()) + snapshot.bytes, bytes, count);
    snapshot.bytes += count;
    return true;
}

bool AppendRecord(KeySnapshot& snapshot, BYTE kind, const char* name, DWORD type, const void* data, DWORD size) {
    BYTE header[HEADER_BYTES];
    const DWORD nameLength = static_cast<DWORD>(strlen(name));
    header[0] = kind;
    memcpy(header + 1, &nameLength, 4);
    memcpy(header + 5, &type, 4);
    memcpy(header + 9, &size, 4);
    return Append(snapshot, header, sizeof header) && Append(snapshot, name, nameLength) &&
           Append(snapshot, data, size);
}

// The key open as `key`, at `relative` below the snapshot's key, and everything below it.
LONG TakeKey(HKEY key, const char* relative, KeySnapshot& snapshot) {
    if (!AppendRecord(snapshot, RECORD_KEY, relative, 0, nullptr, 0)) return ERROR_OUTOFMEMORY;
    DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, largestData = 0;
    LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values,
                                   &longestName, &largestData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return status;
    HeapBlock name = AllocZeroed(longestName + 1 > longestSubkey + 1 ? longestName + 1 : longestSubkey + 1);
    HeapBlock data = AllocZeroed(largestData + 1);
    if (!name || !data) return ERROR_OUTOFMEMORY;
    char* const nameText = static_cast<char*>(name.get());

    for (DWORD i = 0; i < values; ++i) {
        DWORD nameLength = longestName + 1, size = largestData, type = 0;
        status = RegEnumValueA(key, i, nameText, &nameLength, nullptr, &type, static_cast<BYTE*>(data.get()), &size);
        if (status != ERROR_SUCCESS) return status;
        if (!AppendRecord(snapshot, RECORD_VALUE, nameText, type, data.get(), size)) return ERROR_OUTOFMEMORY;
        ++snapshot.values;
    }
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD nameLength = longestSubkey + 1;
        status = RegEnumKeyExA(key, i, nameText, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return status;
        char path[PATH_CHARS];
        if (wnsprintfA(path, PATH_CHARS, "%s%s%s", relative, *relative ? "\\" : "", nameText) >= int(PATH_CHARS - 1))
            return ERROR_FILENAME_EXCED_RANGE;
        RegKey subkey;
        status = RegOpenKeyExA(key, nameText, 0, KEY_READ, subkey.put());
        if (status != ERROR_SUCCESS) return status;
        ++snapshot.subkeys;
        status = TakeKey(subkey.get(), path, snapshot);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

struct Record {
    BYTE kind;
    const char* name;  // not terminated
    DWORD nameLength;
    DWORD type;
    const BYTE* data;
    DWORD size;
};

// The record at `at`, and where the next one begins; false when it does not fit in what is left.
bool NextRecord(const BYTE*& at, const BYTE* end, Record& record) {
    if (static_cast<DWORD>(end - at) < HEADER_BYTES) return false;
    record.kind = at[0];
    memcpy(&record.nameLength, at + 1, 4);
    memcpy(&record.type, at + 5, 4);
    memcpy(&record.size, at + 9, 4);
    const DWORD left = static_cast<DWORD>(end - at) - HEADER_BYTES;
    if (record.nameLength > left || record.size > left - record.nameLength) return false;
    record.name = reinterpret_cast<const char*>(at + HEADER_BYTES);
    record.data = at + HEADER_BYTES + record.nameLength;
    at = record.data + record.size;
    return true;
}

// A subkey's path below the key: names of 1 to 255 characters joined by single backslashes.
bool IsRelativeKeyPath(const char* path, DWORD length) {
    if (length == 0 || length >= PATH_CHARS) return false;
    DWORD name = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (path[i] == '\\') {
            if (name == 0) return false;
            name = 0;
        } else if (++name > KEY_NAME_CHARS) {
            return false;
        }
    }
    return name > 0;
}

bool Refuse(const char** why, const char* what) {
    *why = what;
    return false;
}

}  // namespace

LONG TakeKeySnapshot(HKEY root, const char* path, KeySnapshot& snapshot) {
    snapshot = KeySnapshot();
    RegKey key;
    const LONG opened = RegOpenKeyExA(root, path, 0, KEY_READ, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (opened != ERROR_SUCCESS) return opened;
    snapshot.existed = true;
    return TakeKey(key.get(), "", snapshot);
}

bool LoadKeySnapshot(bool existed, DWORD values, DWORD subkeys, const BYTE* records, DWORD bytes,
                     KeySnapshot& snapshot, const char** why) {
    snapshot = KeySnapshot();
    if (!existed) {
        if (values || subkeys || bytes) return Refuse(why, "contents for a settings key that did not exist");
        return true;
    }
    DWORD keys = 0, valuesSeen = 0;
    for (const BYTE *at = records, *end = records + bytes; at < end;) {
        Record record;
        if (!NextRecord(at, end, record)) return Refuse(why, "a settings record that runs past its end");
        if (memchr(record.name, '\0', record.nameLength)) return Refuse(why, "a name with a null character in it");
        if (record.kind == RECORD_KEY) {
            const bool first = keys++ == 0;
            if (record.type != 0 || record.size != 0) return Refuse(why, "a settings subkey with data");
            if (first ? record.nameLength != 0 : !IsRelativeKeyPath(record.name, record.nameLength))
                return Refuse(why, first ? "settings that do not begin with the key itself"
                                         : "a settings subkey path that is not a plain path below the key");
        } else if (record.kind == RECORD_VALUE) {
            if (keys == 0) return Refuse(why, "settings that do not begin with the key itself");
            if (record.nameLength > VALUE_NAME_CHARS) return Refuse(why, "a settings value name longer than the registry allows");
            ++valuesSeen;
        } else {
            return Refuse(why, "a settings record of an unknown kind");
        }
    }
    if (keys == 0) return Refuse(why, "settings that do not begin with the key itself");
    if (keys - 1 != subkeys || valuesSeen != values)
        return Refuse(why, "settings whose counts of values and subkeys do not match their records");
    if (!Append(snapshot, records, bytes)) return Refuse(why, "settings too large to hold in memory");
    snapshot.existed = true;
    snapshot.values = values;
    snapshot.subkeys = subkeys;
    return true;
}

LONG RestoreKeySnapshot(HKEY root, const char* path, const KeySnapshot& snapshot) {
    const LONG deleted = static_cast<LONG>(SHDeleteKeyA(root, path));
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) return deleted;
    if (!snapshot.existed) return RegFlushKey(root);
    RegKey top;
    LONG status = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, top.put(),
                                  nullptr);
    if (status != ERROR_SUCCESS) return status;
    RegKey subkey;
    HKEY current = top.get();
    char name[PATH_CHARS > VALUE_NAME_CHARS ? PATH_CHARS + 1 : VALUE_NAME_CHARS + 1];
    const BYTE* at = static_cast<const BYTE*>(snapshot.records.get());
    for (const BYTE* end = at + snapshot.bytes; at < end;) {
        Record record;
        if (!NextRecord(at, end, record) || record.nameLength >= sizeof name) return ERROR_INVALID_DATA;
        memcpy(name, record.name, record.nameLength);
        name[record.nameLength] = '\0';
        if (record.kind == RECORD_KEY && record.nameLength == 0) {
            current = top.get();
            continue;
        }
        // Subkeys are made relative to the key's own handle, so nothing is written anywhere else.
        status = record.kind == RECORD_KEY ? RegCreateKeyExA(top.get(), name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                             KEY_ALL_ACCESS, nullptr, subkey.put(), nullptr)
                                           : RegSetValueExA(current, name, 0, record.type, record.data, record.size);
        if (status != ERROR_SUCCESS) return status;
        if (record.kind == RECORD_KEY) current = subkey.get();
    }
    return RegFlushKey(top.get());
}
