// Another process that takes a name first and keeps it until this one ends it: the squatter
// fixture, started and awaited from a test.
#ifndef TESTS_SUPPORT_SQUATTER_H
#define TESTS_SUPPORT_SQUATTER_H

#include <windows.h>

#include <string>

#include "../../common/handles.h"

class Squatter {
public:
    // exe: the squatter program (a Windows path); kind: "mutex" (held) or "event"; sddl: the
    // object's security descriptor, its owner among it, or empty for the default.
    Squatter(const std::string& exe, const char* kind, const std::string& name, const std::string& sddl = std::string()) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        UniqueHandle readEnd, writeEnd;
        if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return;
        SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = writeEnd.get();
        std::string command = "\"" + exe + "\" " + kind + " \"" + name + "\"" + (sddl.empty() ? "" : " " + sddl);
        PROCESS_INFORMATION started = {};
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
            return;
        process_.reset(started.hProcess);
        CloseHandle(started.hThread);
        writeEnd.reset();
        // It says "ready" once the name is its own, or ends saying why not.
        char chunk[256];
        DWORD got = 0;
        while (output_.find("ready") == std::string::npos && ReadFile(readEnd.get(), chunk, sizeof chunk, &got, nullptr) && got)
            output_.append(chunk, got);
    }
    ~Squatter() {
        if (!process_) return;
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 10000);
    }
    Squatter(const Squatter&) = delete;
    Squatter& operator=(const Squatter&) = delete;

    bool Ready() const { return output_.find("ready") != std::string::npos; }
    // What it said: "ready", or why it could not take the name.
    const std::string& Said() const { return output_; }

private:
    UniqueHandle process_;
    std::string output_;
};

#endif
