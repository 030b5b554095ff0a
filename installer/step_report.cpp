// The log's text for what a step saw.
#include "step_report.h"

#include <shlwapi.h>

const char* StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start-pending";
    case SERVICE_STOP_PENDING: return "stop-pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continue-pending";
    case SERVICE_PAUSE_PENDING: return "pause-pending";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

void DescribeService(const ServiceReport& seen, DWORD result, bool stop, char* text, int size) {
    const ErrorText error(seen.error);
    if (result == SERVICE_RESULT_NO_MANAGER) {
        wnsprintfA(text, size, "the service control manager cannot be opened, %s", error.text);
    } else if (result == SERVICE_RESULT_NO_SERVICE) {
        wnsprintfA(text, size, "the service cannot be opened, %s", error.text);
    } else if (!stop) {
        wnsprintfA(text, size, seen.error == ERROR_SUCCESS ? "start request accepted"
                               : result == SERVICE_RESULT_OK ? "already running, %s"
                                                             : "start request failed, %s",
                   error.text);
    } else if (seen.stateCount == 0) {
        wnsprintfA(text, size, "stop request refused, %s; counted as stopped", error.text);
    } else {
        char states[SEEN_STATES_MAX * 24] = {};
        for (DWORD i = 0; i < seen.stateCount; ++i) {
            if (i > 0) StrCatBuffA(states, ", ", sizeof states);
            StrCatBuffA(states, StateName(seen.states[i]), sizeof states);
        }
        const DWORD last = seen.states[seen.stateCount - 1];
        wnsprintfA(text, size, "stop request accepted; states seen: %s (polls: %lu)%s%s", states, seen.polls,
                   seen.error != ERROR_SUCCESS ? "; status query failed, " : "",
                   seen.error != ERROR_SUCCESS ? error.text
                   : last == SERVICE_STOP_PENDING ? "; still stop-pending at the wait's bound"
                                                  : "");
    }
}

void DescribeDeploy(const DeployReport& seen, char* text, int size) {
    const char* settings = seen.keyDeletion == ERROR_SUCCESS          ? "settings key deleted"
                           : seen.keyDeletion == ERROR_FILE_NOT_FOUND ? "no settings key to delete"
                                                                      : "settings key not deleted";
    const ErrorText error(seen.error);
    char retried[96];
    DescribeRetries(seen.retries, retried, sizeof retried);
    switch (seen.failure) {
    case DeployFailure::None:
        wnsprintfA(text, size, "%s; module %s: %lu bytes written beside it, then moved over it%s", settings,
                   seen.modulePath, seen.bytesWritten, retried);
        break;
    case DeployFailure::AgentDirectory:
        wnsprintfA(text, size, "%s; the agent's \"PathName\" cannot be read, %s", settings, error.text);
        break;
    case DeployFailure::PathTooLong:
        wnsprintfA(text, size, "%s; the agent directory %s leaves no room for the module's name", settings,
                   seen.modulePath);
        break;
    case DeployFailure::NoImage:
        wnsprintfA(text, size, "%s; the carried module cannot be loaded, %s", settings, error.text);
        break;
    case DeployFailure::Write: {
        char staging[MODULE_PATH_SIZE + ERROR_TEXT_SIZE + 96];
        DescribeTrouble(STAGING_FILE_NAME, seen.trouble, staging, sizeof staging);
        wnsprintfA(text, size, "%s; module %s: writing the new module beside it failed: %s; the old one is left as it was",
                   settings, seen.modulePath, staging);
        break;
    }
    case DeployFailure::Replace:
        wnsprintfA(text, size, "%s; module %s: %lu bytes written beside it, moving them over it failed, %s%s; "
                   "the old one is left as it was",
                   settings, seen.modulePath, seen.bytesWritten, error.text, retried);
        break;
    }
}

