// KOVPatch.exe as deployment tools run it: switches, exit codes and the log, each outcome in both
// modes where it applies, on the simulated installation with the real service manager.
#include "registry_helpers.h"
#include "restricted_key.h"
#include "unattended_run.h"

namespace {

using namespace unattended_run;

TEST_F(Unattended, OutcomesBeforeAnyChange) {
    const struct {
        const char* name;
        void (*arrange)();
        bool interactiveOnly;
        DWORD exitCode;
        std::vector<std::string> boxes;
        Lines checks;  // the log's lines after the first, the outcome's included
    } cases[] = {
        {"not installed",
         [] { sim::DeleteKey(sim::UNINSTALL_ENTRY); },
         false, 1642, {NOT_INSTALLED},
         Lines{"check product: none of the * uninstall entries has a DisplayName containing \"Corvantis\""} +
             Ended("NIVRA 2.0 is not installed", 1642)},
        {"up to date by version", [] { SetVersion(0x02000050); }, false, 0, {UP_TO_DATE},
         Lines{PRODUCT_FOUND, "check version: \"Version\" is 0x02000050, at least 0x02000050"} +
             Ended("already up to date by version", 0)},
        {"up to date by marker",
         [] {
             SetVersion(0x0200004F);
             const DWORD one = 1;
             RegSetKeyValueA(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, sim::MARKER_VALUE, REG_DWORD, &one, 4);
         },
         false, 0, {UP_TO_DATE},
         Lines{PRODUCT_FOUND, "check version: \"Version\" is 0x0200004F, below 0x02000050", "check marker: present"} +
             Ended("already up to date by the patch marker", 0)},
        {"declined", [] {}, true, 1602, {CONSENT},
         Lines{PRODUCT_FOUND, "check version: \"Version\" is 0x02000010, below 0x02000050",
               "check marker: absent, error 2 (*)", "consent: answered No"} +
             Ended("declined", 1602)},
    };
    int variant = 0;
    for (const auto& c : cases) {
        for (Mode mode : {Mode::Interactive, Mode::Quiet}) {
            if (mode == Mode::Quiet && c.interactiveOnly) continue;
            SCOPED_TRACE(std::string(c.name) + ", " + ModeName(mode));
            if (variant > 0) SetUp();
            c.arrange();
            std::string arguments;
            const Outcome outcome = Run(mode, variant++, boxes::Answer(IDNO), &arguments);
            EXPECT_EQ(outcome.run.exitCode, c.exitCode);
            if (mode == Mode::Interactive) {
                EXPECT_EQ(Texts(outcome.run), c.boxes);
            }
            ExpectLog(outcome, Started(mode, arguments) + c.checks);
            ExpectUntouched();
        }
    }
}

// What the log says of each failing step, as StepFailures() makes it fail.
std::string FailedStep(int step) {
    static const char* const failures[] = {
        "stop request accepted; states seen: stop-pending*, running (polls: *); result 205",
        "stop request accepted; states seen: stop-pending*, running (polls: *); result 205",
        "the service cannot be opened, error 1060 (*); result 204",
        "stop request accepted; states seen: stop-pending*, running (polls: *); result 205",
        "settings key deleted; the agent's \"PathName\" cannot be read, error 2 (*)",
        "start request failed, error * (*); result 203",
        "start request failed, error * (*); result 203",
        "start request failed, error * (*); result 203",
    };
    return StepPrefix(step) + failures[step - 1];
}

// Interactive, as designed: the failure is shown and nothing is undone.
TEST_F(Unattended, AFailingStepEndsTheRunWithItsNumberInTheLogAnd1603) {
    int variant = 0;
    for (const StepFailure& c : StepFailures()) {
        SCOPED_TRACE("failing step " + std::to_string(c.step));
        if (variant > 0) SetUp();
        c.arrange();
        std::string arguments;
        const Outcome outcome = Run(Mode::Interactive, variant++, boxes::Answer(IDYES), &arguments);
        EXPECT_EQ(outcome.run.exitCode, 1603u);
        EXPECT_EQ(Texts(outcome.run), (std::vector<std::string>{CONSENT, Failure(c.step)}));
        ExpectLog(outcome, Started(Mode::Interactive, arguments) + ChecksPassed(Mode::Interactive) +
                               StepsSucceeded(c.step - 1, Mode::Interactive) + Lines{FailedStep(c.step)} +
                               Ended(Failure(c.step), 1603));
        ExpectStates(c.servicesAfter);
        EXPECT_FALSE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));
        // The old limits go with the settings key at step 5, whether or not the new module wrote its own.
        EXPECT_EQ(Setting("PhyMemUsageWH") == 80u, c.step < 5);
        EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == (c.step <= 5 ? shipped : built)) << "the agent's module";
    }
}


