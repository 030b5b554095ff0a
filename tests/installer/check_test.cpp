// KOVPatch.exe /check as a configuration manager, a compliance scan or a monitoring check runs
// it: one line on the standard output, an exit code, the same line in the log, and nothing on the
// server changed, whatever its state.
#include "registry_helpers.h"
#include "unattended_run.h"

namespace {

using namespace unattended_run;

struct CheckRun {
    DWORD exitCode = 0;
    std::string line;  // the standard output, without its line end
    bool quiet = true;  // no box and no window
};

// Everything of the server a run could change, and what each service has been asked.
std::string ServerContents() {
    std::string text;
    for (const char* key : {sim::SETTINGS_KEY, sim::AGENT_KEY, sim::PRODUCT_KEY, sim::UNINSTALL_ENTRY, ROLLBACK_KEY})
        text += std::string(key) + ":\n" + KeyContents(HKEY_LOCAL_MACHINE, key);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((AGENT_DIRECTORY + "*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        const std::string bytes = sim::ReadFileBytes(AGENT_DIRECTORY + found.cFileName);
        text += std::string("file ") + found.cFileName + " " + std::to_string(bytes.size()) + " " +
                std::to_string(stand_in::HashBytes(bytes.data(), bytes.size())) + "\n";
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    for (const char* service : sim::SERVICES)
        text += std::string(service) + " state " + std::to_string(sim::ServiceState(service)) + " process " +
                std::to_string(stand_in::GetDword(service, "ProcessId")) + " controls " +
                std::to_string(stand_in::GetDword(service, "Controls")) + "\n";
    return text;
}

class Check : public Unattended {
protected:
    CheckRun RunCheck(const std::string& arguments = "/check") {
        const boxes::Run run = boxes::RunAndAnswer(InstallerCommand(arguments), CAPTION, boxes::Answer(IDNO), 60000, true);
        EXPECT_TRUE(run.finished) << arguments;
        CheckRun check;
        check.exitCode = run.exitCode;
        check.quiet = !run.sawWindow && run.boxes.empty();
        check.line = run.output;
        const size_t end = check.line.find("\r\n");
        EXPECT_TRUE(end == std::string::npos || end + 2 == check.line.size()) << "more than one line: " << run.output;
        if (end != std::string::npos) check.line.resize(end);
        return check;
    }

    // Stops lunabe, so that a start request to it would show as well as a stop request to the others.
    void StopLunabe() {
        ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        ServiceHandle lunabe(OpenServiceA(manager.get(), "lunabe", SERVICE_STOP));
        SERVICE_STATUS status;
        ASSERT_TRUE(ControlService(lunabe.get(), SERVICE_CONTROL_STOP, &status));
        ASSERT_TRUE(sim::WaitForState("lunabe", STOPPED, START_WAIT_MS));
    }
};

// The first box a patch run shows on a server, as /check names it.
std::string StateOfFirstBox(const std::vector<std::string>& texts) {
    if (texts.empty()) return "(no box)";
    if (texts[0] == NOT_INSTALLED) return "not-installed";
    if (texts[0] == UP_TO_DATE) return "patched";
    if (texts[0] == CONSENT) return "needs-patch";
    if (texts[0] == ANOTHER_RUN) return "in-progress";
    return texts[0];
}

TEST_F(Check, EachStateHasItsLineAndExitCodeAndNothingChanges) {
    const struct {
        const char* what;
        std::function<void()> arrange;
        DWORD exitCode;
        std::string line;
        bool askAPatchRun;  // then a patch run's first box must say the same; it is answered No
    } cases[] = {
        {"needs the patch", [] {}, 1, "state=needs-patch version=0x02000010 marker=absent module=other", true},
        {"not installed", [] { sim::DeleteKey(sim::UNINSTALL_ENTRY); }, 1642,
         "state=not-installed version=0x02000010 marker=absent module=other", true},
        {"current by version", [] { SetVersion(0x02000050); }, 0,
         "state=patched version=0x02000050 marker=absent module=other", true},
        {"current by the marker", [] { SetDword(sim::SETTINGS_KEY, sim::MARKER_VALUE, 1); }, 0,
         "state=patched version=0x02000010 marker=present module=other", true},
        {"patched by this patch",
         [this] {
             std::string arguments;
             EXPECT_EQ(Run(Mode::Quiet, 3, boxes::Answer(IDYES), &arguments).run.exitCode, 0u);
         },
         0, "state=patched version=0x02000010 marker=present module=carried", true},
        {"no module beside the agent",
         [] { SetText(sim::AGENT_KEY, "PathName", "C:\\KovPatchTests\\Elsewhere\\drovek.exe"); }, 1,
         "state=needs-patch version=0x02000010 marker=absent module=missing", true},
        {"no agent path and no version",
         [] {
             MissingPathName();
             RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, sim::PRODUCT_KEY, "Version");
         },
         1, "state=needs-patch version=none marker=absent module=unknown", true},
        {"an interrupted run", [this] { KillAtTheFirstStep(7); }, 1604,
         "state=interrupted version=0x02000010 marker=absent module=other", false},
    };
    int variant = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (variant++ > 0) SetUp();
        StopLunabe();
        c.arrange();
        const std::string before = ServerContents();
        const CheckRun check = RunCheck(variant % 2 ? "/check" : "-CHECK /quiet");
        EXPECT_EQ(check.exitCode, c.exitCode);
        EXPECT_EQ(check.line, c.line);
        EXPECT_TRUE(check.quiet) << "a box or a window";
        EXPECT_EQ(ServerContents(), before) << "the check changed the server";
        if (!c.askAPatchRun) continue;
        const boxes::Run run = RunInstaller(boxes::Answer(IDNO));
        EXPECT_EQ(StateOfFirstBox(Texts(run)), check.line.substr(6, check.line.find(' ') - 6))
            << "the check and a patch run disagree";
    }
}

// While another run holds the lock, the check says so, after waiting a second for it, and never
// opens the module, which that run may be replacing.
TEST_F(Check, ARunInProgressIsNamedAndThePatchRunAgrees) {
    CheckRun check;
    std::vector<std::string> second;
    std::string arguments;
    std::string before;
    std::vector<LogLine> checkLog;
    const std::string checkLogFile = "C:\\KovPatchTests\\check.log";
    Run(Mode::Interactive, 0, [&](const boxes::Box& box) {
        if (box.text == CONSENT && before.empty()) {
            before = ServerContents();
            DeleteFileA(checkLogFile.c_str());
            check = RunCheck("/check /log " + checkLogFile);
            checkLog = ParseLog(sim::ReadFileBytes(checkLogFile), checkLogFile);
            EXPECT_EQ(ServerContents(), before);
            second = Texts(RunInstaller(boxes::Answer(IDNO)));
        }
        return boxes::Answer(IDNO)(box);
    }, &arguments);
    EXPECT_EQ(check.exitCode, 1618u);
    EXPECT_EQ(check.line, "state=in-progress version=0x02000010 marker=absent module=unknown");
    EXPECT_EQ(StateOfFirstBox(second), "in-progress");
    // The wait, as the check's own log times it: from its start to its answer.
    ASSERT_EQ(checkLog.size(), 3u);
    EXPECT_GE(MillisecondsBetween(checkLog[0].time, checkLog[1].time), 950) << "the check did not wait for the lock";
}

TEST_F(Check, TheLogHoldsTheSameLine) {
    DeleteFileA(LOG_FILE.c_str());
    const CheckRun check = RunCheck("/check /log " + LOG_FILE);
    EXPECT_EQ(check.exitCode, 1u);
    Outcome outcome;
    outcome.log = ParseLog(sim::ReadFileBytes(LOG_FILE), LOG_FILE);
    ExpectLog(outcome, {"KOVPatch " KOVPATCH_VERSION_TEXT " started, check; command line: \"*KOVPatch.exe\" /check /log " +
                            LOG_FILE,
                        PRODUCT_FOUND, "check version: \"Version\" is 0x02000010, below 0x02000050",
                        "check marker: absent, error 2 (*)", check.line, "outcome: needs-patch; exit code 1"});
}

TEST_F(Check, ACheckWithAnythingButQuietAndLogIsABadCommandLine) {
    const std::string before = ServerContents();
    for (const char* arguments : {"/check /?", "/check /help", "/check now", "/check /log", "/check /bogus",
                                  "/quiet /check /log a.log /log b.log"}) {
        SCOPED_TRACE(arguments);
        const CheckRun check = RunCheck(arguments);
        EXPECT_EQ(check.exitCode, 1639u);
        EXPECT_TRUE(check.quiet);
        EXPECT_EQ(check.line, "");
    }
    EXPECT_EQ(ServerContents(), before);
}

}  // namespace
