// The record of one run, appended to the file named with /log. Every line carries the local time
// and the process id, so that runs sharing one file (a second run refused while the first holds
// the lock) can be told apart.
#ifndef INSTALLER_RUN_LOG_H
#define INSTALLER_RUN_LOG_H

#include <windows.h>

#include "common/handles.h"

struct RunLog {
    UniqueFile file;  // not open: the run keeps no record
};

// False when the file cannot be opened for appending, or may not be: one that exists is appended to
// only as a plain file with one link, and a new one is made with explicit permissions (those of its
// share, on another machine). `why` says why not, for the box: "it has 2 links", "error 3 (...)".
bool OpenRunLog(RunLog& log, const char* path, char* why, int whySize);
// One line, formatted as by wsprintf (whose conversions are a subset of printf's, so the compiler
// checks them as printf's); cut short when it exceeds LOG_LINE_SIZE. Writing is best effort: a log
// that fills up does not stop the patch.
void LogLine(RunLog& log, const char* format, ...) __attribute__((format(printf, 2, 3)));

constexpr int LOG_LINE_SIZE = 4096;

#endif