// Unattended: a failure at any step puts back what the run changed, and only that, and the log
// lists each undo action and ends with what it came to.
TEST_F(Unattended, AFailureUndoesWhatTheRunChangedWhenUnattended) {
    const char* const stop = "stop request accepted; states seen: *stopped (polls: *); result 0; stopped now";
    const char* const start = "start request accepted; result 0; running now";
    auto undo = [](const char* action, const char* service, const char* why, const char* detail) {
        return std::string("undo: ") + action + " " + service + " (" + why + "): " + detail;
    };
    auto started = [&](std::initializer_list<const char*> services) {
        Lines lines;
        for (const char* service : services) lines.push_back(undo("start", service, "it ran before the run", start));
        return lines;
    };
    const Lines moduleAndSettings = {"undo: module " + MODULE_FILE + ": the previous file put back",
                                     "undo: settings key: put back with its * values and 2 subkeys"};
    const Lines hostStopped = {undo("stop", "drovek", "it holds the new module", stop)};
    const struct {
        int step;
        Lines undone;
        const char* startsOnce;  // the service whose start fails, once: the rollback starts it again
    } cases[] = {
        {1, {}, nullptr},
        {2, started({"w3svc"}), nullptr},
        {3, started({"SNMP", "w3svc"}), nullptr},
        {4, started({"lunabe", "SNMP", "w3svc"}), nullptr},
        {5, Lines{"undo: module: its path was not known before the run, so it was not changed",
                  "undo: settings key: put back with its * values and 2 subkeys"} +
                started({"drovek", "lunabe", "SNMP", "w3svc"}),
         nullptr},
        {6, moduleAndSettings + started({"drovek", "lunabe", "SNMP", "w3svc"}), "drovek"},
        {7, hostStopped + moduleAndSettings + started({"drovek", "lunabe", "SNMP", "w3svc"}), "SNMP"},
        {8, hostStopped + moduleAndSettings + started({"drovek", "lunabe", "w3svc"}), "w3svc"},
    };
    const std::vector<StepFailure> failures = StepFailures();
    int variant = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("failing step " + std::to_string(c.step));
        if (variant > 0) SetUp();
        // Values of every kind and subkeys, beside the old limits.
        const BYTE binary[] = {0, 1, 2, 255};
        const char multi[] = "one\0two\0";
        const char last[] = "2026-12-01";
        const std::string history = std::string(sim::SETTINGS_KEY) + "\\History";
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, "Binary", REG_BINARY, binary,
                                                 sizeof binary));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetKeyValueA(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, "Multi", REG_MULTI_SZ, multi, sizeof multi));
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, history.c_str(), "Last", REG_SZ, last, sizeof last));
        RegKey empty;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, (history + "\\Empty").c_str(), 0, nullptr, 0,
                                                 KEY_READ, nullptr, empty.put(), nullptr));
        failures[c.step - 1].arrange();
        if (c.startsOnce) sim::SetBehaviour(c.startsOnce, "OnStart", "fail-once");
        const std::string settingsBefore = KeyContents(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY);
        ServiceStates before;
        for (const char* service : {"w3svc", "SNMP", "lunabe", "drovek"}) before.push_back({service, sim::ServiceState(service)});

        std::string arguments;
        const Outcome outcome = Run(Mode::Quiet, variant++, boxes::Answer(IDYES), &arguments);
        EXPECT_EQ(outcome.run.exitCode, 1603u);
        ExpectLog(outcome, Started(Mode::Quiet, arguments) + ChecksPassed(Mode::Quiet) +
                               StepsSucceeded(c.step - 1, Mode::Quiet) + SavedBefore(c.step, Mode::Quiet) +
                               Lines{FailedStep(c.step)} + Ended(Failure(c.step), 1603) + c.undone +
                               Lines{"rolled back"});
        ExpectStates(before);
        EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == shipped) << "the module is not the one from before the run";
        EXPECT_EQ(settingsBefore, KeyContents(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY));
        ExpectNothingLeft();
    }
}

