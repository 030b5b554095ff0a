// KOVPatch.exe as a user or a deployment tool runs it, against a simulated installation of the
// product in the prefix: its boxes are answered by caption, and what it did is read from the
// registry, the service manager and the agent's directory.
#ifndef TESTS_INSTALLER_PATCH_RUN_H
#define TESTS_INSTALLER_PATCH_RUN_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "box_answerer.h"
#include "simulated_install.h"
#include "stand_in.h"

namespace patch_run {

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

using ServiceStates = std::vector<std::pair<const char*, DWORD>>;

inline std::string Failure(int step) {
    char text[64];
    wsprintfA(text, "Fail to patch! (Error : 0x8000000%d)", step);
    return text;
}

inline std::vector<std::string> Texts(const boxes::Run& run) {
    std::vector<std::string> texts;
    for (const boxes::Box& box : run.boxes) texts.push_back(box.text);
    return texts;
}

inline DWORD Setting(const char* name) {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS)
        return 0;
    return value;
}

// One way to make each of the eight steps fail, and the services as that failure leaves them.
struct StepFailure {
    int step;
    std::function<void()> arrange;
    ServiceStates servicesAfter;
};

inline void MissingPathName() { RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, sim::AGENT_KEY, "PathName"); }

inline std::vector<StepFailure> StepFailures() {
    auto stopFails = [](const char* service) { return [=] { sim::SetBehaviour(service, "OnStop", "back-to-running"); }; };
    auto startFails = [](const char* service) { return [=] { sim::SetBehaviour(service, "OnStart", "fail"); }; };
    return {
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
}

class PatchRun : public ::testing::Test {
protected:
    void SetUp() override {
        installation.agentDirectory = AGENT_DIRECTORY;
        installation.standInExe = sim::WindowsPath(STANDIN_EXE);
        installation.pdhStandIn = sim::WindowsPath(PDH_STANDIN_DLL);
        installation.moduleBuild = sim::ModuleUnderTest(KELVRIM_DLL);
        std::string why;
        ASSERT_TRUE(sim::SetUp(installation, &why)) << why;
        shipped = sim::ReadFileBytes(MODULE_FILE);
        built = sim::ReadFileBytes(installation.moduleBuild);
        ASSERT_FALSE(built.empty());
        ASSERT_TRUE(shipped != built);
        ASSERT_EQ(Setting("PhyMemUsageWH"), 80u);
    }
    void TearDown() override { sim::TearDown(installation); }

    // The installer under test's command line; arguments: what follows its name, if anything.
    static std::string InstallerCommand(const std::string& arguments) {
        return "\"" + sim::InstallerUnderTest(KOVPATCH_EXE) + "\"" + (arguments.empty() ? "" : " " + arguments);
    }
    boxes::Run RunInstaller(const boxes::Chooser& choose, const std::string& arguments = std::string()) {
        boxes::Run run = boxes::RunAndAnswer(InstallerCommand(arguments), CAPTION, choose, 60000);
        EXPECT_TRUE(run.finished) << "KOVPatch.exe did not end by itself";
        for (const boxes::Box& box : run.boxes)
            EXPECT_EQ(box.buttons, box.text == CONSENT ? "Yes/No" : "OK") << box.text;
        return run;
    }

    void ExpectStates(const ServiceStates& expected) {
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

}  // namespace patch_run

#endif
