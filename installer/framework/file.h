// A file opened by path and written whole: the part of a file class the installer uses.
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
        modeCreate = 0x1000,  // create, or truncate an existing file
    };

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // No sharing while open: a file another program holds cannot be opened.
    BOOL Open(const char* fileName, UINT openFlags);
    // True only when every byte was written.
    BOOL Write(const void* buffer, UINT count);
    // True when the handle closed cleanly; an unopened file closes as false.
    BOOL Close();

private:
    UniqueFile file_;
};

#endif
