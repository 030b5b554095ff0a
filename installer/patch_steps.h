// The patch sequence: eight steps in a fixed order. A step's number (what its failure shows) and
// its service are its identity: the run, its journal and the healing of an interrupted run all
// name a step by them, never by its place in the table.
#ifndef INSTALLER_PATCH_STEPS_H
#define INSTALLER_PATCH_STEPS_H

#include <windows.h>

enum class StepKind { Stop, Deploy, Start };

struct PatchStep {
    DWORD error;  // what the user and the log are told when this step fails
    StepKind kind;
    // The service it stops or starts; for the deployment, the service that loads the module, which
    // must not run it while a rollback puts the previous one back.
    const char* service;
};

// Restart is the reverse of the stop order without lunabe, which the patch leaves stopped.
constexpr PatchStep PATCH_STEPS[] = {
    {0x80000001, StepKind::Stop, "w3svc"},    {0x80000002, StepKind::Stop, "SNMP"},
    {0x80000003, StepKind::Stop, "lunabe"},   {0x80000004, StepKind::Stop, "drovek"},
    {0x80000005, StepKind::Deploy, "drovek"}, {0x80000006, StepKind::Start, "drovek"},
    {0x80000007, StepKind::Start, "SNMP"},    {0x80000008, StepKind::Start, "w3svc"},
};
constexpr int PATCH_STEP_COUNT = sizeof PATCH_STEPS / sizeof PATCH_STEPS[0];

// A table of steps, as the run has it, or as a test makes one up.
struct StepTable {
    const PatchStep* steps;
    int count;
};
constexpr StepTable PATCH_TABLE = {PATCH_STEPS, PATCH_STEP_COUNT};

// The step's verb in the log: "stop", "deploy" or "start".
const char* StepVerb(StepKind kind);
// What the step acts on, for the log: its service, or the module's file for the deployment.
const char* StepObject(const PatchStep& step);

#endif
