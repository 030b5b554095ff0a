// The module's file in the agent's directory, the names the installer writes beside it, and the
// folder where it keeps the copy a rollback puts back: worked out in one place for the deployment,
// the rollback, the healing of an interrupted run and /check.
#ifndef INSTALLER_MODULE_FILES_H
#define INSTALLER_MODULE_FILES_H

#include <windows.h>

#include "common/handles.h"
#include "framework/file.h"

constexpr char MODULE_FILE_NAME[] = "kelvrim.dll";
// The previous module, kept for a rollback in the rollback folder.
constexpr char MODULE_COPY_NAME[] = "kelvrim.old";
// A new file is written here first and moved over the module only when it is whole.
constexpr char STAGING_FILE_NAME[] = "kelvrim.tmp";
static_assert(sizeof STAGING_FILE_NAME == sizeof MODULE_FILE_NAME,
              "the staging name fits wherever the module's path fits");
// Below the Windows folder, where only administrators may make a folder: the installer makes it for
// Administrators and SYSTEM alone, as Windows' own installer keeps its rollback files.
constexpr char ROLLBACK_FOLDER_NAME[] = "KOVPatch";
constexpr unsigned MODULE_PATH_SIZE = 512;
// Far larger than any module of the product's; a larger file is not read whole into memory.
constexpr DWORD MODULE_BYTES_MAX = 64 * 1024 * 1024;

// Empty (all names blank) until WorkOutModuleFiles fills it. No member initializers: the compiler
// would keep a 2 KiB image of the empty record in the program for each place that makes one.
struct ModuleFiles {
    char directory[MODULE_PATH_SIZE];  // with its trailing backslash
    char module[MODULE_PATH_SIZE];
    char staging[MODULE_PATH_SIZE];
    char rollbackFolder[MODULE_PATH_SIZE];  // without a trailing backslash
    char copy[MODULE_PATH_SIZE];
};

enum class FilesFound { Yes, NoDirectory, TooLong };

// From the agent's "PathName". createAgentKey: as the deployment does, which creates a missing
// agent key; a look before anything changes does not. `status` is the registry's on NoDirectory,
// ERROR_FILENAME_EXCED_RANGE on TooLong (the directory is then known, the names are not).
FilesFound WorkOutModuleFiles(ModuleFiles& files, bool createAgentKey, LONG* status);

// The whole file, at most `limit` bytes; 0 or the error that stopped the read. `share`: what others
// may do with the file meanwhile (CFile::shareDenyWrite: read it).
DWORD ReadWholeFile(const char* path, DWORD limit, HeapBlock& bytes, DWORD* size, UINT share = CFile::shareDenyWrite);
// A reader (a virus scanner, a backup agent, a fleet's check) may hold the module or the staging
// file open for a moment, and a replace fails while it does: the move is tried again meanwhile.
constexpr DWORD MOVE_RETRY_LIMIT_MS = 5000;
constexpr DWORD MOVE_RETRY_PAUSE_MS = 50;
// How often a move was tried again, and for how long.
struct MoveRetries {
    DWORD tries = 0;
    DWORD waitedMs = 0;
};
// Moves staging over path with write-through, trying again while something holds either open; on
// failure staging is removed. 0 or the error.
DWORD MoveIntoPlace(const char* staging, const char* path, MoveRetries* retries);
// "; tried again 3 times over 150 ms, while another program held a file open", or nothing.
void DescribeRetries(const MoveRetries& retries, char* text, int size);

// The rollback folder, made for Administrators and SYSTEM alone, or the one that is there when only
// they may change it. False when it cannot be had: `why` says why, for the log.
bool PrepareRollbackFolder(const ModuleFiles& files, char* why, int whySize);
// Removes the rollback folder once nothing is left in it.
void RemoveRollbackFolder(const ModuleFiles& files);

#endif
