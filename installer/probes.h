// Registry probes of the installed product, the patch marker and the agent's directory. A
// failure to read is a plain negative answer of the probe; the statuses behind the answers are
// handed out for the log. Two of them write: WritePatchMarker creates the settings key and
// returns the registry's statuses, and GetAgentDirectory creates a missing agent key.
#ifndef INSTALLER_PROBES_H
#define INSTALLER_PROBES_H

#include <windows.h>
#include <stdint.h>

#include "common/settings_key.h"
#include "patch_identity.h"

constexpr char UNINSTALL_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr char PRODUCT_KEY[] = "SOFTWARE\\TAVRIX\\NIVRA";
constexpr char AGENT_KEY[] = "SOFTWARE\\TAVRIX\\NIVRAEnterprise\\Agent\\DROVEK";
constexpr char PATCH_MARKER_VALUE[] = KOVPATCH_GUID;
constexpr char PRODUCT_DISPLAY_NAME[] = "Corvantis";
constexpr uint32_t CURRENT_MODULE_VERSION = 0x02000050;
constexpr DWORD ENTRY_NAME_CHARS = 1024;
constexpr DWORD DISPLAY_NAME_SIZE = 1024;

// What the checks read, for the run's log. The status is the registry's, 0 when all was read.
// Filled by IsProductInstalled from the start. No member initializers: the compiler would keep a
// 2 KiB image of the empty record in the program for each place that makes one.
struct ProductSearch {
    LONG status;                              // of opening the uninstall list
    DWORD entries;                            // entries looked at
    char entry[ENTRY_NAME_CHARS];             // the matching entry
    char displayName[DISPLAY_NAME_SIZE + 1];  // and its "DisplayName"
};
struct VersionReading {
    LONG status = ERROR_SUCCESS;
    DWORD version = 0;
};

// Some uninstall entry has a REG_SZ "DisplayName" containing "Corvantis" (case-sensitive).
bool IsProductInstalled(ProductSearch* seen = nullptr);
// The product's "Version" reads as a number at least minimum.
bool IsVersionAtLeast(uint32_t minimum, VersionReading* seen = nullptr);
bool IsPatchMarkerPresent(LONG* status = nullptr);
// The status of creating the marker key, or of closing it once created; 0 on success. The status
// of setting the value itself, which that leaves out, goes to `set` (ERROR_SUCCESS when stored).
LONG WritePatchMarker(LONG* set = nullptr);
// The agent's directory with its trailing backslash. The agent key is created if missing.
// False when "PathName" cannot be read or does not end within the buffer (ERROR_MORE_DATA).
bool GetAgentDirectory(char* buffer, uint32_t size, LONG* status = nullptr);
// The same, without creating the agent key: for a look before anything is changed.
bool FindAgentDirectory(char* buffer, uint32_t size, LONG* status = nullptr);

#endif
