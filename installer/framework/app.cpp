#include "app.h"

namespace {
CWinApp* currentApp = nullptr;
}

CWinApp::CWinApp(const char* appName) : m_pszAppName(appName) { currentApp = this; }

CWinApp::~CWinApp() {
    if (currentApp == this) currentApp = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return currentApp; }

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return 1;
    app->m_hInstance = instance;
    return app->InitInstance() ? app->Run() : app->ExitInstance();
}
