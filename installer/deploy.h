// Writing the carried module into the agent's directory.
#ifndef INSTALLER_DEPLOY_H
#define INSTALLER_DEPLOY_H

#include <windows.h>

#include "fresh_files.h"
#include "module_files.h"

enum class DeployFailure { None, AgentDirectory, PathTooLong, NoImage, Write, Replace };

// What the deployment did, for the run's log.
struct DeployReport {
    LONG keyDeletion = ERROR_SUCCESS;  // of the settings key; ERROR_FILE_NOT_FOUND when there was none
    DeployFailure failure = DeployFailure::None;
    DWORD error = 0;                   // the Win32 or registry error behind the failure
    char modulePath[MODULE_PATH_SIZE] = {};  // once the agent's directory is known
    DWORD bytesWritten = 0;            // of the new module, all of them or none
    FileTrouble trouble;               // for Write: where making the staging file anew stopped
    MoveRetries retries;               // of the move over the old module
};

// The module image this program carries, in its own resources; false when it is not there.
bool FindCarriedModule(const void** image, DWORD* size);
// Deletes the module's settings key first, whatever follows. The old module file is replaced
// only by a complete new one, on disk before it takes the old one's place: on false it is left
// as it was.
bool DeployModule(DeployReport* report = nullptr);

#endif
