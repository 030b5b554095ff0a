// Taking the run lock, and telling a run's lock from a stranger's.
#include "run_lock.h"

#include <shlwapi.h>

#include "../common/error_text.h"
#include "permissions.h"

namespace {

// Whether Administrators, SYSTEM or this run's own user own the object; `text` says who does:
// "owned by S-1-...".
bool OwnedByAdministrators(HANDLE object, char* text, int size) {
    BYTE descriptor[1024];
    DWORD needed = 0;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed) ||
        !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
        owner = nullptr;
    char sid[96];
    SidText(owner, sid, sizeof sid);
    wnsprintfA(text, size, "owned by %s", sid);
    return IsTrusted(owner);
}

// The name belongs to an object that is no mutex: an event, as a squatter would make, or another.
RunLock OfAnotherKind(char* detail, int size) {
    UniqueHandle event(OpenEventA(READ_CONTROL, FALSE, RUN_LOCK_NAME));
    char owner[128];
    if (!event) {
        lstrcpynA(detail, "an object of another kind", size);
    } else {
        OwnedByAdministrators(event.get(), owner, sizeof owner);
        wnsprintfA(detail, size, "an event, %s", owner);
    }
    return RunLock::Stranger;
}

// The lock is open in `lock`: a stranger's, or a run's to wait for.
RunLock WaitForRunsLock(HANDLE lock, char* detail, int size) {
    char owner[128];
    if (!OwnedByAdministrators(lock, owner, sizeof owner)) {
        wnsprintfA(detail, size, "a mutex %s", owner);
        return RunLock::Stranger;
    }
    const DWORD waited = WaitForSingleObject(lock, RUN_LOCK_WAIT_MS);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return RunLock::Free;
    if (waited == WAIT_TIMEOUT) return RunLock::HeldByRun;
    DescribeError(LastErrorOr(ERROR_INVALID_HANDLE), detail, size);
    return RunLock::Failed;
}

// A name that cannot be had as a mutex: another kind's, or one this run may not open.
RunLock CannotOpen(DWORD error, char* detail, int size) {
    if (error == ERROR_INVALID_HANDLE) return OfAnotherKind(detail, size);
    // Without administrator rights the lock cannot be made at all, whoever holds its name.
    const bool administrator = RunsAsAdministrator();
    if (error == ERROR_ACCESS_DENIED && administrator) {
        lstrcpynA(detail, "a mutex that administrators may not open", size);
        return RunLock::Stranger;
    }
    DescribeError(error, detail, size);
    if (!administrator) StrCatBuffA(detail, ", as this run has no administrator rights", size);
    return RunLock::Failed;
}

}  // namespace

RunLock TakeRunLock(UniqueHandle& lock, char* detail, int detailSize) {
    *detail = '\0';
    ExplicitSecurity security(Secured::Lock);
    if (!security.Get()) return CannotOpen(ERROR_OUTOFMEMORY, detail, detailSize);
    lock.reset(CreateMutexA(security.Get(), FALSE, RUN_LOCK_NAME));
    if (!lock) return CannotOpen(LastErrorOr(ERROR_INVALID_HANDLE), detail, detailSize);
    const RunLock found = WaitForRunsLock(lock.get(), detail, detailSize);
    if (found != RunLock::Free) lock.reset();
    return found;
}
