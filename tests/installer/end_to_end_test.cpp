// KOVPatch.exe as a user runs it, without arguments: box for box what the user sees.
#include "patch_run.h"

namespace {

using namespace patch_run;

TEST_F(PatchRun, WithoutTheProductItSaysSoAndChangesNothing) {
    sim::DeleteKey(sim::UNINSTALL_ENTRY);
    const boxes::Run run = RunInstaller(boxes::Answer(IDYES));
    EXPECT_EQ(Texts(run), std::vector<std::string>{NOT_INSTALLED});
    ExpectUntouched();
    EXPECT_FALSE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));
}

TEST_F(PatchRun, ACurrentVersionOrAMarkerMeansUpToDate) {
    const struct {
        DWORD version;
        bool marker;
    } cases[] = {{0x02000050, false}, {0x02010000, false}, {0x0200004F, true}};
    for (const auto& c : cases) {
        ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, sim::PRODUCT_KEY, "Version", REG_DWORD, &c.version, 4), 0);
        const DWORD one = 1;
        if (c.marker) {
            ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, sim::MARKER_VALUE, REG_DWORD, &one, 4), 0);
        }
        const boxes::Run run = RunInstaller(boxes::Answer(IDYES));
        EXPECT_EQ(Texts(run), std::vector<std::string>{UP_TO_DATE}) << std::hex << c.version;
        ExpectUntouched();
    }
}

TEST_F(PatchRun, AnsweringNoEndsTheRunSilently) {
    const boxes::Run run = RunInstaller(boxes::Answer(IDNO));
    EXPECT_EQ(Texts(run), std::vector<std::string>{CONSENT});
    ExpectUntouched();
    EXPECT_FALSE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));
}

TEST_F(PatchRun, AFailingStepShowsItsNumberAndNothingAfterItRuns) {
    const std::vector<StepFailure> cases = StepFailures();
    for (const StepFailure& c : cases) {
        SCOPED_TRACE("failing step " + std::to_string(c.step));
        if (c.step > 1) SetUp();
        c.arrange();
        const boxes::Run run = RunInstaller(boxes::Answer(IDYES));
        EXPECT_EQ(Texts(run), (std::vector<std::string>{CONSENT, Failure(c.step)}));
        ExpectStates(c.servicesAfter);
        EXPECT_FALSE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));
        if (c.step < 5) {
            EXPECT_EQ(Setting("PhyMemUsageWH"), 80u);
            EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == shipped) << "the shipped module changed";
        } else if (c.step == 5) {
            EXPECT_FALSE(sim::KeyExists(sim::SETTINGS_KEY));
            EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == shipped) << "the shipped module changed";
        } else {
            EXPECT_NE(Setting("PhyMemUsageWH"), 80u);
            EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built) << "the built module is not in place";
        }
    }
}

TEST_F(PatchRun, AModuleFileThatCannotBeReplacedFailsStepFiveAndIsLeftWhole) {
    // Shared for reading as the loaded module is, but not for replacing.
    HANDLE held = CreateFileA(MODULE_FILE.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const boxes::Run run = RunInstaller(boxes::Answer(IDYES));
    CloseHandle(held);
    EXPECT_EQ(Texts(run), (std::vector<std::string>{CONSENT, Failure(5)}));
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == shipped) << "the shipped module changed";
    EXPECT_EQ(sim::ServiceState("drovek"), STOPPED);
}

TEST_F(PatchRun, ASuccessfulRunDeploysTheModuleRestartsTheHostAndMarksThePatchAfterOk) {
    const DWORD oldHostProcess = stand_in::GetDword("drovek", "ProcessId");
    bool markerBeforeOk = true;
    std::string moduleAtOk;
    const boxes::Run run = RunInstaller([&](const boxes::Box& box) {
        if (box.text == PATCH_OK) {
            markerBeforeOk = sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE);
            moduleAtOk = sim::ReadFileBytes(MODULE_FILE);
        }
        return boxes::Answer(IDYES)(box);
    });
    EXPECT_EQ(Texts(run), (std::vector<std::string>{CONSENT, PATCH_OK}));
    EXPECT_FALSE(markerBeforeOk);
    EXPECT_TRUE(moduleAtOk == built) << "the built module was not in place at \"Patch OK!\"";

    DWORD marker = 0, size = sizeof marker, type = 0;
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, sim::MARKER_VALUE, RRF_RT_ANY, &type, &marker, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(marker, 1u);

    ExpectStates({{"w3svc", RUNNING}, {"SNMP", RUNNING}, {"lunabe", STOPPED}, {"drovek", RUNNING}});
    EXPECT_NE(stand_in::GetDword("drovek", "ProcessId"), oldHostProcess);
    EXPECT_EQ(stand_in::GetDword("drovek", "ModuleHash"), stand_in::HashBytes(built.data(), built.size()));
    EXPECT_EQ(stand_in::GetDword("drovek", "Initialize"), 1u);
    // At work: the host takes readings through SPConfig each second.
    EXPECT_EQ(stand_in::GetDword("drovek", "ConfigPresent"), 1u);
    bool reading = false;
    for (int i = 0; i < 100 && !reading; ++i, Sleep(100)) reading = stand_in::GetDword("drovek", "ReadingCount") > 0;
    EXPECT_TRUE(reading) << "no reading from the restarted host within 10 s";
    // The old limits went with the key; the new module's first start wrote its defaults.
    for (const sim::Limit& limit : DEFAULT_LIMITS) EXPECT_EQ(Setting(limit.name), limit.value) << limit.name;
}

TEST_F(PatchRun, ASecondRunStopsAtTheMarker) {
    ASSERT_EQ(Texts(RunInstaller(boxes::Answer(IDYES))), (std::vector<std::string>{CONSENT, PATCH_OK}));
    const boxes::Run second = RunInstaller(boxes::Answer(IDYES));
    EXPECT_EQ(Texts(second), std::vector<std::string>{UP_TO_DATE});
    ExpectStates({{"w3svc", RUNNING}, {"SNMP", RUNNING}, {"lunabe", STOPPED}, {"drovek", RUNNING}});
}

}  // namespace
