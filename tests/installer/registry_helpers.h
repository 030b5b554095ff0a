// Small registry set-up for the white-box tests: HKLM only, as the installer reads it.
#ifndef TESTS_INSTALLER_REGISTRY_HELPERS_H
#define TESTS_INSTALLER_REGISTRY_HELPERS_H

#include <windows.h>

#include <string>

#include "simulated_install.h"

inline bool SetRaw(const std::string& key, const char* name, DWORD type, const void* data, DWORD size) {
    return RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, type, data, size) == ERROR_SUCCESS;
}
inline bool SetDword(const std::string& key, const char* name, DWORD value) {
    return SetRaw(key, name, REG_DWORD, &value, sizeof value);
}
// typed as asked, with its terminator
inline bool SetText(const std::string& key, const char* name, const std::string& text, DWORD type = REG_SZ) {
    return SetRaw(key, name, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
}
inline void DeleteKey(const std::string& key) { sim::DeleteKey(key.c_str()); }
inline bool KeyExists(const std::string& key) { return sim::KeyExists(key.c_str()); }

#endif
