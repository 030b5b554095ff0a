#include "rollback.h"

#include <shlwapi.h>
#include <string.h>

#include "common/settings_key.h"
#include "probes.h"
#include "services.h"
#include "step_report.h"

namespace {

// Stop-pending and stopped are the states of a service that does not run; any other one does.
bool Runs(DWORD state) { return state != 0 && state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING; }

// `name` in `directory`, whose length leaves room for a name as long as the module's.
void Beside(const char* directory, const char* name, char (&path)[MODULE_PATH_SIZE]) {
    wnsprintfA(path, MODULE_PATH_SIZE, "%s%s", directory, name);
}

// Notes what is left when an undo action fails.
void Left(char* left, int size, const char* what) {
    if (*left) StrCatBuffA(left, "; ", size);
    StrCatBuffA(left, what, size);
}

// The module as it was: the previous file back from its copy, or no file where there was none.
void PutBackModule(RollbackPlan& plan, RunLog& log, char* left, int leftSize) {
    if (!plan.moduleKnown) {
        LogLine(log, "undo: module: its path was not known before the run, so it was not changed");
        return;
    }
    if (plan.moduleExisted) {
        if (MoveFileExA(plan.copyPath, plan.modulePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            LogLine(log, "undo: module %s: the previous file put back", plan.modulePath);
            return;
        }
        const ErrorText error(GetLastError());
        LogLine(log, "undo: module %s: the previous file cannot be put back, %s; it is kept as %s", plan.modulePath,
                error.text, plan.copyPath);
        plan.keepCopy = true;
        Left(left, leftSize, "the module is the new one (the previous one is kept as kelvrim.old beside it)");
        return;
    }
    if (DeleteFileA(plan.modulePath) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        LogLine(log, "undo: module %s: there was none before the run, and there is none now", plan.modulePath);
        return;
    }
    const ErrorText error(GetLastError());
    LogLine(log, "undo: module %s: the new file cannot be removed, %s", plan.modulePath, error.text);
    Left(left, leftSize, "the new module is there, where there was none");
}

void PutBackSettings(RollbackPlan& plan, RunLog& log, char* left, int leftSize) {
    const LONG status = RestoreKeySnapshot(HKEY_LOCAL_MACHINE, SETTINGS_KEY, plan.settings);
    if (status != ERROR_SUCCESS) {
        LogLine(log, "undo: settings key: cannot be put back, %s", ErrorText(static_cast<DWORD>(status)).text);
        Left(left, leftSize, "the settings key is not as it was");
    } else if (plan.settings.existed) {
        LogLine(log, "undo: settings key: put back with its %lu values and %lu subkeys", plan.settings.values,
                plan.settings.subkeys);
    } else {
        LogLine(log, "undo: settings key: there was none before the run, and there is none now");
    }
}

// Stops or starts one service for the rollback and logs it; false when it did not.
bool Undo(const ServiceMemory& service, bool stop, const char* why, RunLog& log) {
    ServiceReport seen;
    const DWORD result = stop ? StopServiceAndWait(service.name, &seen) : StartServiceByName(service.name, &seen);
    char detail[LOG_LINE_SIZE / 2];
    DescribeService(seen, result, stop, detail, sizeof detail);
    LogLine(log, "undo: %s %s (%s): %s; result %lu", stop ? "stop" : "start", service.name, why, detail, result);
    return result == SERVICE_RESULT_OK;
}

}  // namespace

ServiceMemory* RememberedService(RollbackPlan& plan, const char* name) {
    for (int i = 0; i < plan.serviceCount; ++i)
        if (strcmp(plan.services[i].name, name) == 0) return &plan.services[i];
    return nullptr;
}

bool SaveForRollback(RollbackPlan& plan, const char* const services[], int count, RunLog& log) {
    char states[ROLLBACK_SERVICES_MAX * 40] = {};
    for (int i = 0; i < count && i < ROLLBACK_SERVICES_MAX; ++i) {
        ServiceMemory& service = plan.services[plan.serviceCount++];
        service.name = services[i];
        service.stateBefore = ServiceState(service.name);
        char one[40];
        wnsprintfA(one, sizeof one, "%s%s %s", i ? ", " : "", service.name,
                   service.stateBefore ? StateName(service.stateBefore) : "not found");
        StrCatBuffA(states, one, sizeof states);
    }

    char directory[MODULE_PATH_SIZE] = {};
    char module[MODULE_PATH_SIZE * 2] = "its path is not known (the deployment will not change it)";
    plan.moduleKnown = FindAgentDirectory(directory, sizeof directory) &&
                       strlen(directory) + sizeof MODULE_FILE_NAME <= MODULE_PATH_SIZE;
    if (plan.moduleKnown) {
        Beside(directory, MODULE_FILE_NAME, plan.modulePath);
        Beside(directory, MODULE_COPY_NAME, plan.copyPath);
        plan.moduleExisted = GetFileAttributesA(plan.modulePath) != INVALID_FILE_ATTRIBUTES;
        if (plan.moduleExisted && !CopyFileA(plan.modulePath, plan.copyPath, FALSE)) {
            const ErrorText error(GetLastError());
            DeleteFileA(plan.copyPath);
            LogLine(log, "save for a rollback: module %s cannot be copied to %s, %s", plan.modulePath, plan.copyPath,
                    error.text);
            return false;
        }
        wnsprintfA(module, sizeof module, plan.moduleExisted ? "%s, copied to %s" : "%s, none there", plan.modulePath,
                   plan.copyPath);
    }

    const LONG read = TakeKeySnapshot(HKEY_LOCAL_MACHINE, SETTINGS_KEY, plan.settings);
    if (read != ERROR_SUCCESS) {
        LogLine(log, "save for a rollback: the settings key cannot be read, %s", ErrorText(static_cast<DWORD>(read)).text);
        DiscardSaved(plan);
        return false;
    }
    char settings[64] = "none";
    if (plan.settings.existed)
        wnsprintfA(settings, sizeof settings, "%lu values and %lu subkeys", plan.settings.values, plan.settings.subkeys);
    LogLine(log, "saved for a rollback: services %s; module %s; settings key: %s", states, module, settings);
    return true;
}

void RollBack(RollbackPlan& plan, RunLog& log) {
    char left[LOG_LINE_SIZE / 2] = {};
    // The host must not hold the new module, nor read the settings, while they are put back.
    ServiceMemory* host = RememberedService(plan, "drovek");
    if (plan.deployAttempted) {
        if (host && Runs(ServiceState(host->name)) && !Undo(*host, true, "it holds the new module", log))
            Left(left, sizeof left, "drovek still runs the new module");
        PutBackModule(plan, log, left, sizeof left);
        PutBackSettings(plan, log, left, sizeof left);
    }
    for (int i = plan.serviceCount - 1; i >= 0; --i) {
        const ServiceMemory& service = plan.services[i];
        const bool runs = Runs(ServiceState(service.name));
        if (Runs(service.stateBefore) && service.stopAttempted && !runs) {
            if (!Undo(service, false, "it ran before the run", log)) {
                char what[64];
                wnsprintfA(what, sizeof what, "%s is not running", service.name);
                Left(left, sizeof left, what);
            }
        } else if (!Runs(service.stateBefore) && service.started && runs) {
            if (!Undo(service, true, "it did not run before the run", log)) {
                char what[64];
                wnsprintfA(what, sizeof what, "%s is running", service.name);
                Left(left, sizeof left, what);
            }
        }
    }
    if (*left) {
        LogLine(log, "rollback incomplete: %s", left);
    } else {
        LogLine(log, "rolled back");
    }
    DiscardSaved(plan);
}

void DiscardSaved(RollbackPlan& plan) {
    if (plan.moduleExisted && !plan.keepCopy) DeleteFileA(plan.copyPath);
}
