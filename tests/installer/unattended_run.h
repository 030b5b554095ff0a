// KOVPatch.exe as deployment tools run it, with switches, exit codes and a log: the runs, the
// log's lines as patterns, and the state of the simulated server, for the black-box tests.
#ifndef TESTS_INSTALLER_UNATTENDED_RUN_H
#define TESTS_INSTALLER_UNATTENDED_RUN_H

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "patch_run.h"
#include "restricted_key.h"

#include <sddl.h>

namespace unattended_run {

using namespace patch_run;

inline const std::string LOG_FILE = "C:\\KovPatchTests\\run.log";
// Where an unattended run keeps what its rollback needs until it has ended.
constexpr char ROLLBACK_KEY[] = "SOFTWARE\\TAVRIX\\NIVRAEnterprise\\KOVPatch";
constexpr char ROLLBACK_VALUE[] = "Rollback";
constexpr char ANOTHER_RUN[] = "Another run of this patch is in progress on this machine.";
constexpr char RUN_LOCK[] = "Global\\KOVPatch-12C954DC-D880-4a30-8354-56807FDF4CAC";

// The run lock as a run makes it: for Administrators and SYSTEM, owned by Administrators.
inline HANDLE MakeRunsLock() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE lock = CreateMutexA(&attributes, FALSE, RUN_LOCK);
    LocalFree(descriptor);
    return lock;
}

enum class Mode { Interactive, Quiet };

inline const char* ModeName(Mode mode) { return mode == Mode::Quiet ? "quiet" : "interactive"; }

// Spellings change from run to run: switches are case-insensitive and begin with / or -.
inline std::string QuietSwitch(int variant) {
    static const char* const spellings[] = {"/quiet", "-Q", "/QUIET", "-quiet", "/q"};
    return spellings[variant % 5];
}
inline std::string LogSwitch(int variant) {
    static const char* const spellings[] = {"/log", "-LOG", "/Log"};
    return spellings[variant % 3];
}

inline std::string LocalNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    wsprintfA(text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
              now.wSecond, now.wMilliseconds);
    return text;
}

// '*' stands for any run of characters; everything else for itself.
inline bool Matches(const char* text, const char* pattern) {
    if (*pattern == '\0') return *text == '\0';
    if (*pattern == '*') return Matches(text, pattern + 1) || (*text != '\0' && Matches(text + 1, pattern));
    return *text == *pattern && Matches(text + 1, pattern + 1);
}

struct LogLine {
    std::string time;  // "YYYY-MM-DD hh:mm:ss.mmm"
    std::string process;
    std::string text;
};

// The log's lines; every one ends with CR LF and begins with its local time and process id.
inline std::vector<LogLine> ParseLog(const std::string& bytes, const std::string& path) {
    std::vector<LogLine> lines;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = bytes.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "a line without CR LF at the end of " << path;
        if (end == std::string::npos) break;
        const std::string line = bytes.substr(start, end - start);
        start = end + 2;
        const size_t close = line.find("] ");
        EXPECT_TRUE(line.size() > 26 && line[23] == ' ' && line[24] == '[' && close != std::string::npos) << line;
        if (close == std::string::npos || line.size() < 26) continue;
        lines.push_back({line.substr(0, 23), line.substr(25, close - 25), line.substr(close + 2)});
    }
    return lines;
}

// Milliseconds from one log time ("YYYY-MM-DD hh:mm:ss.mmm") to a later one of the same day or the next.
inline long MillisecondsBetween(const std::string& from, const std::string& to) {
    auto ms = [](const std::string& time) {
        return ((atol(time.substr(11, 2).c_str()) * 60 + atol(time.substr(14, 2).c_str())) * 60 +
                atol(time.substr(17, 2).c_str())) * 1000L + atol(time.substr(20, 3).c_str());
    };
    long difference = ms(to) - ms(from);
    return difference < 0 ? difference + 24L * 3600 * 1000 : difference;
}

struct Outcome {
    boxes::Run run;
    std::vector<LogLine> log;
};

// Lines of the log, as patterns.
using Lines = std::vector<std::string>;

