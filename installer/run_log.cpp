// The /log record: opening it for appending, one line per event, error texts.
#include "run_log.h"

#include <shlwapi.h>
#include <stdarg.h>
#include <string.h>

bool OpenRunLog(RunLog& log, const char* path) {
    // Windows refuses to write a read-only file even to an administrator; so does this, also
    // where the file system underneath would let an administrator write it.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // Append-only access: every line goes to the end even when another run writes to the same file.
    log.file.reset(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(log.file);
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

void DescribeError(DWORD error, char* text, int size) {
    char message[ERROR_TEXT_SIZE] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                        nullptr, error, 0, message, sizeof message - 1, nullptr);
    // The system's texts end with a full stop and a blank; the log's lines carry their own.
    for (DWORD end = length; end > 0 && (message[end - 1] == ' ' || message[end - 1] == '.'); --end)
        message[end - 1] = '\0';
    if (message[0] != '\0') {
        wnsprintfA(text, size, "error %lu (%s)", error, message);
    } else {
        wnsprintfA(text, size, "error %lu", error);
    }
    text[size - 1] = '\0';
}
