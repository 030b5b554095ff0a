// Saving what an unattended run changes, and putting it back after a failure or an interruption.
#include "rollback.h"

#include <shlwapi.h>
#include <string.h>

#include "common/settings_key.h"
#include "fresh_files.h"
#include "patch_steps.h"
#include "services.h"
#include "step_report.h"

namespace {

// Stop-pending and stopped are the states of a service that does not run; any other one does.
bool Runs(DWORD state) { return state != 0 && state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING; }

// The i-th service the run stops, in the order of the step table.
const PatchStep& StoppedService(int i) {
    for (const PatchStep& step : PATCH_STEPS)
        if (step.kind == StepKind::Stop && i-- == 0) return step;
    return PATCH_STEPS[0];  // not reached: i < STOPPED_SERVICE_COUNT
}

// A copy that no record names: the save that made it did not get as far as its record.
void ForgetCopy(const RollbackPlan& plan) {
    if (plan.record.moduleExisted) DeleteFileA(plan.files.copy);
    RemoveRollbackFolder(plan.files);
}

// Notes what is left when an undo action fails.
void Left(char* left, int size, const char* what) {
    if (*left) StrCatBuffA(left, "; ", size);
    StrCatBuffA(left, what, size);
}

// Whether the file holds exactly the bytes the record describes: the digest tells the run's copy
// from any other file, one made to look like it included.
bool HoldsCopy(const char* path, const RollbackRecord& record, HeapBlock& bytes, DWORD* size, DWORD* error) {
    *error = ReadWholeFile(path, MODULE_BYTES_MAX, bytes, size);
    return *error == ERROR_SUCCESS && *size == record.copySize && Sha256(bytes.get(), *size) == record.copyDigest;
}

// The module as it was: the previous file back from its copy, or no file where there was none.
// Judged by what is there, so it can be done again after it was cut short.
void PutBackModule(RollbackPlan& plan, RunLog& log, char* left, int leftSize) {
    const RollbackRecord& record = plan.record;
    if (!record.moduleKnown) {
        LogLine(log, "undo: module: its path was not known before the run, so it was not changed");
        return;
    }
    LONG status = ERROR_SUCCESS;
    ModuleFiles& files = plan.files;
    if (WorkOutModuleFiles(files, false, &status) != FilesFound::Yes) {
        LogLine(log, "undo: module: its path cannot be worked out, %s", ErrorText(static_cast<DWORD>(status)).text);
        Left(left, leftSize, "the module's path cannot be worked out");
        return;
    }
    if (!record.moduleExisted) {
        const DWORD error = DeleteFileA(files.module) ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_SUCCESS || IsNothingThere(error)) {
            LogLine(log, "undo: module %s: there was none before the run, and there is none now", files.module);
            return;
        }
        LogLine(log, "undo: module %s: the new file cannot be removed, %s", files.module, ErrorText(error).text);
        Left(left, leftSize, "a module is there, where there was none");
        return;
    }
    HeapBlock bytes;
    DWORD size = 0, error = ERROR_SUCCESS;
    if (HoldsCopy(files.module, record, bytes, &size, &error)) {
        LogLine(log, "undo: module %s: it is the previous one", files.module);
        return;
    }
    if (!HoldsCopy(files.copy, record, bytes, &size, &error)) {
        if (error == ERROR_SUCCESS) {
            LogLine(log, "undo: module %s: cannot be put back, its copy %s is not the one the run made", files.module,
                    files.copy);
        } else {
            LogLine(log, "undo: module %s: cannot be put back, its copy %s cannot be read, %s", files.module, files.copy,
                    ErrorText(error).text);
        }
        Left(left, leftSize, "the module is not the previous one, and its copy is not whole");
        return;
    }
    FileTrouble trouble;
    char why[MODULE_PATH_SIZE + ERROR_TEXT_SIZE + 96];
    if (!WriteFreshFile(files.staging, bytes.get(), size, Secured::EveryoneRunsFile, trouble)) {
        DescribeTrouble(files.staging, trouble, why, sizeof why);
    } else if ((error = MoveIntoPlace(files.staging, files.module)) != ERROR_SUCCESS) {
        lstrcpynA(why, ErrorText(error).text, sizeof why);
    } else {
        LogLine(log, "undo: module %s: the previous file put back", files.module);
        return;
    }
    LogLine(log, "undo: module %s: the previous file cannot be put back, %s; it is kept as %s", files.module, why,
            files.copy);
    Left(left, leftSize, "the module is not the previous one (that is kept in the rollback folder)");
}

