#include "deploy.h"

#include <shlwapi.h>
#include <string.h>

#include "framework/file.h"
#include "probes.h"

namespace {

// Same length as the module's name, so it fits wherever the module's path fits.
constexpr char STAGING_FILE_NAME[] = "kelvrim.tmp";
static_assert(sizeof STAGING_FILE_NAME == sizeof MODULE_FILE_NAME, "staging name fits the module's path");

// A failure reported without an error of its own (a short write) still needs one to be a failure.
DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

// 0, or the error that stopped the write.
DWORD WriteWholeFile(const char* path, const void* bytes, DWORD size) {
    CFile file;
    if (!file.Open(path, CFile::modeCreate | CFile::modeWrite)) return LastErrorOr(ERROR_OPEN_FAILED);
    DWORD error = ERROR_SUCCESS;
    if (!file.Write(bytes, size)) error = LastErrorOr(ERROR_WRITE_FAULT);
    if (!file.Close() && error == ERROR_SUCCESS) error = LastErrorOr(ERROR_WRITE_FAULT);
    return error;
}

bool Fail(DeployReport& report, DeployFailure failure, DWORD error) {
    report.failure = failure;
    report.error = error;
    return false;
}

}  // namespace

bool DeployModule(DeployReport* report) {
    DeployReport ignored;
    DeployReport& seen = report ? *report : ignored;
    seen = DeployReport();
    seen.keyDeletion = static_cast<LONG>(SHDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY));

    char* modulePath = seen.modulePath;
    LONG status = ERROR_SUCCESS;
    if (!GetAgentDirectory(modulePath, MODULE_PATH_SIZE, &status))
        return Fail(seen, DeployFailure::AgentDirectory, static_cast<DWORD>(status));
    const size_t directoryLength = strlen(modulePath);
    if (directoryLength + sizeof MODULE_FILE_NAME > MODULE_PATH_SIZE)
        return Fail(seen, DeployFailure::PathTooLong, ERROR_FILENAME_EXCED_RANGE);
    char stagingPath[MODULE_PATH_SIZE];
    memcpy(stagingPath, modulePath, directoryLength);
    memcpy(stagingPath + directoryLength, STAGING_FILE_NAME, sizeof STAGING_FILE_NAME);
    lstrcatA(modulePath, MODULE_FILE_NAME);

    HRSRC resource = FindResourceA(nullptr, "KELVRIM", "MODULE");
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const void* image = loaded ? LockResource(loaded) : nullptr;
    if (image == nullptr) return Fail(seen, DeployFailure::NoImage, LastErrorOr(ERROR_RESOURCE_NAME_NOT_FOUND));
    const DWORD imageSize = SizeofResource(nullptr, resource);

    // The old module is replaced only by a complete new image, never truncated on the way.
    const DWORD writeError = WriteWholeFile(stagingPath, image, imageSize);
    if (writeError != ERROR_SUCCESS) {
        DeleteFileA(stagingPath);
        return Fail(seen, DeployFailure::Write, writeError);
    }
    seen.bytesWritten = imageSize;
    if (!MoveFileExA(stagingPath, modulePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveError = LastErrorOr(ERROR_WRITE_FAULT);
        DeleteFileA(stagingPath);
        return Fail(seen, DeployFailure::Replace, moveError);
    }
    return true;
}
