// What a step saw, as the text of its log line.
#ifndef INSTALLER_STEP_REPORT_H
#define INSTALLER_STEP_REPORT_H

#include <windows.h>

#include "deploy.h"
#include "run_log.h"
#include "services.h"

// "error N (the system's text)", for a log line.
struct ErrorText {
    char text[ERROR_TEXT_SIZE];
    explicit ErrorText(DWORD error) { DescribeError(error, text, sizeof text); }
};

// A service state's name: "running", "stop-pending", ...
const char* StateName(DWORD state);
// The part of a service operation's log line that its result code does not already say.
void DescribeService(const ServiceReport& seen, DWORD result, bool stop, char* text, int size);
// The deployment's part of its log line.
void DescribeDeploy(const DeployReport& seen, char* text, int size);

#endif
