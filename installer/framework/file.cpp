// CFile over the Win32 file calls.
#include "file.h"

BOOL CFile::Open(const char* fileName, UINT openFlags) {
    const DWORD access = (openFlags & modeWrite) ? GENERIC_WRITE : GENERIC_READ;
    const DWORD share = (openFlags & shareDenyNone)    ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                        : (openFlags & shareDenyWrite) ? FILE_SHARE_READ
                                                       : 0;
    const DWORD disposition = (openFlags & modeCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
    file_.reset(CreateFileA(fileName, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_ ? TRUE : FALSE;
}

BOOL CFile::Read(void* buffer, UINT count) {
    DWORD read = 0;
    return file_ && ReadFile(file_.get(), buffer, count, &read, nullptr) && read == count;
}

BOOL CFile::Write(const void* buffer, UINT count) {
    DWORD written = 0;
    return file_ && WriteFile(file_.get(), buffer, count, &written, nullptr) && written == count;
}

BOOL CFile::Flush() { return file_ && FlushFileBuffers(file_.get()); }

BOOL CFile::GetLength(DWORD* length) const {
    DWORD high = 0;
    *length = file_ ? GetFileSize(file_.get(), &high) : INVALID_FILE_SIZE;
    return *length != INVALID_FILE_SIZE && high == 0;
}

BOOL CFile::Close() {
    if (!file_) return FALSE;
    return CloseHandle(file_.release());
}
