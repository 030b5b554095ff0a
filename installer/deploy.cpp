// DeployModule: the settings key deleted, the carried module written whole into the agent's directory.
#include "deploy.h"

#include <shlwapi.h>
#include <string.h>

#include "probes.h"

namespace {

bool Fail(DeployReport& report, DeployFailure failure, DWORD error) {
    report.failure = failure;
    report.error = error;
    return false;
}

}  // namespace

bool FindCarriedModule(const void** image, DWORD* size) {
    HRSRC resource = FindResourceA(nullptr, "KELVRIM", "MODULE");
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    *image = loaded ? LockResource(loaded) : nullptr;
    *size = *image ? SizeofResource(nullptr, resource) : 0;
    return *image != nullptr;
}

bool DeployModule(DeployReport* report) {
    DeployReport ignored;
    DeployReport& seen = report ? *report : ignored;
    seen = DeployReport();
    seen.keyDeletion = static_cast<LONG>(SHDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY));

    ModuleFiles files{};
    LONG status = ERROR_SUCCESS;
    switch (WorkOutModuleFiles(files, true, &status)) {
    case FilesFound::NoDirectory: return Fail(seen, DeployFailure::AgentDirectory, static_cast<DWORD>(status));
    case FilesFound::TooLong:
        lstrcpynA(seen.modulePath, files.directory, MODULE_PATH_SIZE);
        return Fail(seen, DeployFailure::PathTooLong, ERROR_FILENAME_EXCED_RANGE);
    case FilesFound::Yes: break;
    }
    lstrcpynA(seen.modulePath, files.module, MODULE_PATH_SIZE);

    const void* image = nullptr;
    DWORD imageSize = 0;
    if (!FindCarriedModule(&image, &imageSize)) {
        const DWORD error = GetLastError();
        return Fail(seen, DeployFailure::NoImage, error ? error : ERROR_RESOURCE_NAME_NOT_FOUND);
    }

    // The old module is replaced only by a complete new image, never truncated on the way, in a
    // file of this run's own that everyone may read and run and only administrators change.
    if (!WriteFreshFile(files.staging, image, imageSize, Secured::EveryoneRunsFile, seen.trouble))
        return Fail(seen, DeployFailure::Write, seen.trouble.error);
    seen.bytesWritten = imageSize;
    const DWORD moveError = MoveIntoPlace(files.staging, files.module, &seen.retries);
    if (moveError != ERROR_SUCCESS) return Fail(seen, DeployFailure::Replace, moveError);
    return true;
}
