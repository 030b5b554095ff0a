// The installer's application: checks, consent and the patch sequence, all in InitInstance.
#ifndef INSTALLER_PATCH_APP_H
#define INSTALLER_PATCH_APP_H

#include "framework/app.h"

constexpr char PATCH_CAPTION[] = "NIVRA 2.0 KOV Patch";

class CPatchApp : public CWinApp {
public:
    CPatchApp() = default;
    // Always false: the run ends with its one box.
    BOOL InitInstance() override;
    // The eight steps in order; the first failure shows its number and ends the run.
    void RunPatch();
};

#endif
