// Files the installer writes with administrator rights, in folders others may write to: each is
// made anew, never one that was found. Whatever has the name is removed first (a hard link's other
// names keep their file), the file is made so that the make fails if anything took the name
// meanwhile, without following a link, with explicit permissions, and it must have one link before
// a byte is written. What refuses is said, and nothing is written through.
#ifndef INSTALLER_FRESH_FILES_H
#define INSTALLER_FRESH_FILES_H

#include <windows.h>

#include "common/handles.h"
#include "permissions.h"

// Where making a fresh file stopped, and the error that stopped it.
struct FileTrouble {
    enum Step { None, Remove, Make, Links, Write } step = None;
    DWORD error = ERROR_SUCCESS;
    DWORD links = 0;  // for Links: how many the made file has
};

// Removes what has the name, whatever it is: 0 also when nothing was there, else the error. A
// read-only file is left as it is (its attribute belongs to every name it has).
DWORD RemoveName(const char* path);
// The file made anew for writing, with no sharing; `trouble` says why not.
bool MakeFreshFile(const char* path, Secured permissions, UniqueFile& file, FileTrouble& trouble);
// Makes the file anew, writes every byte and flushes it to disk. On false nothing is left under the
// name that this wrote.
bool WriteFreshFile(const char* path, const void* bytes, DWORD size, Secured permissions, FileTrouble& trouble);
// "<path> is in the way and cannot be removed, error 5 (...)", and so on, for the log.
void DescribeTrouble(const char* path, const FileTrouble& trouble, char* text, int size);

#endif
