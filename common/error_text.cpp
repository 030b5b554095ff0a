// The system's text for an error, made to fit a log line.
#include "error_text.h"

#include <shlwapi.h>

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
