// One run of the patch at a time per machine, across all sessions: a named mutex that a run holds
// from just after its log is opened until it ends.
#ifndef INSTALLER_RUN_LOCK_H
#define INSTALLER_RUN_LOCK_H

#include <windows.h>

#include "common/handles.h"

constexpr char RUN_LOCK_NAME[] = "Global\\KOVPatch-12C954DC-D880-4a30-8354-56807FDF4CAC";
// How long a run waits for a lock that is taken before it gives up: long enough for a /check,
// which holds it only for an instant, never long enough to notice.
constexpr DWORD RUN_LOCK_WAIT_MS = 1000;

// False when another run holds the lock, or holds it where this run may not even open it (then
// `error` says why). A lock left abandoned by a run that ended without releasing it is taken.
bool TakeRunLock(UniqueHandle& lock, DWORD* error);
// Whether another run holds the lock. It is taken for an instant to see, and let go at once.
bool RunLockHeldElsewhere();

#endif
