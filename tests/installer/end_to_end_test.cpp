// KOVPatch.exe as a user runs it, against a simulated installation of the product in the prefix:
// its boxes are answered by caption, and what it did is read from the registry, the service
// manager and the agent's directory.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "box_answerer.h"
#include "simulated_install.h"
#include "stand_in.h"

namespace {

const std::string AGENT_DIRECTORY = "C:\\KovPatchTests\\Agent\\";
const std::string MODULE_FILE = AGENT_DIRECTORY + "kelvrim.dll";
constexpr char CAPTION[] = "NIVRA 2.0 KOV Patch";
constexpr char NOT_INSTALLED[] = "Detects no installed NIVRA 2.0!";
constexpr char UP_TO_DATE[] = "The memory module is up-to-date!";
constexpr char CONSENT[] = "This patch will stop IIS server and SNMP service temporarily.\nDo you want to continue?";
constexpr char PATCH_OK[] = "Patch OK!";
constexpr DWORD RUNNING = SERVICE_RUNNING;
constexpr DWORD STOPPED = SERVICE_STOPPED;
constexpr DWORD START_WAIT_MS = 20000;

constexpr sim::Limit DEFAULT_LIMITS[] = {
    {"PhyMemUsageWH", 90},         {"PhyMemUsageFH", 95},         {"PageFileUsageWH", 90},
    {"PageFileUsageFH", 95},       {"Page Faults/secWH", 20000}, {"Page Faults/secFH", 30000},
};

std::string Failure(int step) {
    char text[64];
    wsprintfA(text, "Fail to patch! (Error : 0x8000000%d)", step);
    return text;
}

std::vector<std::string> Texts(const boxes::Run& run) {
    std::vector<std::string> texts;
    for (const boxes::Box& box : run.boxes) texts.push_back(box.text);
    return texts;
}

DWORD Setting(const char* name) {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS)
        return 0;
    return value;
}

class PatchRun : public ::testing::Test {
protected:
    void SetUp() override {
        installation.agentDirectory = AGENT_DIRECTORY;
        installation.standInExe = sim::WindowsPath(STANDIN_EXE);
        installation.pdhStandIn = sim::WindowsPath(PDH_STANDIN_DLL);
        installation.moduleBuild = sim::WindowsPath(KELVRIM_DLL);
        std::string why;
        ASSERT_TRUE(sim::SetUp(installation, &why)) << why;
        shipped = sim::ReadFileBytes(MODULE_FILE);
        built = sim::ReadFileBytes(installation.moduleBuild);
        ASSERT_FALSE(built.empty());
        ASSERT_TRUE(shipped != built);
        ASSERT_EQ(Setting("PhyMemUsageWH"), 80u);
    }
    void TearDown() override { sim::TearDown(installation); }

    boxes::Run RunInstaller(const boxes::Chooser& choose) {
        boxes::Run run =
            boxes::RunAndAnswer("\"" + sim::WindowsPath(KOVPATCH_EXE) + "\"", CAPTION, choose, 60000);
        EXPECT_TRUE(run.finished) << "KOVPatch.exe did not end by itself";
        for (const boxes::Box& box : run.boxes)
            EXPECT_EQ(box.buttons, box.text == CONSENT ? "Yes/No" : "OK") << box.text;
        return run;
    }

    void ExpectStates(const std::vector<std::pair<const char*, DWORD>>& expected) {
        for (const auto& service : expected) {
            if (service.second == RUNNING) {
                EXPECT_TRUE(sim::WaitForState(service.first, RUNNING, START_WAIT_MS)) << service.first;
            } else {
                EXPECT_EQ(sim::ServiceState(service.first), service.second) << service.first;
            }
        }
    }

    // Nothing of the patch happened: services, module, settings and marker as installed.
    void ExpectUntouched() {
        ExpectStates({{"w3svc", RUNNING}, {"SNMP", RUNNING}, {"lunabe", RUNNING}, {"drovek", RUNNING}});
        EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == shipped) << "the shipped module changed";
        EXPECT_EQ(Setting("PhyMemUsageWH"), 80u);
    }

    sim::Installation installation;
    std::string shipped;
    std::string built;
};

TEST_F(PatchRun, WithoutTheProductItSaysSoAndChangesNothing) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, sim::UNINSTALL_ENTRY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, sim::UNINSTALL_ENTRY);
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

struct StepFailure {
    int step;
    std::function<void()> arrange;
    std::vector<std::pair<const char*, DWORD>> servicesAfter;
};

void MissingPathName() { RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, sim::AGENT_KEY, "PathName"); }

TEST_F(PatchRun, AFailingStepShowsItsNumberAndNothingAfterItRuns) {
    auto stopFails = [](const char* service) { return [=] { sim::SetBehaviour(service, "OnStop", "back-to-running"); }; };
    auto startFails = [](const char* service) { return [=] { sim::SetBehaviour(service, "OnStart", "fail"); }; };
    const StepFailure cases[] = {
        {1, stopFails("w3svc"), {{"w3svc", RUNNING}, {"SNMP", RUNNING}, {"lunabe", RUNNING}, {"drovek", RUNNING}}},
        {2, stopFails("SNMP"), {{"w3svc", STOPPED}, {"SNMP", RUNNING}, {"lunabe", RUNNING}, {"drovek", RUNNING}}},
        {3, [] { sim::RemoveService("lunabe"); },
         {{"w3svc", STOPPED}, {"SNMP", STOPPED}, {"lunabe", 0}, {"drovek", RUNNING}}},
        {4, stopFails("drovek"), {{"w3svc", STOPPED}, {"SNMP", STOPPED}, {"lunabe", STOPPED}, {"drovek", RUNNING}}},
        {5, MissingPathName, {{"w3svc", STOPPED}, {"SNMP", STOPPED}, {"lunabe", STOPPED}, {"drovek", STOPPED}}},
        {6, startFails("drovek"), {{"w3svc", STOPPED}, {"SNMP", STOPPED}, {"lunabe", STOPPED}, {"drovek", STOPPED}}},
        {7, startFails("SNMP"), {{"w3svc", STOPPED}, {"SNMP", STOPPED}, {"lunabe", STOPPED}, {"drovek", RUNNING}}},
        {8, startFails("w3svc"), {{"w3svc", STOPPED}, {"SNMP", RUNNING}, {"lunabe", STOPPED}, {"drovek", RUNNING}}},
    };
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
        return box.buttons == "Yes/No" ? IDYES : IDOK;
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
