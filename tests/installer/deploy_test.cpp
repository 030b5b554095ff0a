// Deploying the carried module: this test program carries a module image of its own, so the
// installer's code finds it in "the program's own image" as it does in KOVPatch.exe.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "deploy.h"
#include "probes.h"
#include "registry_helpers.h"
#include "simulated_install.h"

namespace {

const std::string AGENT_DIRECTORY = "C:\\KovPatchTests\\Deploy\\";
const std::string MODULE_PATH = AGENT_DIRECTORY + "kelvrim.dll";
const std::string STAGING_PATH = AGENT_DIRECTORY + "kelvrim.tmp";

std::string CarriedImage() {
    HRSRC resource = FindResourceA(nullptr, "KELVRIM", "MODULE");
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, resource)));
    return bytes ? std::string(bytes, SizeofResource(nullptr, resource)) : std::string();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class Deploy : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(CarriedImage().size(), 1000u);
        RemoveDirectoryA(STAGING_PATH.c_str());
        DeleteFileA(STAGING_PATH.c_str());
        DeleteFileA(MODULE_PATH.c_str());
        CreateDirectoryA("C:\\KovPatchTests", nullptr);
        CreateDirectoryA(AGENT_DIRECTORY.c_str(), nullptr);
        DeleteKey(AGENT_KEY);
        ASSERT_TRUE(SetText(AGENT_KEY, "PathName", AGENT_DIRECTORY + "drovek.exe"));
        // Stored limits, a marker and a sub-key: all of it goes.
        DeleteKey(SETTINGS_KEY);
        ASSERT_TRUE(SetDword(SETTINGS_KEY, "PhyMemUsageWH", 80));
        ASSERT_TRUE(SetDword(SETTINGS_KEY, PATCH_MARKER_VALUE, 1));
        ASSERT_TRUE(SetDword(std::string(SETTINGS_KEY) + "\\Sub", "Any", 1));
    }
    void TearDown() override {
        RemoveDirectoryA(STAGING_PATH.c_str());
        DeleteFileA(MODULE_PATH.c_str());
        DeleteKey(AGENT_KEY);
    }

    const std::string oldModule = std::string(CarriedImage().size() + 5000, 'o');
};

TEST_F(Deploy, ReplacesALongerModuleByExactlyTheCarriedImage) {
    ASSERT_TRUE(sim::WriteFileBytes(MODULE_PATH, oldModule));
    DeployReport seen;
    EXPECT_TRUE(DeployModule(&seen));
    EXPECT_EQ(sim::ReadFileBytes(MODULE_PATH), CarriedImage());
    EXPECT_EQ(seen.failure, DeployFailure::None);
    EXPECT_EQ(seen.keyDeletion, ERROR_SUCCESS);
    EXPECT_EQ(seen.modulePath, MODULE_PATH);
    EXPECT_EQ(seen.bytesWritten, CarriedImage().size());
    EXPECT_FALSE(Exists(STAGING_PATH));
    EXPECT_FALSE(KeyExists(SETTINGS_KEY));
}

TEST_F(Deploy, WritesTheModuleWhereThereWasNone) {
    EXPECT_TRUE(DeployModule());
    EXPECT_EQ(sim::ReadFileBytes(MODULE_PATH), CarriedImage());
}

