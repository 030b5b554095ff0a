// The patch sequence: eight steps in a fixed order, each with the number its failure shows. The
// run, its rollback and the healing of an interrupted run all read it from here.
#ifndef INSTALLER_PATCH_STEPS_H
#define INSTALLER_PATCH_STEPS_H

#include <windows.h>

enum class StepKind { Stop, Deploy, Start };

struct PatchStep {
    DWORD error;  // what the user and the log are told when this step fails
    StepKind kind;
    const char* service;
    bool hostsModule;  // the service that loads the module: it must not run it while it is put back
};

// Restart is the reverse of the stop order without lunabe, which the patch leaves stopped.
constexpr PatchStep PATCH_STEPS[] = {
    {0x80000001, StepKind::Stop, "w3svc", false},   {0x80000002, StepKind::Stop, "SNMP", false},
    {0x80000003, StepKind::Stop, "lunabe", false},  {0x80000004, StepKind::Stop, "drovek", true},
    {0x80000005, StepKind::Deploy, nullptr, false}, {0x80000006, StepKind::Start, "drovek", true},
    {0x80000007, StepKind::Start, "SNMP", false},   {0x80000008, StepKind::Start, "w3svc", false},
};
constexpr int PATCH_STEP_COUNT = sizeof PATCH_STEPS / sizeof PATCH_STEPS[0];

// The services the run stops, in the order it stops them; each one's state before the run is
// remembered at this index.
constexpr int StoppedServiceCount() {
    int count = 0;
    for (const PatchStep& step : PATCH_STEPS) count += step.kind == StepKind::Stop;
    return count;
}
constexpr int STOPPED_SERVICE_COUNT = StoppedServiceCount();

// The step's verb in the log: "stop", "deploy" or "start".
const char* StepVerb(StepKind kind);

// The number (1 to 8) of the step of this kind for this service, 0 when there is none.
int StepNumber(StepKind kind, const char* service);

#endif