inline Lines operator+(Lines first, const Lines& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

constexpr const char* STEP_SERVICES[] = {"w3svc", "SNMP", "lunabe", "drovek", nullptr, "drovek", "SNMP", "w3svc"};

inline std::string StepPrefix(int step) {
    char text[64];
    wsprintfA(text, "step 0x8000000%d, ", step);
    return text + std::string(step == 5 ? "deploy kelvrim.dll: " : step < 5 ? "stop " : "start ") +
           (step == 5 ? "" : STEP_SERVICES[step - 1] + std::string(": "));
}

// True once the log holds a whole line whose text (after the time and process) matches the
// pattern; a line still being written does not count.
inline bool Logged(const std::string& log, const char* pattern) {
    for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const size_t text = log.find("] ", start);
        if (text < end && Matches(log.substr(text + 2, end - text - 2).c_str(), pattern)) return true;
    }
    return false;
}

class Unattended : public PatchRun {
protected:
    Lines Started(Mode mode, const std::string& arguments) {
        return {std::string("KOVPatch " KOVPATCH_VERSION_TEXT " started, ") + (mode == Mode::Quiet ? "unattended" : "interactive") +
                "; command line: \"*KOVPatch.exe\" " + arguments};
    }
    Lines ChecksPassed(Mode mode) {
        return Lines{PRODUCT_FOUND, "check version: \"Version\" is 0x02000010, below 0x02000050",
                     "check marker: absent, error 2 (*)",
                     mode == Mode::Quiet ? "consent: given by /quiet" : "consent: answered Yes"} +
               (mode == Mode::Quiet ? Lines{"journal for a rollback: HKLM\\SOFTWARE\\TAVRIX\\NIVRAEnterprise\\KOVPatch; "
                                            "services *; each step saves what undoes it before it runs"}
                                    : Lines{});
    }
    // What an unattended run saves just before the step, where it says so: the deployment's.
    static Lines SavedBefore(int step, Mode mode) {
        return mode == Mode::Quiet && step == 5 ? Lines{"saved for a rollback: module*; settings key: *"} : Lines{};
    }
    Lines StepsSucceeded(int last, Mode mode) {
        Lines lines;
        for (int step = 1; step <= last; ++step) {
            lines = lines + SavedBefore(step, mode);
            if (step < 5) {
                lines.push_back(StepPrefix(step) + "stop request accepted; states seen: *stopped (polls: *); result 0");
            } else if (step == 5) {
                lines.push_back(StepPrefix(step) + "settings key deleted; module " + MODULE_FILE + ": " +
                                std::to_string(built.size()) + " bytes written beside it, then moved over it");
            } else {
                lines.push_back(StepPrefix(step) + "start request accepted; result 0");
            }
        }
        return lines;
    }
    static Lines Ended(const std::string& outcome, DWORD exitCode) {
        return {"outcome: " + outcome + "; exit code " + std::to_string(exitCode)};
    }
    // A run that succeeded or was rolled back whole leaves no copy, no staging file, no rollback
    // folder and no record.
    static void ExpectNothingLeft() {
        for (const char* left : {"kelvrim.old", "kelvrim.tmp"})
            EXPECT_EQ(GetFileAttributesA((AGENT_DIRECTORY + left).c_str()), INVALID_FILE_ATTRIBUTES) << left;
        EXPECT_EQ(GetFileAttributesA(sim::RollbackFolder().c_str()), INVALID_FILE_ATTRIBUTES) << sim::RollbackFolder();
        EXPECT_FALSE(sim::KeyExists(ROLLBACK_KEY)) << "the rollback record is left behind";
    }

    // One run with its log, the run's arguments spelt after variant. The run starts a new log,
    // or appends to what the file holds; the outcome has the lines of this run's process. Under
    // /quiet nothing may show: no box and no window at all.
    Outcome Run(Mode mode, int variant, const boxes::Chooser& choose, std::string* arguments,
                const std::string& logFile = LOG_FILE, bool append = false) {
        if (!append) DeleteFileA(logFile.c_str());
        const std::string earlier = sim::ReadFileBytes(logFile);
        *arguments = (mode == Mode::Quiet ? QuietSwitch(variant) + " " : "") + LogSwitch(variant) + " " + logFile;
        const std::string before = LocalNow();
        Outcome outcome{RunInstaller(choose, *arguments), {}};
        const std::string after = LocalNow();
        const std::string bytes = sim::ReadFileBytes(logFile);
        EXPECT_EQ(bytes.substr(0, earlier.size()), earlier) << "the lines the log held before the run changed";
        for (const LogLine& line : ParseLog(bytes.substr(std::min(earlier.size(), bytes.size())), logFile)) {
            EXPECT_TRUE(before <= line.time && line.time <= after) << line.time << " not within " << before << " - " << after;
            // Runs turned away meanwhile may share the file.
            if (outcome.log.empty() || line.process == outcome.log.front().process) outcome.log.push_back(line);
        }
        if (mode == Mode::Quiet) {
            EXPECT_FALSE(outcome.run.sawWindow) << "a window under " << *arguments;
            EXPECT_TRUE(outcome.run.boxes.empty());
        }
        return outcome;
    }

