// CPatchApp: the installer's run from its command line to its exit code: checks, consent, the patch, /check.
#include "patch_app.h"

#include <shlwapi.h>
#include <stdlib.h>

#include "command_line.h"
#include "deploy.h"
#include "fresh_files.h"
#include "library_search.h"
#include "patch_steps.h"
#include "journal.h"
#include "probes.h"
#include "run_lock.h"
#include "server_check.h"
#include "services.h"
#include "step_report.h"

namespace {

constexpr char TEXT_NOT_INSTALLED[] = "Detects no installed NIVRA 2.0!";
constexpr char TEXT_UP_TO_DATE[] = "The memory module is up-to-date!";
constexpr char TEXT_CONSENT[] =
    "This patch will stop IIS server and SNMP service temporarily.\nDo you want to continue?";
constexpr char TEXT_PATCH_OK[] = "Patch OK!";
constexpr char TEXT_FAILED_FORMAT[] = "Fail to patch! (Error : 0x%08X)";
constexpr char TEXT_ANOTHER_RUN[] = "Another run of this patch is in progress on this machine.";
constexpr char TEXT_NAME_TAKEN[] =
    "Another program holds the name this patch uses to keep its runs apart, so nothing was changed.";
constexpr char TEXT_LOCK_FAILED[] = "This patch cannot make sure it runs alone, so nothing was changed.";
constexpr char TEXT_LOG_FAILED_FORMAT[] = "The log file %s cannot be written: %s.";
constexpr char TEXT_IN_THE_WAY_FORMAT[] = "%s.\nNothing was changed.";
constexpr char TEXT_RECORD_REFUSED[] =
    "An interrupted run of this patch left a record that cannot be used, so nothing was changed.";
constexpr char TEXT_HEAL_INCOMPLETE_FORMAT[] =
    "An interrupted run of this patch could not be undone completely: %s.\nNothing else was changed.";
constexpr char TEXT_USAGE[] =
    "Usage: KOVPatch [/quiet] [/log FILE]\n"
    "       KOVPatch /check [/log FILE]\n"
    "\n"
    "/quiet, /q\tPatch without showing anything; the switch is the consent.\n"
    "/check\tSay whether this server needs the patch, in one line on the\n"
    "\tstandard output and as the exit code; change nothing.\n"
    "/log FILE\tAppend a record of the run to FILE.\n"
    "/?, /help\tShow this text.\n"
    "Switches may begin with / or - and are not case-sensitive.\n"
    "\n"
    "Exit codes:\n"
    "0\tpatched, or already up to date\n"
    "1\t(/check) the patch is needed\n"
    "1602\tthe question was answered No\n"
    "1603\ta patch step failed, an interrupted run could not be put back,\n"
    "\tor another program holds the name of the run lock\n"
    "1604\t(/check) an interrupted run left its rollback record\n"
    "1618\tanother run of the patch is in progress\n"
    "1622\tthe log file cannot be written\n"
    "1639\tthe command line is not valid\n"
    "1642\tNIVRA 2.0 is not installed";

// The fixed part of the program's version record: after the record's three sizes and its key
// L"VS_VERSION_INFO", aligned to four bytes.
constexpr DWORD FIXED_VERSION_OFFSET = (3 * sizeof(WORD) + sizeof(L"VS_VERSION_INFO") + 3) & ~3u;

bool ReadOwnVersion(DWORD* major, DWORD* minor) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(VS_VERSION_INFO), RT_VERSION);
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const BYTE* record = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    if (record == nullptr || SizeofResource(nullptr, found) < FIXED_VERSION_OFFSET + sizeof(VS_FIXEDFILEINFO))
        return false;
    const auto* fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(record + FIXED_VERSION_OFFSET);
    if (fixed->dwSignature != VS_FFI_SIGNATURE) return false;
    *major = fixed->dwFileVersionMS;
    *minor = fixed->dwFileVersionLS;
    return true;
}

