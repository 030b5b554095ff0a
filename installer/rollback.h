// Undoing an unattended run: what the run is about to change is saved, on disk, before the first
// service stops; a failure puts back what the run changed, in reverse order, and only that; and
// a run that was killed half-way is put back the same way by the next run, from its record.
// Interactive runs keep the design: a failure there undoes nothing.
#ifndef INSTALLER_ROLLBACK_H
#define INSTALLER_ROLLBACK_H

#include <windows.h>

#include "module_files.h"
#include "rollback_record.h"
#include "run_log.h"

struct RollbackPlan {
    RollbackRecord record;  // as it is on disk
    ModuleFiles files{};    // worked out by this run, never read from a record
};

// Notes the services' states, copies the module beside it (flushed), reads the settings key and
// writes the record, and logs what was saved. False, logged, when something could not be saved:
// the run must then change nothing, and nothing is left of the save.
bool SaveForRollback(RollbackPlan& plan, RunLog& log);
// Records that the step (1 to 8) begins. False, logged, when the record cannot be updated.
bool NoteStepBegun(RollbackPlan& plan, int step, RunLog& log);
// Puts back what the record says the run changed, judged by what is there now, and logs each
// action with its result. True when the server is as it was; otherwise `left` says what is not.
bool RollBack(RollbackPlan& plan, RunLog& log, char* left, int leftSize);
// Once the run has succeeded or been rolled back whole: the record goes, then the copy. False,
// logged, when the record cannot be removed (the copy then stays with it).
bool DiscardSaved(RollbackPlan& plan, RunLog& log);
// RollBack, then DiscardSaved once the server is as it was; logs "rolled back" when both were
// done. Otherwise false, and `left` says what is not done.
bool RollBackAndDiscard(RollbackPlan& plan, RunLog& log, char* left, int leftSize);
// What a record says of its run, for the log: when it began, its process, its last step.
void DescribeInterruptedRun(const RollbackRecord& record, char* text, int size);

#endif
