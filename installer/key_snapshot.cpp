#include "key_snapshot.h"

#include <shlwapi.h>
#include <string.h>

namespace {

enum : BYTE { RECORD_KEY = 1, RECORD_VALUE = 2 };
// Deep enough for any key of the product's; a deeper one is refused rather than cut short.
constexpr DWORD PATH_CHARS = 1024;

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

LONG RestoreKeySnapshot(HKEY root, const char* path, const KeySnapshot& snapshot) {
    const LONG deleted = static_cast<LONG>(SHDeleteKeyA(root, path));
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) return deleted;
    if (!snapshot.existed) return ERROR_SUCCESS;
    RegKey current;
    const BYTE* at = static_cast<const BYTE*>(snapshot.records.get());
    const BYTE* const end = at + snapshot.bytes;
    while (at + HEADER_BYTES <= end) {
        DWORD nameLength, type, size;
        memcpy(&nameLength, at + 1, 4);
        memcpy(&type, at + 5, 4);
        memcpy(&size, at + 9, 4);
        const BYTE kind = at[0];
        const char* name = reinterpret_cast<const char*>(at + HEADER_BYTES);
        const BYTE* data = at + HEADER_BYTES + nameLength;
        at = data + size;
        // A value's name, or a key's path: the key's own path, then the path below it.
        char text[PATH_CHARS + MAX_PATH];
        const DWORD prefix = kind == RECORD_KEY ? static_cast<DWORD>(strlen(path)) + (nameLength ? 1 : 0) : 0;
        if (prefix + nameLength >= sizeof text) return ERROR_FILENAME_EXCED_RANGE;
        if (kind == RECORD_KEY) {
            memcpy(text, path, strlen(path));
            if (nameLength) text[prefix - 1] = '\\';
        }
        memcpy(text + prefix, name, nameLength);
        text[prefix + nameLength] = '\0';
        const LONG status = kind == RECORD_KEY ? RegCreateKeyExA(root, text, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                                 KEY_ALL_ACCESS, nullptr, current.put(), nullptr)
                                               : RegSetValueExA(current.get(), text, 0, type, data, size);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}