// Runs one step and logs what it saw. True when the step succeeded.
bool RunStep(const PatchStep& step, RunLog& log) {
    char detail[LOG_LINE_SIZE / 2];
    if (step.kind == StepKind::Deploy) {
        DeployReport seen;
        const bool deployed = DeployModule(&seen);
        DescribeDeploy(seen, detail, sizeof detail);
        LogLine(log, "step 0x%08lX, %s %s: %s", step.error, StepVerb(step.kind), MODULE_FILE_NAME, detail);
        return deployed;
    }
    ServiceReport seen;
    const bool stop = step.kind == StepKind::Stop;
    const DWORD result = stop ? StopServiceAndWait(step.service, &seen) : StartServiceByName(step.service, &seen);
    DescribeService(seen, result, stop, detail, sizeof detail);
    LogLine(log, "step 0x%08lX, %s %s: %s; result %lu", step.error, StepVerb(step.kind), step.service, detail, result);
    return result == SERVICE_RESULT_OK;
}

}  // namespace

CPatchApp theApp;

BOOL CPatchApp::InitInstance() {
    LoadLibrariesOnlyFromTheSystem();
    const CommandLine command = ParseCommandLine(__argc, __argv);
    // A check shows nothing, whatever else the command line says.
    quiet_ = command.quiet || command.check;
    // Neither of these two ends has a log to write to.
    if (!command.valid || command.help) {
        EndRun(TEXT_USAGE, command.valid ? ERROR_SUCCESS : ERROR_INVALID_COMMAND_LINE, "usage");
        return FALSE;
    }
    // Nothing is read or changed unless the record of it can be kept.
    char why[ERROR_TEXT_SIZE];
    if (command.logPath != nullptr && !OpenRunLog(log_, command.logPath, why, sizeof why)) {
        char text[MAX_PATH * 2 + ERROR_TEXT_SIZE];
        wnsprintfA(text, sizeof text, TEXT_LOG_FAILED_FORMAT, command.logPath, why);
        text[sizeof text - 1] = '\0';  // a path too long for the box is cut short
        EndRun(text, ERROR_INSTALL_LOG_FAILURE, "the log cannot be written");
        return FALSE;
    }

    DWORD major = 0, minor = 0;
    ReadOwnVersion(&major, &minor);
    LogLine(log_, "KOVPatch %u.%u.%u.%u started, %s; command line: %s", HIWORD(major), LOWORD(major),
            HIWORD(minor), LOWORD(minor), command.check ? "check" : quiet_ ? "unattended" : "interactive",
            GetCommandLineA());
    if (command.check) {
        CheckServer();
        return FALSE;
    }

    UniqueHandle lock;
    char detail[LOG_LINE_SIZE / 4];
    switch (TakeRunLock(lock, detail, sizeof detail)) {
    case RunLock::Free: break;
    case RunLock::HeldByRun:
        EndRun(TEXT_ANOTHER_RUN, ERROR_INSTALL_ALREADY_RUNNING, "another run of the patch is in progress");
        return FALSE;
    case RunLock::Stranger:
        LogStranger(detail);
        EndRun(TEXT_NAME_TAKEN, ERROR_INSTALL_FAILURE, "nothing changed, as another program holds the run lock's name");
        return FALSE;
    case RunLock::Failed:
        LogLine(log_, "the run lock %s cannot be taken, %s", RUN_LOCK_NAME, detail);
        EndRun(TEXT_LOCK_FAILED, ERROR_INSTALL_FAILURE, "nothing changed, as the run lock cannot be taken");
        return FALSE;
    }
    if (HealInterruptedRun()) CheckAndPatch();
    ReleaseMutex(lock.get());
    return FALSE;
}

void CPatchApp::LogStranger(const char* holder) {
    LogLine(log_, "the run lock %s is held by %s, not by a run of this patch", RUN_LOCK_NAME, holder);
}

int CPatchApp::ExitInstance() { return exitCode_; }

CPatchApp::Answer CPatchApp::RunChecks() {
    ProductSearch product;
    if (!IsProductInstalled(&product)) {
        if (product.status != ERROR_SUCCESS) {
            LogLine(log_, "check product: the uninstall list cannot be read, %s", ErrorText(product.status).text);
        } else {
            LogLine(log_, "check product: none of the %lu uninstall entries has a DisplayName containing \"%s\"",
                    product.entries, PRODUCT_DISPLAY_NAME);
        }
        return Answer::NotInstalled;
    }
    LogLine(log_, "check product: uninstall entry \"%s\" has DisplayName \"%s\"", product.entry, product.displayName);

    VersionReading version;
    const bool current = IsVersionAtLeast(CURRENT_MODULE_VERSION, &version);
    if (version.status != ERROR_SUCCESS) {
        LogLine(log_, "check version: \"Version\" cannot be read, %s; not current", ErrorText(version.status).text);
    } else {
        LogLine(log_, "check version: \"Version\" is 0x%08lX, %s 0x%08lX", version.version,
                current ? "at least" : "below", static_cast<DWORD>(CURRENT_MODULE_VERSION));
    }
    if (current) return Answer::CurrentByVersion;

    LONG markerStatus = ERROR_SUCCESS;
    if (IsPatchMarkerPresent(&markerStatus)) {
        LogLine(log_, "check marker: present");
        return Answer::CurrentByMarker;
    }
    LogLine(log_, "check marker: absent, %s", ErrorText(markerStatus).text);
    return Answer::NeedsPatch;
}

