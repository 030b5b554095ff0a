// The one application object and the program's entry that runs it.
#include "app.h"

namespace {
CWinApp* currentApp = nullptr;
}

CWinApp::CWinApp() { currentApp = this; }

CWinApp::~CWinApp() {
    if (currentApp == this) currentApp = nullptr;
}

BOOL CWinApp::InitInstance() { return FALSE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return currentApp; }

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return 1;
    app->InitInstance();
    return app->ExitInstance();
}
