#include "file.h"

BOOL CFile::Open(const char* fileName, UINT openFlags) {
    const DWORD access = (openFlags & modeWrite) ? GENERIC_WRITE : GENERIC_READ;
    const DWORD disposition = (openFlags & modeCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
    file_.reset(CreateFileA(fileName, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_ ? TRUE : FALSE;
}

BOOL CFile::Write(const void* buffer, UINT count) {
    DWORD written = 0;
    return file_ && WriteFile(file_.get(), buffer, count, &written, nullptr) && written == count;
}

BOOL CFile::Close() {
    if (!file_) return FALSE;
    return CloseHandle(file_.release());
}
