// Taking the run lock, and looking at it without keeping it.
#include "run_lock.h"

namespace {

bool Taken(HANDLE lock) {
    const DWORD waited = WaitForSingleObject(lock, RUN_LOCK_WAIT_MS);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

}  // namespace

bool TakeRunLock(UniqueHandle& lock, DWORD* error) {
    lock.reset(CreateMutexA(nullptr, FALSE, RUN_LOCK_NAME));
    if (!lock) {
        *error = GetLastError();
        return false;
    }
    *error = ERROR_SUCCESS;
    return Taken(lock.get());
}

bool RunLockHeldElsewhere() {
    UniqueHandle lock(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, RUN_LOCK_NAME));
    // No such lock: no run. One that cannot be opened belongs to a run this one cannot see into.
    if (!lock) return GetLastError() != ERROR_FILE_NOT_FOUND;
    if (!Taken(lock.get())) return true;
    ReleaseMutex(lock.get());
    return false;
}
