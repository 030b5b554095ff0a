// What KOVPatch.exe carries, read from the built file as any program could: its subsystem, the
// module image, the icon, the version record and the manifest.
#include <gtest/gtest.h>

#include <string>

#include "simulated_install.h"

namespace {

class Executable : public ::testing::Test {
protected:
    void SetUp() override {
        image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(image, nullptr);
    }
    void TearDown() override { FreeLibrary(image); }

    std::string Resource(const char* type, const char* name, WORD language) {
        HRSRC found = FindResourceExA(image, type, name, language);
        const void* bytes = found ? LockResource(LoadResource(image, found)) : nullptr;
        return bytes ? std::string(static_cast<const char*>(bytes), SizeofResource(image, found)) : std::string();
    }

    std::string VersionString(const std::string& record, const char* name) {
        void* text = nullptr;
        UINT length = 0;
        const std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(record.data(), query.c_str(), &text, &length) || length == 0) return std::string();
        return static_cast<const char*>(text);
    }

    const std::string path = sim::InstallerUnderTest(KOVPATCH_EXE);
    HMODULE image = nullptr;
    const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
};

TEST_F(Executable, IsAWindowsGuiProgramWithoutConsole) {
    const std::string file = sim::ReadFileBytes(path);
    ASSERT_GT(file.size(), sizeof(IMAGE_DOS_HEADER));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(file.data() + dos->e_lfanew);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(Executable, CarriesTheBuiltModuleByteForByteInEnglish) {
    const std::string carried = Resource("MODULE", "KELVRIM", english);
    EXPECT_FALSE(carried.empty());
    EXPECT_TRUE(carried == sim::ReadFileBytes(sim::ModuleUnderTest(KELVRIM_DLL))) << "not the module built alongside";
}

TEST_F(Executable, HasItsIconAndVersionRecord) {
    EXPECT_NE(FindResourceA(image, MAKEINTRESOURCEA(128), RT_GROUP_ICON), nullptr);

    DWORD ignored = 0;
    std::string record(GetFileVersionInfoSizeA(path.c_str(), &ignored), '\0');
    ASSERT_FALSE(record.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(record.size()), &record[0]));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(record.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(VersionString(record, "InternalName"), "KOVPatch");
    EXPECT_EQ(VersionString(record, "OriginalFilename"), "KOVPatch.EXE");
}

TEST_F(Executable, AsksForAdministratorRights) {
    const std::string manifest = Resource(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), english);
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
}

}  // namespace