void PutBackSettings(const RollbackPlan& plan, RunLog& log, char* left, int leftSize) {
    const KeySnapshot& settings = plan.record.settings;
    const LONG status = RestoreKeySnapshot(HKEY_LOCAL_MACHINE, SETTINGS_KEY, settings);
    if (status != ERROR_SUCCESS) {
        LogLine(log, "undo: settings key: cannot be put back, %s", ErrorText(static_cast<DWORD>(status)).text);
        Left(left, leftSize, "the settings key is not as it was");
    } else if (settings.existed) {
        LogLine(log, "undo: settings key: put back with its %lu values and %lu subkeys", settings.values, settings.subkeys);
    } else {
        LogLine(log, "undo: settings key: there was none before the run, and there is none now");
    }
}

// Stops or starts one service for the rollback and logs it. Done only when the service reached
// the state the undo wanted, whatever the request's answer was.
bool Undo(const char* service, bool stop, const char* why, RunLog& log) {
    ServiceReport seen;
    DWORD result = SERVICE_RESULT_OK;
    for (const DWORD start = GetTickCount();;) {
        result = stop ? StopServiceAndWait(service, &seen) : StartServiceByName(service, &seen);
        // Another service's start that is still under way (one the interrupted run asked for)
        // locks the service database for a while: wait for it as for a pending state.
        if (stop || seen.error != ERROR_SERVICE_DATABASE_LOCKED || GetTickCount() - start >= STOP_WAIT_LIMIT_MS) break;
        Sleep(STOP_POLL_MS);
    }
    const DWORD state = SettledState(service);
    char detail[LOG_LINE_SIZE / 2];
    DescribeService(seen, result, stop, detail, sizeof detail);
    LogLine(log, "undo: %s %s (%s): %s; result %lu; %s now", stop ? "stop" : "start", service, why, detail, result,
            state ? StateName(state) : "not found");
    return state == (stop ? SERVICE_STOPPED : SERVICE_RUNNING);
}

}  // namespace

bool SaveForRollback(RollbackPlan& plan, RunLog& log) {
    RollbackRecord& record = plan.record;
    record = RollbackRecord();
    record.processId = GetCurrentProcessId();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    record.began = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;

    char states[STOPPED_SERVICE_COUNT * 40] = {};
    for (int i = 0; i < STOPPED_SERVICE_COUNT; ++i) {
        const char* name = StoppedService(i).service;
        record.servicesBefore[i] = ServiceState(name);
        char one[40];
        wnsprintfA(one, sizeof one, "%s%s %s", i ? ", " : "", name,
                   record.servicesBefore[i] ? StateName(record.servicesBefore[i]) : "not found");
        StrCatBuffA(states, one, sizeof states);
    }

    char module[MODULE_PATH_SIZE * 2] = "its path is not known (the deployment will not change it)";
    LONG status = ERROR_SUCCESS;
    record.moduleKnown = WorkOutModuleFiles(plan.files, false, &status) == FilesFound::Yes;
    if (record.moduleKnown) {
        const ModuleFiles& files = plan.files;
        HeapBlock bytes;
        DWORD size = 0;
        DWORD error = ReadWholeFile(files.module, MODULE_BYTES_MAX, bytes, &size);
        record.moduleExisted = !IsNothingThere(error);
        char why[MODULE_PATH_SIZE + ERROR_TEXT_SIZE + 96] = {};
        if (record.moduleExisted && error != ERROR_SUCCESS) {
            lstrcpynA(why, ErrorText(error).text, sizeof why);
        } else if (record.moduleExisted) {
            // A copy no record names is left from a save that was cut short: it may be replaced.
            FileTrouble trouble;
            if (!PrepareRollbackFolder(files, why, sizeof why)) {
            } else if (!WriteFreshFile(files.copy, bytes.get(), size, Secured::File, trouble)) {
                DescribeTrouble(files.copy, trouble, why, sizeof why);
            }
        }
        if (why[0]) {
            LogLine(log, "save for a rollback: module %s cannot be copied to %s: %s", files.module, files.copy, why);
            RemoveRollbackFolder(files);
            return false;
        }
        record.copySize = record.moduleExisted ? size : 0;
        if (record.moduleExisted) record.copyDigest = Sha256(bytes.get(), size);
        wnsprintfA(module, sizeof module, record.moduleExisted ? "%s, copied to %s" : "%s, none there", files.module,
                   files.copy);
    }

    status = TakeKeySnapshot(HKEY_LOCAL_MACHINE, SETTINGS_KEY, record.settings);
    if (status != ERROR_SUCCESS) {
        LogLine(log, "save for a rollback: the settings key cannot be read, %s", ErrorText(static_cast<DWORD>(status)).text);
        ForgetCopy(plan);
        return false;
    }
    // The copy is on disk before the record that names it.
    char who[128];
    status = WriteRollbackRecord(record, who, sizeof who);
    if (status != ERROR_SUCCESS) {
        LogLine(log, "save for a rollback: the record cannot be written to HKLM\\%s, %s%s%s", ROLLBACK_RECORD_KEY,
                ErrorText(static_cast<DWORD>(status)).text, who[0] ? ": its key " : "", who);
        RemoveRollbackRecord();
        ForgetCopy(plan);
        return false;
    }
    char settings[64] = "none";
    if (record.settings.existed)
        wnsprintfA(settings, sizeof settings, "%lu values and %lu subkeys", record.settings.values,
                   record.settings.subkeys);
    LogLine(log, "saved for a rollback: services %s; module %s; settings key: %s; record: HKLM\\%s", states, module,
            settings, ROLLBACK_RECORD_KEY);
    return true;
}

