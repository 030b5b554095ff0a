// What a step saw, as the text of its log line.
#ifndef INSTALLER_STEP_REPORT_H
#define INSTALLER_STEP_REPORT_H

#include <windows.h>

#include "deploy.h"
#include "../common/error_text.h"
#include "services.h"

// A service state's name: "running", "stop-pending", ...
const char* StateName(DWORD state);
// The part of a service operation's log line that its result code does not already say.
void DescribeService(const ServiceReport& seen, DWORD result, bool stop, char* text, int size);
// The deployment's part of its log line.
void DescribeDeploy(const DeployReport& seen, char* text, int size);

#endif
