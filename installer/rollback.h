// Undoing a failed unattended run: what the run is about to change is saved before the first
// service stops, and a failure puts back what the run changed, in reverse order, and only that.
// Interactive runs keep the design: a failure there undoes nothing.
#ifndef INSTALLER_ROLLBACK_H
#define INSTALLER_ROLLBACK_H

#include <windows.h>

#include "deploy.h"
#include "key_snapshot.h"
#include "run_log.h"

// The previous module's copy beside it; as long as the module's own name, so it fits its path.
constexpr char MODULE_COPY_NAME[] = "kelvrim.old";
static_assert(sizeof MODULE_COPY_NAME == sizeof MODULE_FILE_NAME, "the copy's name fits the module's path");

constexpr int ROLLBACK_SERVICES_MAX = 4;

// One service the run stops, as it was before the run and what the run did to it.
struct ServiceMemory {
    const char* name = nullptr;
    DWORD stateBefore = 0;  // 0: it could not be queried (no such service)
    bool stopAttempted = false;
    bool started = false;  // by a start step of the run that succeeded
};

struct RollbackPlan {
    ServiceMemory services[ROLLBACK_SERVICES_MAX];  // in the order the run stops them
    int serviceCount = 0;
    bool moduleKnown = false;    // the agent's directory could be read before the run
    bool moduleExisted = false;  // and the module was there: its copy is at copyPath
    bool keepCopy = false;       // the copy could not be put back: it is the only previous module left
    char modulePath[MODULE_PATH_SIZE] = {};
    char copyPath[MODULE_PATH_SIZE] = {};
    KeySnapshot settings;
    bool deployAttempted = false;
};

// Saves the services' states, the module (copied beside it) and the settings key, and logs what
// was saved. False, logged, when something could not be saved: the run must then change nothing.
bool SaveForRollback(RollbackPlan& plan, const char* const services[], int count, RunLog& log);
// The service's memory, or null for one the plan does not know.
ServiceMemory* RememberedService(RollbackPlan& plan, const char* name);
// Puts back what the run changed and logs each action; the last line says whether all of it is
// back ("rolled back") or what is left ("rollback incomplete: ...").
void RollBack(RollbackPlan& plan, RunLog& log);
// A successful run keeps nothing: the module's copy goes.
void DiscardSaved(RollbackPlan& plan);

#endif
