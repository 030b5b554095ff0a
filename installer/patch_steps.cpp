// Naming a step of the patch sequence.
#include "patch_steps.h"

#include "module_files.h"

const char* StepVerb(StepKind kind) {
    return kind == StepKind::Stop ? "stop" : kind == StepKind::Start ? "start" : "deploy";
}

const char* StepObject(const PatchStep& step) { return step.kind == StepKind::Deploy ? MODULE_FILE_NAME : step.service; }