bool NoteStepBegun(RollbackPlan& plan, int step, RunLog& log) {
    plan.record.lastStep = step;
    char who[128];
    const LONG status = WriteRollbackRecord(plan.record, who, sizeof who);
    if (status == ERROR_SUCCESS) return true;
    LogLine(log, "the rollback record cannot be updated before step 0x%08lX, %s", PATCH_STEPS[step - 1].error,
            ErrorText(static_cast<DWORD>(status)).text);
    return false;
}

bool RollBack(RollbackPlan& plan, RunLog& log, char* left, int leftSize) {
    *left = '\0';
    const RollbackRecord& record = plan.record;
    if (record.lastStep >= StepNumber(StepKind::Deploy, nullptr)) {
        // The host must not hold the new module, nor read the settings, while they are put back.
        for (int i = 0; i < STOPPED_SERVICE_COUNT; ++i) {
            const char* host = StoppedService(i).service;
            if (!StoppedService(i).hostsModule || !Runs(SettledState(host))) continue;
            if (!Undo(host, true, "it holds the new module", log)) {
                char what[64];
                wnsprintfA(what, sizeof what, "%s cannot be stopped to put its module back", host);
                Left(left, leftSize, what);
            }
        }
        PutBackModule(plan, log, left, leftSize);
        PutBackSettings(plan, log, left, leftSize);
    }
    for (int i = STOPPED_SERVICE_COUNT - 1; i >= 0; --i) {
        const char* service = StoppedService(i).service;
        const int startStep = StepNumber(StepKind::Start, service);
        const bool stopBegun = record.lastStep >= StepNumber(StepKind::Stop, service);
        const bool startBegun = startStep != 0 && record.lastStep >= startStep;
        const bool ranBefore = Runs(record.servicesBefore[i]);
        const bool runs = Runs(SettledState(service));
        char what[64] = {};
        if (ranBefore && stopBegun && !runs) {
            if (!Undo(service, false, "it ran before the run", log))
                wnsprintfA(what, sizeof what, "%s is not running", service);
        } else if (!ranBefore && startBegun && runs) {
            if (!Undo(service, true, "it did not run before the run", log))
                wnsprintfA(what, sizeof what, "%s is running", service);
        }
        if (*what) Left(left, leftSize, what);
    }
    return *left == '\0';
}

bool DiscardSaved(RollbackPlan& plan, RunLog& log) {
    const LONG status = RemoveRollbackRecord();
    if (status != ERROR_SUCCESS) {
        LogLine(log, "the rollback record in HKLM\\%s cannot be removed, %s", ROLLBACK_RECORD_KEY,
                ErrorText(static_cast<DWORD>(status)).text);
        return false;
    }
    // Only now may the copy go: no record names it any more.
    LONG ignored = ERROR_SUCCESS;
    if (!plan.files.copy[0]) WorkOutModuleFiles(plan.files, false, &ignored);
    if (plan.record.moduleExisted) DeleteFileA(plan.files.copy);
    RemoveRollbackFolder(plan.files);
    return true;
}

bool RollBackAndDiscard(RollbackPlan& plan, RunLog& log, char* left, int leftSize) {
    if (!RollBack(plan, log, left, leftSize)) return false;
    if (!DiscardSaved(plan, log)) {
        lstrcpynA(left, "its record cannot be removed", leftSize);
        return false;
    }
    LogLine(log, "rolled back");
    return true;
}

void DescribeInterruptedRun(const RollbackRecord& record, char* text, int size) {
    FILETIME utc, local;
    SYSTEMTIME began = {};
    utc.dwLowDateTime = static_cast<DWORD>(record.began);
    utc.dwHighDateTime = static_cast<DWORD>(record.began >> 32);
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &began)) began = SYSTEMTIME();
    char step[64] = "none";
    if (record.lastStep > 0) {
        const PatchStep& last = PATCH_STEPS[record.lastStep - 1];
        wnsprintfA(step, sizeof step, "0x%08lX, %s %s", last.error, StepVerb(last.kind),
                   last.service ? last.service : MODULE_FILE_NAME);
    }
    wnsprintfA(text, size, "began %04u-%02u-%02u %02u:%02u:%02u, process %lu; last step begun: %s", began.wYear,
               began.wMonth, began.wDay, began.wHour, began.wMinute, began.wSecond, record.processId, step);
}
