// The names beside the module, and files read and written whole.
#include "module_files.h"

#include <shlwapi.h>
#include <string.h>

#include "framework/file.h"
#include "probes.h"

namespace {

// A failure reported without an error of its own (a short write) still needs one to be a failure.
DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

void Beside(const ModuleFiles& files, const char* name, char (&path)[MODULE_PATH_SIZE]) {
    wnsprintfA(path, MODULE_PATH_SIZE, "%s%s", files.directory, name);
}

}  // namespace

FilesFound WorkOutModuleFiles(ModuleFiles& files, bool createAgentKey, LONG* status) {
    memset(&files, 0, sizeof files);
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
    Beside(files, MODULE_FILE_NAME, files.module);
    Beside(files, MODULE_COPY_NAME, files.copy);
    Beside(files, STAGING_FILE_NAME, files.staging);
    return FilesFound::Yes;
}

DWORD ReadWholeFile(const char* path, DWORD limit, HeapBlock& bytes, DWORD* size) {
    *size = 0;
    CFile file;
    if (!file.Open(path, CFile::modeRead | CFile::shareDenyWrite)) return LastErrorOr(ERROR_OPEN_FAILED);
    DWORD length = 0;
    if (!file.GetLength(&length) || length > limit) return ERROR_FILE_TOO_LARGE;
    bytes = AllocZeroed(length ? length : 1);
    if (!bytes) return ERROR_OUTOFMEMORY;
    if (!file.Read(bytes.get(), length)) return LastErrorOr(ERROR_READ_FAULT);
    *size = length;
    return ERROR_SUCCESS;
}

DWORD WriteFlushed(const char* path, const void* bytes, DWORD size) {
    CFile file;
    if (!file.Open(path, CFile::modeCreate | CFile::modeWrite)) return LastErrorOr(ERROR_OPEN_FAILED);
    DWORD error = ERROR_SUCCESS;
    if (!file.Write(bytes, size) || !file.Flush()) error = LastErrorOr(ERROR_WRITE_FAULT);
    if (!file.Close() && error == ERROR_SUCCESS) error = LastErrorOr(ERROR_WRITE_FAULT);
    if (error != ERROR_SUCCESS) DeleteFileA(path);
    return error;
}

DWORD MoveIntoPlace(const char* staging, const char* path) {
    if (MoveFileExA(staging, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return ERROR_SUCCESS;
    const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
    DeleteFileA(staging);
    return error;
}

ULONGLONG HashBytes(const void* bytes, DWORD size) {
    ULONGLONG hash = 14695981039346656037ull;
    for (DWORD i = 0; i < size; ++i) hash = (hash ^ static_cast<const BYTE*>(bytes)[i]) * 1099511628211ull;
    return hash;
}
