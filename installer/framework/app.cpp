#include "app.h"

namespace {
CWinApp* currentApp = nullptr;
}

CWinApp::CWinApp(const char* appName) : m_pszAppName(appName) { currentApp = this; }

CWinApp::~CWinApp() {
    if (currentApp == this) currentApp = nullptr;
}

BOOL CWinApp::InitInstance() { return FALSE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return currentApp; }

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return 1;
    app->m_hInstance = instance;
    app->InitInstance();
    return app->ExitInstance();
}