    // A /quiet /log run that `watch` looks at every few milliseconds, with the log so far; when it
    // answers true the run is ended there by force, as a deployment tool's time limit or a power
    // cut would end it. The outcome has the run's lines; `killed` says whether it was ended.
    Outcome Watch(int variant, const std::function<bool(const std::string& log)>& watch, bool* killed,
                  std::string* arguments, const std::string& logFile = LOG_FILE) {
        DeleteFileA(logFile.c_str());
        *arguments = QuietSwitch(variant) + " " + LogSwitch(variant) + " " + logFile;
        *killed = false;
        Outcome outcome;
        outcome.run = boxes::RunAndAnswer(InstallerCommand(*arguments), CAPTION, boxes::Answer(IDYES), 120000, false,
                                          [&] { return *killed = watch(sim::ReadFileBytes(logFile)); });
        EXPECT_TRUE(outcome.run.finished) << "the run outlived its bound";
        for (const LogLine& line : ParseLog(sim::ReadFileBytes(logFile), logFile)) outcome.log.push_back(line);
        return outcome;
    }

    // A /quiet run ended while it waits for w3svc to stop, at its first step: it leaves its
    // rollback record behind, and w3svc stopped.
    void KillAtTheFirstStep(int variant) {
        sim::SetBehaviour("w3svc", "OnStop", "after-polls");
        bool killed = false;
        std::string arguments;
        Watch(variant, [](const std::string&) { return stand_in::GetString("w3svc", "State") == "stop-pending"; },
              &killed, &arguments);
        ASSERT_TRUE(killed);
        ASSERT_TRUE(sim::WaitForState("w3svc", STOPPED, START_WAIT_MS));
    }

    // A /quiet run ended right after its deployment, while the host's start is held up: it leaves
    // its journal behind, and the new module in place.
    void KillRightAfterTheDeployment(int variant) {
        sim::SetBehaviour("drovek", "OnStart", "slow-once");
        bool killed = false;
        std::string arguments;
        Watch(variant,
              [](const std::string& log) { return Logged(log, "step 0x80000005, deploy kelvrim.dll: *moved over it"); },
              &killed, &arguments);
        ASSERT_TRUE(killed);
    }

    static void ExpectLog(const Outcome& outcome, const Lines& expected) {
        std::string logged;
        for (const LogLine& line : outcome.log) logged += "  " + line.text + "\n";
        ASSERT_EQ(outcome.log.size(), expected.size()) << logged;
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_TRUE(Matches(outcome.log[i].text.c_str(), expected[i].c_str()))
                << "line " << i + 1 << ":\n  " << outcome.log[i].text << "\nexpected\n  " << expected[i];
    }

    const std::string PRODUCT_FOUND =
        "check product: uninstall entry \"KovPatchTests NIVRA 2.0\" has DisplayName \"TAVRIX Corvantis NIVRA 2.0\"";
};

inline void SetVersion(DWORD version) {
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, sim::PRODUCT_KEY, "Version", REG_DWORD, &version, 4), 0);
}

// Every value (name, type, data) and subkey of a key, one line each, in a fixed order.
inline std::string KeyContents(HKEY root, const std::string& path) {
    RegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return "(no key)";
    std::vector<std::string> lines;
    for (DWORD i = 0;; ++i) {
        char name[256];
        BYTE data[1024];
        DWORD nameLength = sizeof name, size = sizeof data, type = 0;
        if (RegEnumValueA(key.get(), i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        std::string line = "value " + std::string(name) + " type " + std::to_string(type) + ":";
        for (DWORD b = 0; b < size; ++b) line += " " + std::to_string(data[b]);
        lines.push_back(line);
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        lines.push_back("key " + std::string(name) + " {\n" + KeyContents(root, path + "\\" + name) + "}");
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

}  // namespace unattended_run

#endif
