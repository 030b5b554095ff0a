// The application object and the program's entry that runs it: all the installer needs of a
// class library. There is exactly one application object; its constructor makes it the one.
// There is no message loop: the installer's whole run happens inside InitInstance.
#ifndef INSTALLER_FRAMEWORK_APP_H
#define INSTALLER_FRAMEWORK_APP_H

#include <windows.h>

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The start-up hook, run once from the program's entry; the process ends when it returns.
    virtual BOOL InitInstance();
    // The process's exit code.
    virtual int ExitInstance();
};

// The one application object, or null before it is constructed.
CWinApp* AfxGetApp();

#endif
