#include "deploy.h"

#include <windows.h>
#include <shlwapi.h>
#include <string.h>

#include "framework/file.h"
#include "probes.h"

namespace {

// Same length as the module's name, so it fits wherever the module's path fits.
constexpr char STAGING_FILE_NAME[] = "kelvrim.tmp";
static_assert(sizeof STAGING_FILE_NAME == sizeof MODULE_FILE_NAME, "staging name fits the module's path");

bool WriteWholeFile(const char* path, const void* bytes, DWORD size) {
    CFile file;
    if (!file.Open(path, CFile::modeCreate | CFile::modeWrite)) return false;
    const bool written = file.Write(bytes, size);
    return file.Close() && written;
}

}  // namespace

bool DeployModule() {
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, MODULE_SETTINGS_KEY);

    char modulePath[MODULE_PATH_SIZE] = {};
    if (!GetAgentDirectory(modulePath, sizeof modulePath)) return false;
    const size_t directoryLength = strlen(modulePath);
    if (directoryLength + sizeof MODULE_FILE_NAME > sizeof modulePath) return false;
    char stagingPath[MODULE_PATH_SIZE];
    memcpy(stagingPath, modulePath, directoryLength);
    memcpy(stagingPath + directoryLength, STAGING_FILE_NAME, sizeof STAGING_FILE_NAME);
    lstrcatA(modulePath, MODULE_FILE_NAME);

    HRSRC resource = FindResourceA(nullptr, "KELVRIM", "MODULE");
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const void* image = loaded ? LockResource(loaded) : nullptr;
    if (image == nullptr) return false;
    const DWORD imageSize = SizeofResource(nullptr, resource);

    // The old module is replaced only by a complete new image, never truncated on the way.
    if (!WriteWholeFile(stagingPath, image, imageSize) ||
        !MoveFileExA(stagingPath, modulePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(stagingPath);
        return false;
    }
    return true;
}
