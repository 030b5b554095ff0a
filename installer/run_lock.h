// One run of the patch at a time per machine, across all sessions: a named mutex that a run holds
// from just after its log is opened until it ends. Any program may make an object under that name
// first; only one made for Administrators and SYSTEM (owned by either, or by this run's own user)
// is taken for another run's lock. Any other holder of the name is a stranger: it never passes
// for a run, and the run it blocks says what holds the name.
#ifndef INSTALLER_RUN_LOCK_H
#define INSTALLER_RUN_LOCK_H

#include <windows.h>

#include "common/handles.h"
#include "patch_identity.h"

constexpr char RUN_LOCK_NAME[] = "Global\\KOVPatch-" KOVPATCH_GUID;
// How long a run waits for a lock that is taken before it gives up: long enough for a /check,
// which holds it only for an instant, never long enough to notice.
constexpr DWORD RUN_LOCK_WAIT_MS = 1000;

enum class RunLock {
    Free,     // taken by this run
    HeldByRun,
    Stranger,  // the name is another program's: `detail` says what holds it
    Failed,    // the lock could not be made or waited for: `detail` says why
};

// Takes the lock, waiting up to RUN_LOCK_WAIT_MS for a run that holds it. A lock left abandoned
// by a run that ended without releasing it is taken.
RunLock TakeRunLock(UniqueHandle& lock, char* detail, int detailSize);

#endif
