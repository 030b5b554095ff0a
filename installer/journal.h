// The journal of an unattended run: just before each step runs, the step saves what undoes it and
// the journal is on disk with it, as Windows' own installer writes its rollback script one action
// at a time. A failed run and the next run's healing of a killed one both undo the journal in
// reverse. Interactive runs keep the design: a failure there undoes nothing.
#ifndef INSTALLER_JOURNAL_H
#define INSTALLER_JOURNAL_H

#include <windows.h>

#include "journal_record.h"
#include "module_files.h"
#include "run_log.h"

struct Journal {
    StepTable table;       // the steps it journals, in their order
    JournalRecord record;  // as it is on disk
    ModuleFiles files;     // worked out once by this run, never read from a record
    bool filesKnown;
};

// Before the first change: works out the module's files, asks every service the steps name for
// its state, clears the name of the module's copy, makes sure the settings key can be read, and
// writes the journal, empty. False, logged, when any of it cannot be done: nothing may change then.
bool BeginJournal(Journal& journal, RunLog& log, const StepTable& table = PATCH_TABLE);
// Saves what undoes the step and writes the journal with it, whole and flushed, before the step
// runs. False, logged, when that cannot be done: the step must not run.
bool JournalStep(Journal& journal, const PatchStep& step, RunLog& log);
// Undoes the journal's steps in reverse, each judged by what is there, so that an undo cut short
// can be done again; logs each action with its result. True when the server is as it was before
// the run; otherwise `left` says what is not.
bool UndoJournal(Journal& journal, RunLog& log, char* left, int leftSize);
// Once the run has succeeded: marks the journal completed (nothing of it may be undone any more),
// then discards it. False, logged, when it cannot be removed; a completed journal that is left is
// only removed by the next run. record.completed says whether the mark is on disk.
bool CompleteJournal(Journal& journal, RunLog& log);
// Removes the journal, then the module's copy, the staging file and the rollback folder. False,
// logged, when the journal cannot be removed: the copy then stays with it.
bool DiscardJournal(Journal& journal, RunLog& log);
// UndoJournal, then DiscardJournal once the server is as it was; logs "rolled back" when both
// were done. Otherwise false, and `left` says what is not done.
bool RollBack(Journal& journal, RunLog& log, char* left, int leftSize);

// Reads a journal left by an earlier run of these steps, and works out its files.
JournalFound FindJournal(Journal& journal, char* why, int whySize, const StepTable& table = PATCH_TABLE);
// What a journal says of its run, for the log: when it began, its process, its last step.
void DescribeJournal(const Journal& journal, char* text, int size);

#endif