TEST_F(Deploy, FailsWithoutAgentPathNameAfterDeletingTheSettingsKey) {
    DeleteKey(AGENT_KEY);
    DeployReport seen;
    EXPECT_FALSE(DeployModule(&seen));
    EXPECT_FALSE(KeyExists(SETTINGS_KEY));
    EXPECT_EQ(seen.failure, DeployFailure::AgentDirectory);
    EXPECT_EQ(seen.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // Nothing left to delete the second time.
    EXPECT_FALSE(DeployModule(&seen));
    EXPECT_EQ(seen.keyDeletion, ERROR_FILE_NOT_FOUND);
}

TEST_F(Deploy, FailsCleanlyForAnAgentDirectoryTooLongForTheModuleName) {
    for (size_t directoryLength : {501u, 505u, 510u}) {
        const std::string directory = "C:\\" + std::string(directoryLength - 4, 'd') + "\\";
        ASSERT_TRUE(SetText(AGENT_KEY, "PathName", directory + "drovek.exe"));
        DeployReport seen;
        EXPECT_FALSE(DeployModule(&seen)) << directoryLength;
        // A "PathName" that does not fit the buffer fails before the module's name is added.
        const bool pathNameFits = directoryLength + sizeof "drovek.exe" <= MODULE_PATH_SIZE;
        EXPECT_EQ(seen.failure, pathNameFits ? DeployFailure::PathTooLong : DeployFailure::AgentDirectory);
    }
}

TEST_F(Deploy, FailsForAnAgentDirectoryThatDoesNotExist) {
    ASSERT_TRUE(SetText(AGENT_KEY, "PathName", "C:\\KovPatchTests\\Missing\\drovek.exe"));
    EXPECT_FALSE(DeployModule());
    EXPECT_FALSE(KeyExists(SETTINGS_KEY));
}

TEST_F(Deploy, AModuleFileInUseIsLeftWhole) {
    ASSERT_TRUE(sim::WriteFileBytes(MODULE_PATH, oldModule));
    HANDLE held = CreateFileA(MODULE_PATH.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    DeployReport seen;
    EXPECT_FALSE(DeployModule(&seen));
    CloseHandle(held);
    EXPECT_EQ(seen.failure, DeployFailure::Replace);
    EXPECT_NE(seen.error, 0u);
    EXPECT_EQ(seen.bytesWritten, CarriedImage().size());
    EXPECT_EQ(sim::ReadFileBytes(MODULE_PATH), oldModule);
    EXPECT_FALSE(Exists(STAGING_PATH));
}

TEST_F(Deploy, AStagingFileThatCannotBeCreatedLeavesTheModuleWhole) {
    ASSERT_TRUE(sim::WriteFileBytes(MODULE_PATH, oldModule));
    ASSERT_TRUE(CreateDirectoryA(STAGING_PATH.c_str(), nullptr));
    EXPECT_FALSE(DeployModule());
    EXPECT_EQ(sim::ReadFileBytes(MODULE_PATH), oldModule);
}

// The directory has room for the old module and no more (a file system CTest mounts), so the new
// one's staging file is made and its write fails.
TEST_F(Deploy, AWriteThatFailsAfterTheOpenLeavesTheModuleWhole) {
    const char* fullDisk = getenv("KOVPATCH_FULL_DISK_DIR");
    if (fullDisk == nullptr) GTEST_SKIP() << "needs the full-disk directory that CTest sets up";
    const std::string directory = sim::WindowsPath(fullDisk) + "\\";
    ULARGE_INTEGER free = {}, total = {};
    if (!GetDiskFreeSpaceExA(directory.c_str(), &free, &total, nullptr) || total.QuadPart > 64 * 1024)
        GTEST_SKIP() << "the small file system for this test could not be mounted at " << fullDisk;
    ASSERT_TRUE(SetText(AGENT_KEY, "PathName", directory + "drovek.exe"));
    DeleteFileA((directory + "kelvrim.tmp").c_str());
    ASSERT_TRUE(sim::WriteFileBytes(directory + "kelvrim.dll", oldModule));
    DeployReport seen;
    EXPECT_FALSE(DeployModule(&seen));
    EXPECT_EQ(seen.failure, DeployFailure::Write);
    EXPECT_EQ(seen.error, static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(seen.bytesWritten, 0u);
    EXPECT_EQ(sim::ReadFileBytes(directory + "kelvrim.dll"), oldModule);
    EXPECT_FALSE(Exists(directory + "kelvrim.tmp")) << "a half-written staging file is left";
    DeleteFileA((directory + "kelvrim.dll").c_str());
}

}  // namespace
