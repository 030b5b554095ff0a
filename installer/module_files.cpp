// The names beside the module, the rollback folder, and files read whole and moved into place.
#include "module_files.h"

#include <shlwapi.h>
#include <string.h>

#include "../common/error_text.h"
#include "framework/file.h"
#include "permissions.h"
#include "probes.h"

namespace {

// "<folder><name>" into one of the record's paths.
void Join(const char* folder, const char* name, char (&path)[MODULE_PATH_SIZE]) {
    wnsprintfA(path, MODULE_PATH_SIZE, "%s%s", folder, name);
}

}  // namespace

FilesFound WorkOutModuleFiles(ModuleFiles& files, bool createAgentKey, LONG* status) {
    memset(&files, 0, sizeof files);
    char windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    wnsprintfA(files.rollbackFolder, MODULE_PATH_SIZE, "%s\\%s", windows, ROLLBACK_FOLDER_NAME);
    wnsprintfA(files.copy, MODULE_PATH_SIZE, "%s\\%s", files.rollbackFolder, MODULE_COPY_NAME);
    const bool found = createAgentKey ? GetAgentDirectory(files.directory, MODULE_PATH_SIZE, status)
                                      : FindAgentDirectory(files.directory, MODULE_PATH_SIZE, status);
    if (!found) {
        files.directory[0] = '\0';
        return FilesFound::NoDirectory;
    }
    if (strlen(files.directory) + sizeof MODULE_FILE_NAME > MODULE_PATH_SIZE) {
        *status = ERROR_FILENAME_EXCED_RANGE;
        return FilesFound::TooLong;
    }
    Join(files.directory, MODULE_FILE_NAME, files.module);
    Join(files.directory, STAGING_FILE_NAME, files.staging);
    return FilesFound::Yes;
}

DWORD ReadWholeFile(const char* path, DWORD limit, HeapBlock& bytes, DWORD* size, UINT share) {
    *size = 0;
    CFile file;
    if (!file.Open(path, CFile::modeRead | share)) return LastErrorOr(ERROR_OPEN_FAILED);
    DWORD length = 0;
    if (!file.GetLength(&length) || length > limit) return ERROR_FILE_TOO_LARGE;
    bytes = AllocZeroed(length ? length : 1);
    if (!bytes) return ERROR_OUTOFMEMORY;
    if (!file.Read(bytes.get(), length)) return LastErrorOr(ERROR_READ_FAULT);
    *size = length;
    return ERROR_SUCCESS;
}

DWORD MoveIntoPlace(const char* staging, const char* path, MoveRetries* retries) {
    *retries = MoveRetries();
    const DWORD start = GetTickCount();
    for (;;) {
        if (MoveFileExA(staging, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return ERROR_SUCCESS;
        const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
        // A replace fails while any other handle is open on the target: a reader's, for a moment.
        const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
        retries->waitedMs = GetTickCount() - start;
        if (!held || retries->waitedMs >= MOVE_RETRY_LIMIT_MS) {
            DeleteFileA(staging);
            return error;
        }
        Sleep(MOVE_RETRY_PAUSE_MS);
        ++retries->tries;
    }
}

void DescribeRetries(const MoveRetries& retries, char* text, int size) {
    *text = '\0';
    if (retries.tries)
        wnsprintfA(text, size, "; tried again %lu times over %lu ms, while another program held a file open",
                   retries.tries, retries.waitedMs);
}

bool PrepareRollbackFolder(const ModuleFiles& files, char* why, int whySize) {
    ExplicitSecurity security(Secured::Folder);
    if (!security.Get()) {
        wnsprintfA(why, whySize, "%s cannot be made, %s", files.rollbackFolder, ErrorText(ERROR_OUTOFMEMORY).text);
        return false;
    }
    if (CreateDirectoryA(files.rollbackFolder, security.Get())) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
        wnsprintfA(why, whySize, "%s cannot be made, %s", files.rollbackFolder, ErrorText(error).text);
        return false;
    }
    // One that is there is used only when it is a plain folder that only administrators may change.
    const DWORD attributes = GetFileAttributesA(files.rollbackFolder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        wnsprintfA(why, whySize, "%s is not a folder of its own", files.rollbackFolder);
        return false;
    }
    BYTE descriptor[4096];
    DWORD needed = 0;
    if (!GetFileSecurityA(files.rollbackFolder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor,
                          sizeof descriptor, &needed)) {
        wnsprintfA(why, whySize, "the permissions of %s cannot be read, %s", files.rollbackFolder,
                   ErrorText(LastErrorOr(ERROR_ACCESS_DENIED)).text);
        return false;
    }
    char who[128];
    if (OnlyAdministratorsMayChange(descriptor, FILE_CHANGE_RIGHTS, who, sizeof who)) return true;
    wnsprintfA(why, whySize, "%s %s", files.rollbackFolder, who);
    return false;
}

void RemoveRollbackFolder(const ModuleFiles& files) { RemoveDirectoryA(files.rollbackFolder); }