// What a rollback would need cannot be saved: the run changes nothing at all.
TEST_F(Unattended, ARollbackThatCannotBePreparedStopsTheRunBeforeAnyChange) {
    const std::string copyPath = sim::RollbackFolder() + "kelvrim.old";
    const struct {
        const char* what;
        std::function<std::unique_ptr<RestrictedKey>()> arrange;  // what it returns is undone after the run
        const char* logged;
    } cases[] = {
        {"the module cannot be copied",
         [&] {
             CreateDirectoryA(sim::RollbackFolder().c_str(), nullptr);
             CreateDirectoryA(copyPath.c_str(), nullptr);  // where the copy would go
             return std::unique_ptr<RestrictedKey>();
         },
         "save for a rollback: module *kelvrim.dll cannot be copied to *kelvrim.old: *kelvrim.old is in the way and "
         "cannot be removed, error * (*)"},
        {"the settings key cannot be read",
         [] { return std::unique_ptr<RestrictedKey>(new RestrictedKey(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, 0)); },
         "save for a rollback: the settings key cannot be read, error 5 (*)"},
        {"the record cannot be written",
         [] {
             RegKey made;
             RegCreateKeyExA(HKEY_LOCAL_MACHINE, ROLLBACK_KEY, 0, nullptr, 0, KEY_READ, nullptr, made.put(), nullptr);
             return std::unique_ptr<RestrictedKey>(new RestrictedKey(HKEY_LOCAL_MACHINE, ROLLBACK_KEY, KEY_READ));
         },
         "save for a rollback: the record cannot be written to HKLM\\SOFTWARE\\TAVRIX\\NIVRAEnterprise\\KOVPatch, "
         "error 5 (*)"},
    };
    int variant = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (variant > 0) SetUp();
        std::unique_ptr<RestrictedKey> locked = c.arrange();
        ASSERT_TRUE(locked == nullptr || (locked->Restricted() && locked->Enforced()));
        std::string arguments;
        const Outcome outcome = Run(Mode::Quiet, variant++, boxes::Answer(IDYES), &arguments);
        locked.reset();
        RemoveDirectoryA(copyPath.c_str());
        EXPECT_EQ(outcome.run.exitCode, 1603u);
        Lines checks = ChecksPassed(Mode::Quiet);
        checks.pop_back();                             // no save line: the save failed
        checks[2] = "check marker: absent, error * (*)";  // a key no one may read has no marker to read either
        ExpectLog(outcome, Started(Mode::Quiet, arguments) + checks + Lines{c.logged} +
                               Ended("nothing changed, as a rollback could not be prepared", 1603));
        ExpectUntouched();
        EXPECT_EQ(GetFileAttributesA(copyPath.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_FALSE(sim::ValueExists(ROLLBACK_KEY, ROLLBACK_VALUE));
    }
}

// A service that did not run before the run, and that the run started, is stopped again; the
// rollback counts that done only when the service has stopped.
TEST_F(Unattended, ARollbackStopsAServiceTheRunStartedThatHadNotRun) {
    const struct {
        const char* onStop;
        const char* undone;
        const char* verdict;
        DWORD snmpAfter;
    } cases[] = {
        {"at-once", "stop request accepted; *; result 0; stopped now", "rolled back", STOPPED},
        {"back-to-running", "stop request accepted; *; result 205; running now", "rollback incomplete: SNMP is running",
         RUNNING},
    };
    int variant = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.onStop);
        if (variant > 0) SetUp();
        {
            ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
            ServiceHandle snmp(OpenServiceA(manager.get(), "SNMP", SERVICE_STOP));
            SERVICE_STATUS status;
            ASSERT_TRUE(ControlService(snmp.get(), SERVICE_CONTROL_STOP, &status));
        }
        ASSERT_TRUE(sim::WaitForState("SNMP", STOPPED, START_WAIT_MS));
        sim::SetBehaviour("SNMP", "OnStop", c.onStop);
        sim::SetBehaviour("w3svc", "OnStart", "fail-once");  // step 8 fails; SNMP was started at step 7
        std::string arguments;
        const Outcome outcome = Run(Mode::Quiet, variant++, boxes::Answer(IDYES), &arguments);
        EXPECT_EQ(outcome.run.exitCode, 1603u);
        ASSERT_GE(outcome.log.size(), 5u);
        // The start of SNMP is undone where the journal has it: before the deployment's undo.
        const std::string undone = std::string("undo: stop SNMP (it did not run before the run): ") + c.undone;
        EXPECT_TRUE(std::any_of(outcome.log.begin(), outcome.log.end(), [&](const LogLine& line) {
            return Matches(line.text.c_str(), undone.c_str());
        })) << "no line " << undone;
        EXPECT_EQ(outcome.log.back().text, c.verdict);
        ExpectStates({{"w3svc", RUNNING}, {"SNMP", c.snmpAfter}, {"lunabe", RUNNING}, {"drovek", RUNNING}});
    }
}

