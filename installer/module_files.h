// The module's file in the agent's directory and the names beside it, worked out in one place for
// the deployment, the rollback and the healing of an interrupted run; and writing a file so that
// it is on disk, whole, before anything relies on it.
#ifndef INSTALLER_MODULE_FILES_H
#define INSTALLER_MODULE_FILES_H

#include <windows.h>

#include "common/handles.h"

constexpr char MODULE_FILE_NAME[] = "kelvrim.dll";
// The previous module, kept for a rollback.
constexpr char MODULE_COPY_NAME[] = "kelvrim.old";
// A new file is written here first and moved over the module only when it is whole.
constexpr char STAGING_FILE_NAME[] = "kelvrim.tmp";
static_assert(sizeof MODULE_COPY_NAME == sizeof MODULE_FILE_NAME && sizeof STAGING_FILE_NAME == sizeof MODULE_FILE_NAME,
              "every name beside the module fits wherever the module's path fits");
constexpr unsigned MODULE_PATH_SIZE = 512;
// Far larger than any module of the product's; a larger file is not read whole into memory.
constexpr DWORD MODULE_BYTES_MAX = 64 * 1024 * 1024;

// Empty (all names blank) until WorkOutModuleFiles fills it. No member initializers: the compiler
// would keep a 2 KiB image of the empty record in the program for each place that makes one.
struct ModuleFiles {
    char directory[MODULE_PATH_SIZE];  // with its trailing backslash
    char module[MODULE_PATH_SIZE];
    char copy[MODULE_PATH_SIZE];
    char staging[MODULE_PATH_SIZE];
};

enum class FilesFound { Yes, NoDirectory, TooLong };

// From the agent's "PathName". createAgentKey: as the deployment does, which creates a missing
// agent key; a look before anything changes does not. `status` is the registry's on NoDirectory,
// ERROR_FILENAME_EXCED_RANGE on TooLong (the directory is then known, the names are not).
FilesFound WorkOutModuleFiles(ModuleFiles& files, bool createAgentKey, LONG* status);

// The whole file, at most `limit` bytes; 0 or the error that stopped the read.
DWORD ReadWholeFile(const char* path, DWORD limit, HeapBlock& bytes, DWORD* size);
// Creates or truncates the file, writes every byte and flushes it to disk; 0 or the error, and
// then no file is left under that name, so nothing ever finds a partial one.
DWORD WriteFlushed(const char* path, const void* bytes, DWORD size);
// Moves staging over path with write-through; on failure staging is removed. 0 or the error.
DWORD MoveIntoPlace(const char* staging, const char* path);

// A missing file, or a missing folder: either way no file is there.
inline bool IsNothingThere(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// FNV-1a, 64 bits: tells a damaged record or copy from a whole one.
ULONGLONG HashBytes(const void* bytes, DWORD size);

#endif
