#include "patch_app.h"

#include "deploy.h"
#include "probes.h"
#include "services.h"

namespace {

enum class StepKind { Stop, Deploy, Start };

struct PatchStep {
    StepKind kind;
    const char* service;
};

// Restart is the reverse of the stop order without lunabe, which the patch leaves stopped.
constexpr PatchStep PATCH_STEPS[] = {
    {StepKind::Stop, "w3svc"},   {StepKind::Stop, "SNMP"},  {StepKind::Stop, "lunabe"},
    {StepKind::Stop, "drovek"},  {StepKind::Deploy, nullptr}, {StepKind::Start, "drovek"},
    {StepKind::Start, "SNMP"},   {StepKind::Start, "w3svc"},
};
constexpr DWORD FIRST_STEP_ERROR = 0x80000001;

constexpr char TEXT_NOT_INSTALLED[] = "Detects no installed NIVRA 2.0!";
constexpr char TEXT_UP_TO_DATE[] = "The memory module is up-to-date!";
constexpr char TEXT_CONSENT[] =
    "This patch will stop IIS server and SNMP service temporarily.\nDo you want to continue?";
constexpr char TEXT_PATCH_OK[] = "Patch OK!";
constexpr char TEXT_FAILED_FORMAT[] = "Fail to patch! (Error : 0x%08X)";

int ShowBox(const char* text, UINT buttons) { return MessageBoxA(nullptr, text, PATCH_CAPTION, buttons); }

bool RunStep(const PatchStep& step) {
    switch (step.kind) {
    case StepKind::Stop:
        return StopServiceAndWait(step.service) == SERVICE_RESULT_OK;
    case StepKind::Deploy:
        return DeployModule();
    case StepKind::Start:
        return StartServiceByName(step.service) == SERVICE_RESULT_OK;
    }
    return false;
}

}  // namespace

CPatchApp theApp;

BOOL CPatchApp::InitInstance() {
    if (!IsProductInstalled()) {
        ShowBox(TEXT_NOT_INSTALLED, MB_OK);
        return FALSE;
    }
    if (IsVersionAtLeast(CURRENT_MODULE_VERSION) || IsPatchMarkerPresent()) {
        ShowBox(TEXT_UP_TO_DATE, MB_OK);
        return FALSE;
    }
    if (ShowBox(TEXT_CONSENT, MB_YESNO) == IDYES) RunPatch();
    return FALSE;
}

void CPatchApp::RunPatch() {
    for (DWORD index = 0; index < ARRAYSIZE(PATCH_STEPS); ++index) {
        if (!RunStep(PATCH_STEPS[index])) {
            char text[64];
            wsprintfA(text, TEXT_FAILED_FORMAT, FIRST_STEP_ERROR + index);
            ShowBox(text, MB_OK);
            return;
        }
    }
    ShowBox(TEXT_PATCH_OK, MB_OK);
    // Recorded only once the user has seen the outcome; a failure here is not reported.
    WritePatchMarker();
}