void CPatchApp::CheckServer() {
    // The lock is held only while the server is read, a matter of milliseconds, so that no run
    // replaces the module while it is read, and a patch run starting meanwhile waits for it rather
    // than being turned away. While a run holds it, the module is not even opened.
    UniqueHandle lock;
    char detail[LOG_LINE_SIZE / 4];
    const RunLock found = TakeRunLock(lock, detail, sizeof detail);
    ServerState state = found == RunLock::HeldByRun ? ServerState::InProgress : ServerState::Blocked;
    if (found == RunLock::Stranger) {
        LogStranger(detail);
    } else if (found == RunLock::Failed) {
        LogLine(log_, "the run lock %s cannot be taken, %s", RUN_LOCK_NAME, detail);
    } else if (found == RunLock::Free) {
        Journal journal;
        char why[LOG_LINE_SIZE / 4];
        const JournalFound left = FindJournal(journal, why, sizeof why);
        if (left == JournalFound::Refused || (left == JournalFound::Found && !journal.record.completed)) {
            state = ServerState::Interrupted;
        } else {
            switch (RunChecks()) {
            case Answer::NotInstalled: state = ServerState::NotInstalled; break;
            case Answer::CurrentByVersion:
            case Answer::CurrentByMarker: state = ServerState::Patched; break;
            case Answer::NeedsPatch: state = ServerState::NeedsPatch; break;
            }
        }
    }
    char line[160];
    DescribeServer(state, ReadServerFacts(found == RunLock::Free), line, sizeof line);
    if (lock) ReleaseMutex(lock.get());
    WriteToStandardOutput(line);
    LogLine(log_, "%s", line);
    EndRun(nullptr, StateExitCode(state), StateWord(state));
}

void CPatchApp::CheckAndPatch() {
    switch (RunChecks()) {
    case Answer::NotInstalled: return EndRun(TEXT_NOT_INSTALLED, ERROR_PATCH_TARGET_NOT_FOUND, "NIVRA 2.0 is not installed");
    case Answer::CurrentByVersion: return EndRun(TEXT_UP_TO_DATE, ERROR_SUCCESS, "already up to date by version");
    case Answer::CurrentByMarker:
        return EndRun(TEXT_UP_TO_DATE, ERROR_SUCCESS, "already up to date by the patch marker");
    case Answer::NeedsPatch: break;
    }
    if (quiet_) {
        LogLine(log_, "consent: given by /quiet");
    } else {
        const int answer = Show(TEXT_CONSENT, MB_YESNO);
        LogLine(log_, "consent: %s", answer == IDYES ? "answered Yes" : answer == IDNO ? "answered No"
                                                                                      : "not given");
        if (answer != IDYES) return EndRun(nullptr, ERROR_INSTALL_USEREXIT, "declined");
    }
    RunPatch();
}

bool CPatchApp::HealInterruptedRun() {
    Journal found;
    char text[LOG_LINE_SIZE / 2];
    switch (FindJournal(found, text, sizeof text)) {
    case JournalFound::None: return true;
    case JournalFound::Refused:
        LogLine(log_, "interrupted run found, but its record in HKLM\\%s is refused: %s", JOURNAL_KEY, text);
        EndRun(TEXT_RECORD_REFUSED, ERROR_INSTALL_FAILURE, "nothing changed, as the record of an interrupted run cannot be used");
        return false;
    case JournalFound::Found: break;
    }
    DescribeJournal(found, text, sizeof text);
    if (found.record.completed) {
        // Its run ended with every step done and could not remove its journal: nothing to undo.
        LogLine(log_, "record of a completed run found: %s; it is removed, nothing is undone", text);
        DiscardJournal(found, log_);
        return true;
    }
    LogLine(log_, "interrupted run found: %s", text);
    char left[LOG_LINE_SIZE / 2];
    if (RollBack(found, log_, left, sizeof left)) return true;
    char box[LOG_LINE_SIZE / 2 + 128];
    wnsprintfA(box, sizeof box, TEXT_HEAL_INCOMPLETE_FORMAT, left);
    EndRun(box, ERROR_INSTALL_FAILURE, "nothing else done, as an interrupted run could not be rolled back");
    LogLine(log_, "rollback incomplete: %s", left);
    return false;
}