// The module is judged by what is there: a folder that does not exist holds no module, and a
// module the deployment could not replace is still the previous one. Both read "rolled back".
TEST_F(Unattended, ARollbackJudgesTheModuleByWhatIsThere) {
    const std::string missing = "C:\\KovPatchTests\\Missing\\";
    const struct {
        const char* what;
        std::string module;  // the module's path the run works out
        const char* deployed;
        const char* undone;
    } cases[] = {
        {"an agent directory that does not exist", missing + "kelvrim.dll",
         "writing the new module beside it failed: kelvrim.tmp cannot be made, error 3 (*); the old one is left as it was",
         "there was none before the run, and there is none now"},
        {"a module in use", MODULE_FILE, "* bytes written beside it, moving them over it failed, error * (*); "
                                         "tried again * times over * ms, while another program held a file open; "
                                         "the old one is left as it was",
         "it is the previous one"},
    };
    int variant = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (variant > 0) SetUp();
        UniqueFile held;
        if (c.module == MODULE_FILE) {
            // Others may read it, as a loaded library may be, but no one may replace it.
            held.reset(CreateFileA(MODULE_FILE.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held);
        } else {
            ASSERT_TRUE(SetText(sim::AGENT_KEY, "PathName", missing + "drovek.exe"));
        }
        const std::string settingsBefore = KeyContents(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY);
        std::string arguments;
        const Outcome outcome = Run(Mode::Quiet, variant++, boxes::Answer(IDYES), &arguments);
        held.reset();
        EXPECT_EQ(outcome.run.exitCode, 1603u);
        const std::string step = StepPrefix(5) + "settings key deleted; module " + c.module + ": " + c.deployed;
        const std::string undone = "undo: module " + c.module + ": " + c.undone;
        for (const std::string& line : {step, undone})
            EXPECT_TRUE(std::any_of(outcome.log.begin(), outcome.log.end(), [&](const LogLine& logged) {
                return Matches(logged.text.c_str(), line.c_str());
            })) << "no line " << line;
        ASSERT_FALSE(outcome.log.empty());
        EXPECT_EQ(outcome.log.back().text, "rolled back");
        ExpectUntouched();
        EXPECT_EQ(KeyContents(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY), settingsBefore);
    }
}

