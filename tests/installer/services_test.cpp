// Stopping and starting real services of Wine's service manager, run by the stand-in service.
#include <gtest/gtest.h>

#include "services.h"
#include "simulated_install.h"
#include "stand_in.h"

namespace {

constexpr char SERVICE[] = "KovPatchTestService";

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(sim::InstallService(SERVICE, sim::WindowsPath(STANDIN_EXE), &why)) << why;
    }
    void TearDown() override { sim::RemoveService(SERVICE); }

    void StartRunning(const char* onStop) {
        ASSERT_TRUE(sim::SetBehaviour(SERVICE, "OnStop", onStop));
        ASSERT_TRUE(sim::StartAndWaitRunning(SERVICE, 20000));
    }
};

DWORD ElapsedSince(ULONGLONG start) { return static_cast<DWORD>(GetTickCount64() - start); }

TEST_F(ServiceControl, StopOfAServiceThatStopsAtOnceSucceeds) {
    StartRunning("at-once");
    EXPECT_EQ(StopServiceAndWait(SERVICE), 0u);
    EXPECT_EQ(sim::ServiceState(SERVICE), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceControl, StopWaitsWhileTheServiceIsStopPending) {
    StartRunning("after-polls");
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(StopServiceAndWait(SERVICE), 0u);
    // The stand-in stays stop-pending for about a second.
    EXPECT_GE(ElapsedSince(start), 500u);
    EXPECT_EQ(sim::ServiceState(SERVICE), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceControl, StopOfAStoppedServiceIsRefusedAndCountsAsSuccess) {
    EXPECT_EQ(sim::ServiceState(SERVICE), static_cast<DWORD>(SERVICE_STOPPED));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(StopServiceAndWait(SERVICE), 0u);
    EXPECT_LT(ElapsedSince(start), 5000u);
}

TEST_F(ServiceControl, AServiceThatFallsBackToRunningIsNotStopped) {
    StartRunning("back-to-running");
    EXPECT_EQ(StopServiceAndWait(SERVICE), 205u);
    EXPECT_NE(stand_in::GetString(SERVICE, "State"), "stopped");
}

TEST_F(ServiceControl, AServiceStuckInStopPendingIsGivenUpAfterTheBound) {
    StartRunning("never");
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(StopServiceAndWait(SERVICE), 205u);
    const DWORD elapsed = ElapsedSince(start);
    EXPECT_GE(elapsed, STOP_WAIT_LIMIT_MS);
    EXPECT_LT(elapsed, STOP_WAIT_LIMIT_MS + 30000);
}

TEST_F(ServiceControl, StartOfAStoppedServiceSucceedsWithoutWaitingForIt) {
    ASSERT_TRUE(sim::SetBehaviour(SERVICE, "OnStop", "at-once"));
    EXPECT_EQ(StartServiceByName(SERVICE), 0u);
    EXPECT_TRUE(sim::WaitForState(SERVICE, SERVICE_RUNNING, 20000));
}

TEST_F(ServiceControl, StartOfARunningServiceSucceeds) {
    StartRunning("at-once");
    EXPECT_EQ(StartServiceByName(SERVICE), 0u);
    EXPECT_EQ(sim::ServiceState(SERVICE), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceControl, StartOfAServiceThatCannotStartFails) {
    ASSERT_TRUE(sim::SetBehaviour(SERVICE, "OnStart", "fail"));
    EXPECT_EQ(StartServiceByName(SERVICE), 203u);
    EXPECT_NE(sim::ServiceState(SERVICE), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(ServiceControlNames, AServiceThatDoesNotExistCannotBeOpened) {
    sim::RemoveService(SERVICE);
    EXPECT_EQ(StopServiceAndWait(SERVICE), 204u);
    EXPECT_EQ(StartServiceByName(SERVICE), 204u);
}

}  // namespace