bool CPatchApp::ClearTheWay() {
    ModuleFiles files;
    LONG status = ERROR_SUCCESS;
    // Without a directory the deployment fails at its own step, as designed.
    if (WorkOutModuleFiles(files, false, &status) != FilesFound::Yes) return true;
    FileTrouble trouble;
    trouble.error = RemoveName(files.staging);
    if (trouble.error == ERROR_SUCCESS) return true;
    trouble.step = FileTrouble::Remove;
    char text[LOG_LINE_SIZE / 2];
    DescribeTrouble(files.staging, trouble, text, sizeof text);
    LogLine(log_, "clear the way: %s", text);
    char box[LOG_LINE_SIZE / 2 + 64];
    wnsprintfA(box, sizeof box, TEXT_IN_THE_WAY_FORMAT, text);
    EndRun(box, ERROR_INSTALL_FAILURE, "nothing changed, as a file the patch writes is in the way");
    return false;
}

void CPatchApp::RunPatch() {
    // A file the deployment writes anew must be cleared before anything changes, so that it cannot
    // stop the run half-way.
    if (!ClearTheWay()) return;
    // An unattended failure is undone: each step saves what undoes it, on disk, just before it
    // runs.
    Journal* journal = quiet_ ? &journal_ : nullptr;
    if (journal && !BeginJournal(*journal, log_))
        return EndRun(nullptr, ERROR_INSTALL_FAILURE, "nothing changed, as a rollback could not be prepared");
    for (const PatchStep& step : PATCH_STEPS) {
        if ((journal && !JournalStep(*journal, step, log_)) || !RunStep(step, log_)) {
            char text[64];
            wsprintfA(text, TEXT_FAILED_FORMAT, step.error);
            EndRun(text, ERROR_INSTALL_FAILURE, text);
            char left[LOG_LINE_SIZE / 2];
            if (journal && !RollBack(*journal, log_, left, sizeof left)) LogLine(log_, "rollback incomplete: %s", left);
            return;
        }
    }
    // Recorded only once the user has seen the outcome (at once with /quiet). A failure here is
    // not shown and leaves the exit code alone, but the log says so.
    Show(TEXT_PATCH_OK, MB_OK);
    LONG set = ERROR_SUCCESS;
    const LONG closed = WritePatchMarker(&set);
    if (set != ERROR_SUCCESS) {
        LogLine(log_, "marker not written, %s", ErrorText(static_cast<DWORD>(set)).text);
    } else if (closed != ERROR_SUCCESS) {
        LogLine(log_, "marker written; closing the settings key failed, %s", ErrorText(static_cast<DWORD>(closed)).text);
    } else {
        LogLine(log_, "marker written");
    }
    // The run is over only now: until the journal is marked done, a kill would still be rolled back.
    if (journal && !CompleteJournal(*journal, log_)) {
        return EndRun(nullptr, ERROR_SUCCESS,
                      journal->record.completed
                          ? "patched; its rollback record is left, marked done, for the next run to remove"
                          : "patched; its rollback record can be neither marked done nor removed, so the next run "
                            "will put the server back as it was and patch again");
    }
    EndRun(nullptr, ERROR_SUCCESS, "patched");
}

int CPatchApp::Show(const char* text, UINT buttons) const {
    return quiet_ ? 0 : MessageBoxA(nullptr, text, PATCH_CAPTION, buttons);
}

void CPatchApp::EndRun(const char* box, int exitCode, const char* outcome) {
    if (box) Show(box, MB_OK);
    exitCode_ = exitCode;
    LogLine(log_, "outcome: %s; exit code %d", outcome, exitCode);
}
