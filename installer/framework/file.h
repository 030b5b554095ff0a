// A file opened by path, read or written whole: the part of a file class the installer uses.
// Failures are results, never exceptions.
#ifndef INSTALLER_FRAMEWORK_FILE_H
#define INSTALLER_FRAMEWORK_FILE_H

#include <windows.h>
#include "common/handles.h"

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        shareDenyWrite = 0x0020,  // others may read while it is open; by default no one may
        shareDenyNone = 0x0040,   // others may read, write, remove or replace it meanwhile
        modeCreate = 0x1000,      // create, or truncate an existing file
    };

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // No sharing while open unless asked: a file another program holds cannot be opened.
    BOOL Open(const char* fileName, UINT openFlags);
    // True only when every byte was read.
    BOOL Read(void* buffer, UINT count);
    // True only when every byte was written.
    BOOL Write(const void* buffer, UINT count);
    // Writes what the system still holds of the file to the disk.
    BOOL Flush();
    // The size in bytes; false for a file of 4 GiB or more.
    BOOL GetLength(DWORD* length) const;
    // True when the handle closed cleanly; an unopened file closes as false.
    BOOL Close();

private:
    UniqueFile file_;
};

#endif
