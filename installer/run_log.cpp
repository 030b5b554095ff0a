// The /log record: opening it for appending, and one line per event.
#include "run_log.h"

#include <shlwapi.h>
#include <stdarg.h>
#include <string.h>

#include "../common/error_text.h"
#include "permissions.h"

namespace {

// Whether a log on that path lies on another machine, whose share decides who may read it: a file
// made there for Administrators and SYSTEM alone would lock out the machine account that writes it.
bool IsRemote(const char* path) {
    if (path[0] == '\\' && path[1] == '\\') return true;
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    if (length < 3 || length >= MAX_PATH || full[1] != ':') return false;
    const char root[] = {full[0], ':', '\\', '\0'};
    return GetDriveTypeA(root) == DRIVE_REMOTE;
}

bool Refuse(char* why, int whySize, const char* text, DWORD number = 0) {
    wnsprintfA(why, whySize, text, number);
    return false;
}

}  // namespace

bool OpenRunLog(RunLog& log, const char* path, char* why, int whySize) {
    // Windows refuses to write a read-only file even to an administrator; so does this, also
    // where the file system underneath would let an administrator write it.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return Refuse(why, whySize, "it is read-only");
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Append-only access: every line goes to the end even when another run writes to the same
        // file. A link is opened as itself, never followed.
        log.file.reset(CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!log.file && GetLastError() == ERROR_FILE_NOT_FOUND) {
            ExplicitSecurity security(Secured::File);
            log.file.reset(CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       IsRemote(path) ? nullptr : security.Get(), CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            // Made by someone else in the instant between the two: look at theirs.
            if (!log.file && GetLastError() == ERROR_FILE_EXISTS) continue;
        }
        break;
    }
    if (!log.file) {
        DescribeError(LastErrorOr(ERROR_OPEN_FAILED), why, whySize);
        return false;
    }
    // Appended to only as a plain file that no other name reaches.
    BY_HANDLE_FILE_INFORMATION information = {};
    const bool read = GetFileInformationByHandle(log.file.get(), &information) != FALSE;
    const DWORD error = read ? ERROR_SUCCESS : LastErrorOr(ERROR_OPEN_FAILED);
    if (read && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && information.nNumberOfLinks == 1)
        return true;
    log.file.reset();
    if (!read) {
        DescribeError(error, why, whySize);
        return false;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refuse(why, whySize, "it is a link");
    return Refuse(why, whySize, "it has %lu links", information.nNumberOfLinks);
}

void LogLine(RunLog& log, const char* format, ...) {
    if (!log.file) return;
    char line[LOG_LINE_SIZE];
    SYSTEMTIME now;
    GetLocalTime(&now);
    int length = wnsprintfA(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", now.wYear, now.wMonth,
                            now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                            GetCurrentProcessId());
    if (length < 0) length = 0;
    va_list arguments;
    va_start(arguments, format);
    // Two bytes stay free for the line's end; the text is cut short before them if need be.
    wvnsprintfA(line + length, static_cast<int>(sizeof line) - length - 2, format, arguments);
    va_end(arguments);
    line[sizeof line - 3] = '\0';
    length += static_cast<int>(strlen(line + length));
    line[length++] = '\r';
    line[length++] = '\n';
    DWORD written = 0;
    WriteFile(log.file.get(), line, static_cast<DWORD>(length), &written, nullptr);
}