// An undo action that fails is named in the log's last line; the rest is still put back, and the
// record and the copy stay for the next run to finish the rollback.
TEST_F(Unattended, ARollbackThatCannotFinishSaysWhatIsLeft) {
    sim::SetBehaviour("w3svc", "OnStart", "fail");  // at step 8, and again when the rollback starts it
    std::string arguments;
    const Outcome outcome = Run(Mode::Quiet, 0, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(outcome.run.exitCode, 1603u);
    ASSERT_FALSE(outcome.log.empty());
    EXPECT_TRUE(Matches(outcome.log[outcome.log.size() - 2].text.c_str(),
                        "undo: start w3svc (it ran before the run): start request failed, error * (*); result 203; "
                        "stopped now"))
        << outcome.log[outcome.log.size() - 2].text;
    EXPECT_EQ(outcome.log.back().text, "rollback incomplete: w3svc is not running");
    ExpectStates({{"w3svc", STOPPED}, {"SNMP", RUNNING}, {"lunabe", RUNNING}, {"drovek", RUNNING}});
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == shipped);
    EXPECT_EQ(Setting("PhyMemUsageWH"), 80u);
    EXPECT_TRUE(sim::ValueExists(ROLLBACK_KEY, ROLLBACK_VALUE));
    EXPECT_TRUE(sim::ReadFileBytes(sim::RollbackFolder() + "kelvrim.old") == shipped);
}

TEST_F(Unattended, ASuccessfulRunPatchesAndASecondOneFindsTheMarker) {
    int variant = 0;
    for (Mode mode : {Mode::Interactive, Mode::Quiet}) {
        SCOPED_TRACE(ModeName(mode));
        if (variant > 0) SetUp();
        bool markerAtOk = true;
        std::string arguments;
        const Outcome first = Run(mode, variant++, [&](const boxes::Box& box) {
            if (box.text == PATCH_OK) markerAtOk = sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE);
            return boxes::Answer(IDYES)(box);
        }, &arguments);
        EXPECT_EQ(first.run.exitCode, 0u);
        if (mode == Mode::Interactive) {
            EXPECT_EQ(Texts(first.run), (std::vector<std::string>{CONSENT, PATCH_OK}));
            EXPECT_FALSE(markerAtOk) << "the marker was written before \"Patch OK!\" was dismissed";
        }
        ExpectLog(first, Started(mode, arguments) + ChecksPassed(mode) + StepsSucceeded(8, mode) + Lines{"marker written"} +
                             Ended("patched", 0));
        EXPECT_TRUE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));
        EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built) << "the built module is not in place";
        ExpectNothingLeft();
        ExpectStates({{"w3svc", RUNNING}, {"SNMP", RUNNING}, {"lunabe", STOPPED}, {"drovek", RUNNING}});
        EXPECT_EQ(stand_in::GetDword("drovek", "ModuleHash"), stand_in::HashBytes(built.data(), built.size()));

        // The second run's record follows the first's in the same file.
        const Outcome second = Run(mode, variant++, boxes::Answer(IDYES), &arguments, LOG_FILE, true);
        EXPECT_EQ(second.run.exitCode, 0u);
        EXPECT_NE(second.log.front().process, first.log.front().process);
        if (mode == Mode::Interactive) {
            EXPECT_EQ(Texts(second.run), std::vector<std::string>{UP_TO_DATE});
        }
        ExpectLog(second, Started(mode, arguments) +
                              Lines{PRODUCT_FOUND, "check version: \"Version\" is 0x02000010, below 0x02000050",
                                    "check marker: present"} +
                              Ended("already up to date by the patch marker", 0));
        ExpectStates({{"w3svc", RUNNING}, {"SNMP", RUNNING}, {"lunabe", STOPPED}, {"drovek", RUNNING}});
    }
}

