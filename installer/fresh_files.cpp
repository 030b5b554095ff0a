// Making a file anew: remove the name, make it new without following a link, one link, then write.
#include "fresh_files.h"

#include <shlwapi.h>

#include "../common/error_text.h"

namespace {

bool Fail(FileTrouble& trouble, FileTrouble::Step step, DWORD error) {
    trouble.step = step;
    trouble.error = error;
    return false;
}

}  // namespace

DWORD RemoveName(const char* path) {
    if (DeleteFileA(path)) return ERROR_SUCCESS;
    const DWORD error = LastErrorOr(ERROR_ACCESS_DENIED);
    return IsNothingThere(error) ? ERROR_SUCCESS : error;
}

bool MakeFreshFile(const char* path, Secured permissions, UniqueFile& file, FileTrouble& trouble) {
    trouble = FileTrouble();
    if (const DWORD error = RemoveName(path)) return Fail(trouble, FileTrouble::Remove, error);
    ExplicitSecurity security(permissions);
    if (!security.Get()) return Fail(trouble, FileTrouble::Make, ERROR_OUTOFMEMORY);
    // CREATE_NEW fails on any name that exists again, a link or junction among them, rather than
    // open what it points to.
    file.reset(CreateFileA(path, GENERIC_WRITE, 0, security.Get(), CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return Fail(trouble, FileTrouble::Make, LastErrorOr(ERROR_OPEN_FAILED));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file.get(), &information)) {
        const DWORD error = LastErrorOr(ERROR_OPEN_FAILED);
        file.reset();
        DeleteFileA(path);
        return Fail(trouble, FileTrouble::Make, error);
    }
    if (information.nNumberOfLinks != 1) {
        // Linked elsewhere in the instant since it was made: this name goes, the other stays.
        file.reset();
        DeleteFileA(path);
        trouble.links = information.nNumberOfLinks;
        return Fail(trouble, FileTrouble::Links, ERROR_INVALID_FUNCTION);
    }
    return true;
}

bool WriteFreshFile(const char* path, const void* bytes, DWORD size, Secured permissions, FileTrouble& trouble) {
    UniqueFile file;
    if (!MakeFreshFile(path, permissions, file, trouble)) return false;
    DWORD written = 0;
    DWORD error = ERROR_SUCCESS;
    if (!WriteFile(file.get(), bytes, size, &written, nullptr) || written != size || !FlushFileBuffers(file.get()))
        error = LastErrorOr(ERROR_WRITE_FAULT);
    if (!CloseHandle(file.release()) && error == ERROR_SUCCESS) error = LastErrorOr(ERROR_WRITE_FAULT);
    if (error == ERROR_SUCCESS) return true;
    // Made by this run a moment ago: nothing may ever find it half written.
    DeleteFileA(path);
    return Fail(trouble, FileTrouble::Write, error);
}

void DescribeTrouble(const char* path, const FileTrouble& trouble, char* text, int size) {
    const ErrorText error(trouble.error);
    switch (trouble.step) {
    case FileTrouble::None: wnsprintfA(text, size, "%s is written", path); break;
    case FileTrouble::Remove: wnsprintfA(text, size, "%s is in the way and cannot be removed, %s", path, error.text); break;
    case FileTrouble::Make:
        wnsprintfA(text, size, trouble.error == ERROR_FILE_EXISTS ? "%s was taken again the moment it was cleared"
                                                                  : "%s cannot be made, %s",
                   path, error.text);
        break;
    case FileTrouble::Links:
        wnsprintfA(text, size, "%s had %lu links the moment it was made, so nothing was written to it", path,
                   trouble.links);
        break;
    case FileTrouble::Write: wnsprintfA(text, size, "%s cannot be written whole, %s", path, error.text); break;
    }
}
