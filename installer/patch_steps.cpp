// Finding a step of the patch sequence by kind and service, and naming its kind.
#include "patch_steps.h"

#include <string.h>

const char* StepVerb(StepKind kind) {
    return kind == StepKind::Stop ? "stop" : kind == StepKind::Start ? "start" : "deploy";
}

int StepNumber(StepKind kind, const char* service) {
    for (int i = 0; i < PATCH_STEP_COUNT; ++i) {
        const PatchStep& step = PATCH_STEPS[i];
        if (step.kind == kind && (step.service == service || (step.service && service && strcmp(step.service, service) == 0)))
            return i + 1;
    }
    return 0;
}