TEST_F(Unattended, ASecondRunWhileTheFirstHoldsTheLockIsTurnedAwayWith1618) {
    std::vector<std::pair<Mode, Outcome>> refused;
    std::vector<std::string> refusedArguments(2);
    std::string firstArguments;
    // The first run holds the lock, and its log open, while its question is open; the runs turned
    // away append to the same log.
    const Outcome first = Run(Mode::Interactive, 0, [&](const boxes::Box& box) {
        if (box.text == CONSENT) {
            refused.emplace_back(Mode::Quiet,
                                 Run(Mode::Quiet, 1, boxes::Answer(IDYES), &refusedArguments[0], LOG_FILE, true));
            refused.emplace_back(Mode::Interactive, Run(Mode::Interactive, 2, boxes::Answer(IDYES),
                                                        &refusedArguments[1], LOG_FILE, true));
        }
        return boxes::Answer(IDNO)(box);
    }, &firstArguments);
    ASSERT_EQ(refused.size(), 2u);
    for (size_t i = 0; i < refused.size(); ++i) {
        const Mode mode = refused[i].first;
        const Outcome& outcome = refused[i].second;
        SCOPED_TRACE(ModeName(mode));
        EXPECT_EQ(outcome.run.exitCode, 1618u);
        if (mode == Mode::Interactive) {
            EXPECT_EQ(Texts(outcome.run), std::vector<std::string>{ANOTHER_RUN});
        }
        ExpectLog(outcome, Started(mode, refusedArguments[i]) + Ended("another run of the patch is in progress", 1618));
    }
    EXPECT_EQ(first.run.exitCode, 1602u);
    ExpectLog(first, Started(Mode::Interactive, firstArguments) +
                         Lines{PRODUCT_FOUND, "check version: \"Version\" is 0x02000010, below 0x02000050",
                               "check marker: absent, error 2 (*)", "consent: answered No"} +
                         Ended("declined", 1602));
    ExpectUntouched();
}

TEST_F(Unattended, AMarkerThatCannotBeWrittenIsLoggedAndThePatchStillSucceeds) {
    // While "Patch OK!" is open the settings key (made again by the restarted agent, or here)
    // becomes read-only, so the marker written after the box cannot be.
    std::unique_ptr<RestrictedKey> readOnly;
    std::string arguments;
    const Outcome outcome = Run(Mode::Interactive, 0, [&](const boxes::Box& box) {
        if (box.text == PATCH_OK) {
            RegKey made;
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, 0, nullptr, 0, KEY_READ, nullptr, made.put(), nullptr);
            readOnly.reset(new RestrictedKey(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, KEY_READ));
        }
        return boxes::Answer(IDYES)(box);
    }, &arguments);
    ASSERT_TRUE(readOnly && readOnly->Restricted());
    if (!readOnly->Enforced()) GTEST_SKIP() << "this platform grants full access to the key regardless of its DACL";
    EXPECT_EQ(outcome.run.exitCode, 0u);  // as designed, a marker that is not written changes no outcome
    ExpectLog(outcome, Started(Mode::Interactive, arguments) + ChecksPassed(Mode::Interactive) + StepsSucceeded(8, Mode::Interactive) +
                           Lines{"marker not written, error 5 (*)"} + Ended("patched", 0));
    readOnly.reset();
    EXPECT_FALSE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));
}

