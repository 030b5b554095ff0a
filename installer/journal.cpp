// The journal: what each step saves just before it runs, how each step is undone, and the
// journal's beginning and end.
#include "journal.h"

#include <shlwapi.h>
#include <string.h>

#include "common/settings_key.h"
#include "fresh_files.h"
#include "services.h"
#include "step_report.h"

namespace {

constexpr int PATH_TEXT_SIZE = MODULE_PATH_SIZE + ERROR_TEXT_SIZE + 96;

// Stop-pending and stopped are the states of a service that does not run; any other one does.
bool Runs(DWORD state) { return state != 0 && state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING; }

// Notes what is left when an undo action fails.
void Left(char* left, int size, const char* what) {
    if (*left) StrCatBuffA(left, "; ", size);
    StrCatBuffA(left, what, size);
}

// The service's state, or false (logged) when it cannot be asked; 0 is no such service.
bool AskState(const char* service, DWORD* state, RunLog& log) {
    DWORD error = ERROR_SUCCESS;
    if (QueryServiceState(service, state, &error)) return true;
    LogLine(log, "save for a rollback: the state of %s cannot be asked, %s", service, ErrorText(error).text);
    return false;
}

// The journal's entry for the step that stops this service, if it was begun.
const JournalEntry* StopOf(const Journal& journal, const char* service) {
    for (int i = 0; i < journal.record.count; ++i) {
        const JournalEntry& entry = journal.record.entries[i];
        if (entry.step->kind == StepKind::Stop && strcmp(entry.step->service, service) == 0) return &entry;
    }
    return nullptr;
}

// Whether the file holds exactly the bytes the deployment's entry describes: the digest tells the
// run's copy from any other file, one made to look like it included.
bool HoldsCopy(const char* path, const JournalEntry& entry, HeapBlock& bytes, DWORD* size, DWORD* error) {
    *error = ReadWholeFile(path, MODULE_BYTES_MAX, bytes, size);
    return *error == ERROR_SUCCESS && *size == entry.copySize && Sha256(bytes.get(), *size) == entry.copyDigest;
}

// Stops or starts one service for the undo and logs it. Done only when the service reached the
// state the undo wanted, whatever the request's answer was.
bool ServiceUndo(const char* service, bool stop, const char* why, RunLog& log) {
    ServiceReport seen;
    DWORD result = SERVICE_RESULT_OK;
    for (const DWORD start = GetTickCount();;) {
        result = stop ? StopServiceAndWait(service, &seen) : StartServiceByName(service, &seen);
        // Another service's start that is still under way (one the interrupted run asked for)
        // locks the service database for a while: wait for it as for a pending state.
        if (stop || seen.error != ERROR_SERVICE_DATABASE_LOCKED || GetTickCount() - start >= START_WAIT_LIMIT_MS) break;
        Sleep(STOP_POLL_MS);
    }
    const DWORD state = SettledState(service);
    char detail[LOG_LINE_SIZE / 2];
    DescribeService(seen, result, stop, detail, sizeof detail);
    LogLine(log, "undo: %s %s (%s): %s; result %lu; %s now", stop ? "stop" : "start", service, why, detail, result,
            state ? StateName(state) : "not found");
    return state == (stop ? SERVICE_STOPPED : SERVICE_RUNNING);
}

// A copy of the module that no journal names: the save that made it did not get as far as the
// journal. The rollback folder goes with it when nothing else is left there.
void ForgetCopy(const Journal& journal) {
    DeleteFileA(journal.files.copy);
    RemoveRollbackFolder(journal.files);
}

// A stop saves the state the service had; its undo starts a service that ran before and does not
// run now.
bool SaveStop(Journal& journal, JournalEntry& entry, RunLog& log) {
    (void)journal;
    return AskState(entry.step->service, &entry.serviceBefore, log);
}

void UndoStop(Journal&, const JournalEntry& entry, RunLog& log, char* left, int leftSize) {
    const char* service = entry.step->service;
    if (!Runs(entry.serviceBefore) || Runs(SettledState(service))) return;
    if (ServiceUndo(service, false, "it ran before the run", log)) return;
    char what[64];
    wnsprintfA(what, sizeof what, "%s is not running", service);
    Left(left, leftSize, what);
}

// A start saves nothing: its stop saved the state to go back to. Its undo is a stop, of a service
// that did not run before the run; one that did is left to its stop's undo, which finds it running.
bool SaveStart(Journal&, JournalEntry&, RunLog&) { return true; }

void UndoStart(Journal& journal, const JournalEntry& entry, RunLog& log, char* left, int leftSize) {
    const char* service = entry.step->service;
    const JournalEntry* stop = StopOf(journal, service);
    if (!stop || Runs(stop->serviceBefore) || !Runs(SettledState(service))) return;
    if (ServiceUndo(service, true, "it did not run before the run", log)) return;
    char what[64];
    wnsprintfA(what, sizeof what, "%s is running", service);
    Left(left, leftSize, what);
}

// The deployment saves the module, copied where only administrators may write, and the settings
// key as it is now, with the host stopped: nothing changes them from here on but the run.
bool SaveDeploy(Journal& journal, JournalEntry& entry, RunLog& log) {
    const ModuleFiles& files = journal.files;
    entry.moduleKnown = journal.filesKnown;
    char module[MODULE_PATH_SIZE * 2] = ": its path is not known (the deployment will not change it)";
    if (entry.moduleKnown) {
        HeapBlock bytes;
        DWORD size = 0;
        const DWORD error = ReadWholeFile(files.module, MODULE_BYTES_MAX, bytes, &size);
        entry.moduleExisted = !IsNothingThere(error);
        char why[PATH_TEXT_SIZE] = {};
        FileTrouble trouble;
        if (entry.moduleExisted && error != ERROR_SUCCESS) {
            lstrcpynA(why, ErrorText(error).text, sizeof why);
        } else if (entry.moduleExisted && PrepareRollbackFolder(files, why, sizeof why) &&
                   !WriteFreshFile(files.copy, bytes.get(), size, Secured::File, trouble)) {
            DescribeTrouble(files.copy, trouble, why, sizeof why);
        }
        if (why[0]) {
            LogLine(log, "save for a rollback: module %s cannot be copied to %s: %s", files.module, files.copy, why);
            ForgetCopy(journal);
            return false;
        }
        entry.copySize = entry.moduleExisted ? size : 0;
        if (entry.moduleExisted) entry.copyDigest = Sha256(bytes.get(), size);
        wnsprintfA(module, sizeof module, entry.moduleExisted ? " %s, copied to %s" : " %s, none there", files.module,
                   files.copy);
    }
    const LONG status = TakeKeySnapshot(HKEY_LOCAL_MACHINE, SETTINGS_KEY, entry.settings);
    if (status != ERROR_SUCCESS) {
        LogLine(log, "save for a rollback: the settings key cannot be read, %s", ErrorText(static_cast<DWORD>(status)).text);
        ForgetCopy(journal);
        return false;
    }
    char settings[64] = "none";
    if (entry.settings.existed)
        wnsprintfA(settings, sizeof settings, "%lu values and %lu subkeys", entry.settings.values, entry.settings.subkeys);
    LogLine(log, "saved for a rollback: module%s; settings key: %s", module, settings);
    return true;
}

// The module as it was: the previous file back from its copy, or no file where there was none.
// Judged by what is there, so it can be done again after it was cut short.
void PutBackModule(const Journal& journal, const JournalEntry& entry, RunLog& log, char* left, int leftSize) {
    const ModuleFiles& files = journal.files;
    if (!entry.moduleKnown) {
        LogLine(log, "undo: module: its path was not known before the run, so it was not changed");
        return;
    }
    if (!journal.filesKnown) {
        LogLine(log, "undo: module: its path cannot be worked out any more");
        Left(left, leftSize, "the module's path cannot be worked out");
        return;
    }
    if (!entry.moduleExisted) {
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
    if (HoldsCopy(files.module, entry, bytes, &size, &error)) {
        LogLine(log, "undo: module %s: it is the previous one", files.module);
        return;
    }
    if (!HoldsCopy(files.copy, entry, bytes, &size, &error)) {
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
    MoveRetries retries;
    char why[PATH_TEXT_SIZE];
    if (!WriteFreshFile(files.staging, bytes.get(), size, Secured::EveryoneRunsFile, trouble)) {
        DescribeTrouble(files.staging, trouble, why, sizeof why);
    } else if ((error = MoveIntoPlace(files.staging, files.module, &retries)) != ERROR_SUCCESS) {
        lstrcpynA(why, ErrorText(error).text, sizeof why);
    } else {
        char waited[96];
        DescribeRetries(retries, waited, sizeof waited);
        LogLine(log, "undo: module %s: the previous file put back%s", files.module, waited);
        return;
    }
    LogLine(log, "undo: module %s: the previous file cannot be put back, %s; it is kept as %s", files.module, why,
            files.copy);
    Left(left, leftSize, "the module is not the previous one (that is kept in the rollback folder)");
}

void PutBackSettings(const JournalEntry& entry, RunLog& log, char* left, int leftSize) {
    const KeySnapshot& settings = entry.settings;
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

// The deployment's undo: the host must not hold the new module, nor read the settings, while they
// are put back; a staging file a killed run left goes too.
void UndoDeploy(Journal& journal, const JournalEntry& entry, RunLog& log, char* left, int leftSize) {
    const char* host = entry.step->service;
    if (Runs(SettledState(host)) && !ServiceUndo(host, true, "it holds the new module", log)) {
        char what[64];
        wnsprintfA(what, sizeof what, "%s cannot be stopped to put its module back", host);
        Left(left, leftSize, what);
    }
    if (journal.filesKnown && GetFileAttributesA(journal.files.staging) != INVALID_FILE_ATTRIBUTES) {
        const DWORD error = RemoveName(journal.files.staging);
        LogLine(log, "undo: staging file %s: %s%s", journal.files.staging, error ? "cannot be removed, " : "removed",
                error ? ErrorText(error).text : "");
        if (error) Left(left, leftSize, "the staging file is left");
    }
    PutBackModule(journal, entry, log, left, leftSize);
    PutBackSettings(entry, log, left, leftSize);
}

// What each kind of step saves just before it runs, and how it is undone: the table the journal
// runs on, in the order of StepKind.
struct StepJournalling {
    bool (*save)(Journal& journal, JournalEntry& entry, RunLog& log);
    void (*undo)(Journal& journal, const JournalEntry& entry, RunLog& log, char* left, int leftSize);
};
constexpr StepJournalling JOURNALLING[] = {
    {SaveStop, UndoStop},      // StepKind::Stop
    {SaveDeploy, UndoDeploy},  // StepKind::Deploy
    {SaveStart, UndoStart},    // StepKind::Start
};

const StepJournalling& JournallingOf(const PatchStep& step) { return JOURNALLING[static_cast<int>(step.kind)]; }

void WorkOutFiles(Journal& journal) {
    LONG status = ERROR_SUCCESS;
    journal.filesKnown = WorkOutModuleFiles(journal.files, false, &status) == FilesFound::Yes;
}

}  // namespace

bool BeginJournal(Journal& journal, RunLog& log, const StepTable& table) {
    journal.table = table;
    JournalRecord& record = journal.record;
    record = JournalRecord();
    record.processId = GetCurrentProcessId();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    record.began = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    WorkOutFiles(journal);

    // Every service a step names must answer now: one that cannot be asked would be taken for one
    // that is not there, and never be started again.
    char states[PATCH_STEP_COUNT * 48] = {};
    for (int i = 0; i < table.count; ++i) {
        const PatchStep& step = table.steps[i];
        if (step.kind != StepKind::Stop) continue;
        DWORD state = 0;
        if (!AskState(step.service, &state, log)) return false;
        char one[40];
        wnsprintfA(one, sizeof one, "%s%s %s", states[0] ? ", " : "", step.service, state ? StateName(state) : "not found");
        StrCatBuffA(states, one, sizeof states);
    }
    // What the deployment will save must be savable before anything changes.
    if (journal.filesKnown) {
        char why[PATH_TEXT_SIZE];
        FileTrouble trouble;
        trouble.step = FileTrouble::Remove;
        trouble.error = RemoveName(journal.files.copy);
        if (trouble.error != ERROR_SUCCESS) DescribeTrouble(journal.files.copy, trouble, why, sizeof why);
        if (trouble.error != ERROR_SUCCESS || !PrepareRollbackFolder(journal.files, why, sizeof why)) {
            LogLine(log, "save for a rollback: module %s cannot be copied to %s: %s", journal.files.module,
                    journal.files.copy, why);
            return false;
        }
    }
    KeySnapshot settings;
    LONG status = TakeKeySnapshot(HKEY_LOCAL_MACHINE, SETTINGS_KEY, settings);
    if (status != ERROR_SUCCESS) {
        LogLine(log, "save for a rollback: the settings key cannot be read, %s", ErrorText(static_cast<DWORD>(status)).text);
        ForgetCopy(journal);
        return false;
    }
    char who[128];
    status = WriteJournalRecord(record, table, who, sizeof who);
    if (status != ERROR_SUCCESS) {
        LogLine(log, "save for a rollback: the record cannot be written to HKLM\\%s, %s%s%s", JOURNAL_KEY,
                ErrorText(static_cast<DWORD>(status)).text, who[0] ? ": its key " : "", who);
        ForgetCopy(journal);
        return false;
    }
    LogLine(log, "journal for a rollback: HKLM\\%s; services %s; each step saves what undoes it before it runs",
            JOURNAL_KEY, states);
    return true;
}

bool JournalStep(Journal& journal, const PatchStep& step, RunLog& log) {
    JournalRecord& record = journal.record;
    if (record.count >= PATCH_STEP_COUNT) return false;  // a table longer than the journal holds
    JournalEntry& entry = record.entries[record.count];
    entry = JournalEntry();
    entry.step = &step;
    if (!JournallingOf(step).save(journal, entry, log)) return false;
    // What undoes the step is on disk before the step changes anything.
    ++record.count;
    char who[128];
    const LONG status = WriteJournalRecord(record, journal.table, who, sizeof who);
    if (status == ERROR_SUCCESS) return true;
    --record.count;
    LogLine(log, "the rollback record cannot be updated before step 0x%08lX, %s", step.error,
            ErrorText(static_cast<DWORD>(status)).text);
    return false;
}

bool UndoJournal(Journal& journal, RunLog& log, char* left, int leftSize) {
    *left = '\0';
    for (int i = journal.record.count - 1; i >= 0; --i) {
        const JournalEntry& entry = journal.record.entries[i];
        JournallingOf(*entry.step).undo(journal, entry, log, left, leftSize);
    }
    return *left == '\0';
}

bool DiscardJournal(Journal& journal, RunLog& log) {
    const LONG status = RemoveJournalRecord();
    if (status != ERROR_SUCCESS) {
        LogLine(log, "the rollback record in HKLM\\%s cannot be removed, %s", JOURNAL_KEY,
                ErrorText(static_cast<DWORD>(status)).text);
        return false;
    }
    // Only now may the copy go: no journal names it any more.
    if (journal.filesKnown) RemoveName(journal.files.staging);
    ForgetCopy(journal);
    return true;
}

bool CompleteJournal(Journal& journal, RunLog& log) {
    journal.record.completed = true;
    char who[128];
    const LONG status = WriteJournalRecord(journal.record, journal.table, who, sizeof who);
    if (status != ERROR_SUCCESS) {
        journal.record.completed = false;
        LogLine(log, "the rollback record in HKLM\\%s cannot be marked completed, %s", JOURNAL_KEY,
                ErrorText(static_cast<DWORD>(status)).text);
    }
    return DiscardJournal(journal, log);
}

bool RollBack(Journal& journal, RunLog& log, char* left, int leftSize) {
    if (!UndoJournal(journal, log, left, leftSize)) return false;
    if (!DiscardJournal(journal, log)) {
        lstrcpynA(left, "its record cannot be removed", leftSize);
        return false;
    }
    LogLine(log, "rolled back");
    return true;
}

JournalFound FindJournal(Journal& journal, char* why, int whySize, const StepTable& table) {
    journal.table = table;
    const JournalFound found = ReadJournalRecord(journal.record, table, why, whySize);
    if (found == JournalFound::Found) WorkOutFiles(journal);
    return found;
}

void DescribeJournal(const Journal& journal, char* text, int size) {
    const JournalRecord& record = journal.record;
    FILETIME utc, local;
    SYSTEMTIME began = {};
    utc.dwLowDateTime = static_cast<DWORD>(record.began);
    utc.dwHighDateTime = static_cast<DWORD>(record.began >> 32);
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &began)) began = SYSTEMTIME();
    char step[64] = "none";
    if (record.count > 0) {
        const PatchStep& last = *record.entries[record.count - 1].step;
        wnsprintfA(step, sizeof step, "0x%08lX, %s %s", last.error, StepVerb(last.kind), StepObject(last));
    }
    wnsprintfA(text, size, "began %04u-%02u-%02u %02u:%02u:%02u, process %lu; last step begun: %s%s", began.wYear,
               began.wMonth, began.wDay, began.wHour, began.wMinute, began.wSecond, record.processId, step,
               record.completed ? "; every step done" : "");
}
