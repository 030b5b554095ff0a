// The installer's application: checks, consent and the patch sequence, all in InitInstance.
#ifndef INSTALLER_PATCH_APP_H
#define INSTALLER_PATCH_APP_H

#include "framework/app.h"
#include "journal.h"
#include "run_log.h"

constexpr char PATCH_CAPTION[] = "NIVRA 2.0 KOV Patch";

class CPatchApp : public CWinApp {
public:
    CPatchApp() = default;
    // Always false: the run ends with its one box, or with none under /quiet.
    BOOL InitInstance() override;
    // The run's outcome as the process's exit code.
    int ExitInstance() override;
    // The eight steps in order; the first failure shows its number and ends the run.
    void RunPatch();
    // Removes what has the name of the file the deployment makes anew, before any change. False
    // when it cannot be removed (the run is ended).
    bool ClearTheWay();

private:
    // What the checks found, in the order a run makes them.
    enum class Answer { NotInstalled, CurrentByVersion, CurrentByMarker, NeedsPatch };
    // The checks, each logged with what it read, up to the first answer.
    Answer RunChecks();
    // /check: the server's state as one line and the exit code; changes nothing.
    void CheckServer();
    // Puts back what an interrupted unattended run left, before anything else. False when the
    // run must end here (its outcome is set).
    bool HealInterruptedRun();
    void CheckAndPatch();
    // What holds the run lock's name, when it is no run of this patch.
    void LogStranger(const char* holder);
    // A box in the interactive mode; with /quiet nothing is shown and the result is 0.
    int Show(const char* text, UINT buttons) const;
    // The one way a run ends: its last box (none when null), then the outcome in the log and as
    // the exit code.
    void EndRun(const char* box, int exitCode, const char* outcome);

    bool quiet_ = false;
    RunLog log_;
    // What a failed unattended run undoes.
    Journal journal_;
    int exitCode_ = ERROR_SUCCESS;
};

#endif
