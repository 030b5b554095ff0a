// The registry probes of the product, its version, the marker and the agent's directory.
#include "probes.h"

#include <shlwapi.h>
#include <string.h>

#include "common/handles.h"

namespace {

constexpr DWORD ENTRY_PATH_SIZE = 512;

// displayName holds DISPLAY_NAME_SIZE + 1 bytes.
bool EntryNamesProduct(const char* entryName, char* displayName) {
    char entryPath[ENTRY_PATH_SIZE];
    if (wnsprintfA(entryPath, sizeof entryPath, "%s\\%s", UNINSTALL_KEY, entryName) < 0) return false;
    RegKey entry;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, entryPath, 0, KEY_QUERY_VALUE, entry.put()) != ERROR_SUCCESS)
        return false;
    // One byte more than the read may fill keeps the text terminated whatever is stored.
    memset(displayName, 0, DISPLAY_NAME_SIZE + 1);
    DWORD type = 0;
    DWORD size = DISPLAY_NAME_SIZE;
    if (RegQueryValueExA(entry.get(), "DisplayName", nullptr, &type, reinterpret_cast<BYTE*>(displayName),
                         &size) != ERROR_SUCCESS)
        return false;
    return type == REG_SZ && strstr(displayName, PRODUCT_DISPLAY_NAME) != nullptr;
}

}  // namespace

bool IsProductInstalled(ProductSearch* seen) {
    ProductSearch ignored;
    if (seen == nullptr) seen = &ignored;
    memset(seen, 0, sizeof *seen);
    RegKey uninstall;
    seen->status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_ENUMERATE_SUB_KEYS, uninstall.put());
    if (seen->status != ERROR_SUCCESS) return false;
    for (DWORD index = 0;; ++index) {
        DWORD length = ENTRY_NAME_CHARS;
        if (RegEnumKeyExA(uninstall.get(), index, seen->entry, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            seen->entry[0] = seen->displayName[0] = '\0';
            return false;
        }
        ++seen->entries;
        if (EntryNamesProduct(seen->entry, seen->displayName)) return true;
    }
}

bool IsVersionAtLeast(uint32_t minimum, VersionReading* seen) {
    VersionReading ignored;
    if (seen == nullptr) seen = &ignored;
    seen->version = 0;
    RegKey product;
    seen->status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 0, KEY_QUERY_VALUE, product.put());
    if (seen->status != ERROR_SUCCESS) return false;
    DWORD size = sizeof seen->version;
    seen->status = RegQueryValueExA(product.get(), "Version", nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(&seen->version), &size);
    return seen->status == ERROR_SUCCESS && seen->version >= minimum;
}

bool IsPatchMarkerPresent(LONG* status) {
    LONG ignored;
    if (status == nullptr) status = &ignored;
    RegKey settings;
    *status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_QUERY_VALUE, settings.put());
    if (*status != ERROR_SUCCESS) return false;
    DWORD marker = 0;
    DWORD size = sizeof marker;
    *status = RegQueryValueExA(settings.get(), PATCH_MARKER_VALUE, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&marker), &size);
    return *status == ERROR_SUCCESS;
}

LONG WritePatchMarker(LONG* set) {
    LONG ignored;
    if (set == nullptr) set = &ignored;
    HKEY settings = nullptr;
    const LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &settings, nullptr);
    *set = created;
    if (created != ERROR_SUCCESS) return created;
    const DWORD marker = 1;
    *set = RegSetValueExA(settings, PATCH_MARKER_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&marker),
                          sizeof marker);
    return RegCloseKey(settings);
}

namespace {

// The directory part of the agent key's "PathName", with its trailing backslash.
bool ReadAgentDirectory(HKEY agent, char* buffer, uint32_t size, LONG* status) {
    DWORD length = size;
    *status = RegQueryValueExA(agent, "PathName", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &length);
    if (*status != ERROR_SUCCESS) return false;
    // The stored text need not carry its terminator; one that fills the buffer leaves no room for it.
    if (length < size) {
        buffer[length] = '\0';
    } else if (length == 0 || buffer[length - 1] != '\0') {
        *status = ERROR_MORE_DATA;
        return false;
    }
    if (char* lastSlash = strrchr(buffer, '\\')) lastSlash[1] = '\0';
    return true;
}

}  // namespace

bool GetAgentDirectory(char* buffer, uint32_t size, LONG* status) {
    LONG ignored;
    if (status == nullptr) status = &ignored;
    RegKey agent;
    *status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, AGENT_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, agent.put(), nullptr);
    return *status == ERROR_SUCCESS && ReadAgentDirectory(agent.get(), buffer, size, status);
}

bool FindAgentDirectory(char* buffer, uint32_t size, LONG* status) {
    LONG ignored;
    if (status == nullptr) status = &ignored;
    RegKey agent;
    *status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, AGENT_KEY, 0, KEY_QUERY_VALUE, agent.put());
    return *status == ERROR_SUCCESS && ReadAgentDirectory(agent.get(), buffer, size, status);
}