TEST_F(Unattended, ARunEndedWhileItHoldsTheLockLeavesItToTheNextRun) {
    std::string arguments;
    // A handle of this process keeps the lock in existence after its owner is gone, as another
    // run's would: only then is it left abandoned rather than destroyed.
    UniqueHandle lock;
    const Outcome ended = Run(Mode::Interactive, 0, [&](const boxes::Box& box) {
        if (box.text != CONSENT) return IDOK;
        lock.reset(OpenMutexA(SYNCHRONIZE, FALSE, RUN_LOCK));
        return boxes::END_PROCESS;
    }, &arguments);
    ASSERT_TRUE(lock) << "the run's lock was not found while it asked";
    EXPECT_EQ(ended.run.exitCode, boxes::END_PROCESS_EXIT_CODE);
    ExpectUntouched();

    // The lock it held is abandoned, not in use: the next run patches.
    const Outcome next = Run(Mode::Quiet, 1, boxes::Answer(IDYES), &arguments, LOG_FILE, true);
    EXPECT_EQ(next.run.exitCode, 0u);
    ExpectLog(next, Started(Mode::Quiet, arguments) + ChecksPassed(Mode::Quiet) + StepsSucceeded(8, Mode::Quiet) +
                        Lines{"marker written"} + Ended("patched", 0));
}

TEST_F(Unattended, ALogThatCannotBeWrittenStopsTheRunBeforeAnythingWith1622) {
    const std::string missingFolder = "C:\\KovPatchTests\\No Such Folder";
    const std::string readOnly = "C:\\KovPatchTests\\read-only.log";
    const std::string kept = "an earlier record\r\n";
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(sim::WriteFileBytes(readOnly, kept));
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    int variant = 0;
    for (const std::string& path : {missingFolder + "\\run.log", readOnly}) {
        for (Mode mode : {Mode::Interactive, Mode::Quiet}) {
            SCOPED_TRACE(path + ", " + ModeName(mode));
            const std::string arguments =
                (mode == Mode::Quiet ? QuietSwitch(variant) + " " : "") + LogSwitch(variant) + " \"" + path + "\"";
            ++variant;
            const boxes::Run run = RunInstaller(boxes::Answer(IDYES), arguments);
            EXPECT_EQ(run.exitCode, 1622u);
            if (mode == Mode::Interactive) {
                ASSERT_EQ(Texts(run).size(), 1u);
                EXPECT_TRUE(Matches(Texts(run)[0].c_str(), ("The log file " + path + " cannot be written: " +
                                                             (path == readOnly ? "it is read-only." : "error 3 (*)."))
                                                                .c_str()))
                    << Texts(run)[0];
            } else {
                EXPECT_FALSE(run.sawWindow);
            }
            // The run would have patched: the product is installed and not current.
            ExpectUntouched();
            EXPECT_FALSE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));
        }
    }
    EXPECT_EQ(GetFileAttributesA(missingFolder.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(sim::ReadFileBytes(readOnly), kept);
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(readOnly.c_str());
}

TEST_F(Unattended, UsageAndBadCommandLines) {
    const std::string unwantedLog = "C:\\KovPatchTests\\not-written.log";
    DeleteFileA(unwantedLog.c_str());
    const struct {
        std::string arguments;
        DWORD exitCode;
        bool quiet;
    } cases[] = {
        {"/?", 0, false},          {"-HELP", 0, false},         {"/q /?", 0, true},
        {"/bogus", 1639, false},   {"/log", 1639, false},       {"-log -quiet", 1639, true},
        {"patch", 1639, false},    {"/QUIET /now", 1639, true}, {"/log " + unwantedLog + " /wrong", 1639, false},
        {"/log a.log /log b.log", 1639, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const boxes::Run run = RunInstaller(boxes::Answer(IDYES), c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode);
        if (c.quiet) {
            EXPECT_FALSE(run.sawWindow);
            EXPECT_TRUE(run.boxes.empty());
            continue;
        }
        ASSERT_EQ(run.boxes.size(), 1u);
        // The usage names every switch and every exit code.
        for (const char* named : {"/quiet", "/q", "/check", "/log FILE", "/?", "/help", "0\t", "1\t", "1602", "1603",
                                  "1604", "1618", "1622", "1639", "1642"})
            EXPECT_NE(run.boxes[0].text.find(named), std::string::npos) << named << " in\n" << run.boxes[0].text;
    }
    ExpectUntouched();
    EXPECT_EQ(GetFileAttributesA(unwantedLog.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
