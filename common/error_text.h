// Win32 errors as logs, boxes and consoles say them, and the errors that mean nothing is there.
#ifndef COMMON_ERROR_TEXT_H
#define COMMON_ERROR_TEXT_H

#include <windows.h>

constexpr int ERROR_TEXT_SIZE = 320;

// "error N (the system's text for it)", or "error N" where the system has no text.
void DescribeError(DWORD error, char* text, int size);
struct ErrorText {
    char text[ERROR_TEXT_SIZE];
    explicit ErrorText(DWORD error) { DescribeError(error, text, sizeof text); }
};

// The last error; `fallback` where a call failed without setting one (a short write), so that a
// failure always has an error.
inline DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

// A missing file, or a missing folder: either way no file is there.
inline bool IsNothingThere(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

#endif
