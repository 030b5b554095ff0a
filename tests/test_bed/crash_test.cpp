// A program that crashes in the test prefix ends at once with the exception as its exit code;
// with Wine's own debugger it would wait for someone to attach, and its test for its time-out.
#include <windows.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string Beside(const char* name) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1) + name;
}

TEST(TestBed, ACrashEndsTheProgramAtOnce) {
    const std::string report = Beside("crash-exception.txt");
    DeleteFileA(report.c_str());
    std::string command = "\"" + Beside("crash.exe") + "\" \"" + report + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    CloseHandle(process.hThread);

    // Generous for a loaded machine, and far below what a waiting debugger would take.
    const DWORD waited = WaitForSingleObject(process.hProcess, 20000);
    if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);

    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the crashed program was still there after 20 s";
    // The exit code is the exception the system raised, whichever it was.
    unsigned raised = 0;
    FILE* file = std::fopen(report.c_str(), "r");
    ASSERT_NE(nullptr, file) << "the crash raised no exception";
    EXPECT_EQ(1, std::fscanf(file, "%x", &raised));
    std::fclose(file);
    EXPECT_EQ(0xC0000000u, raised & 0xC0000000u) << std::hex << raised << " is no error exception";
    EXPECT_EQ(raised, exitCode) << std::hex << raised << " raised, " << exitCode << " the exit code";
}

}  // namespace
