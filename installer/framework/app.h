// The application object and the program's entry that runs it: all the installer needs of a
// class library. There is exactly one application object; its constructor makes it the one.
#ifndef INSTALLER_FRAMEWORK_APP_H
#define INSTALLER_FRAMEWORK_APP_H

#include <windows.h>

class CWinApp {
public:
    explicit CWinApp(const char* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The start-up hook. False ends the process at once, without a message loop.
    virtual BOOL InitInstance();
    // The message loop, run only when InitInstance says true; its result is the exit code.
    virtual int Run();
    // The exit code when InitInstance says false.
    virtual int ExitInstance();

    HINSTANCE m_hInstance = nullptr;
    const char* m_pszAppName;
};

// The one application object, or null before it is constructed.
CWinApp* AfxGetApp();

#endif
