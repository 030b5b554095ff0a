// The operating-system check on the versions the platform itself reports for a program.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>

namespace {

constexpr char APP_KEY[] = "Software\\Wine\\AppDefaults\\os_check.exe";

// Runs os_check.exe (beside this test) with the given Windows version; its decision, or -1.
int DecisionUnder(const char* version) {
    HKEY key;
    RegCreateKeyA(HKEY_CURRENT_USER, APP_KEY, &key);
    RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), DWORD(strlen(version) + 1));
    RegCloseKey(key);

    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string command = path;
    command = command.substr(0, command.find_last_of('\\') + 1) + "os_check.exe";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    int decision = -1;
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            decision = int(code);
        } else {
            TerminateProcess(process.hProcess, 99);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, APP_KEY);
    return decision;
}

}  // namespace

TEST(OperatingSystemUnderWine, Windows95IsRefusedAndLaterSystemsAccepted) {
    EXPECT_EQ(0, DecisionUnder("win95"));
    EXPECT_EQ(1, DecisionUnder("win98"));
    EXPECT_EQ(1, DecisionUnder("winxp"));
    EXPECT_EQ(1, DecisionUnder("win10"));
}
