// The registry probes and the marker against real keys of the prefix's registry.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "common/handles.h"
#include "restricted_key.h"
#include "probes.h"
#include "registry_helpers.h"

namespace {

const std::string UNINSTALL = UNINSTALL_KEY;
constexpr char OUR_ENTRIES[] = "KovPatchTests";

// Our entries only; whatever else the prefix lists names no Corvantis.
void RemoveOurUninstallEntries() {
    std::vector<std::string> ours;
    {
        RegKey uninstall;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ, uninstall.put()) != ERROR_SUCCESS) return;
        char name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            if (RegEnumKeyExA(uninstall.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            if (strncmp(name, OUR_ENTRIES, strlen(OUR_ENTRIES)) == 0) ours.push_back(name);
        }
    }
    for (const std::string& entry : ours) DeleteKey(UNINSTALL + "\\" + entry);
}

std::string Entry(const std::string& name) { return UNINSTALL + "\\" + OUR_ENTRIES + " " + name; }

class Probes : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveOurUninstallEntries();
        DeleteKey(PRODUCT_KEY);
        DeleteKey(AGENT_KEY);
        DeleteKey(SETTINGS_KEY);
    }
    void TearDown() override { SetUp(); }
};

struct DisplayNameCase {
    const char* text;
    DWORD type;
    bool installed;
};

TEST_F(Probes, ProductIsFoundByACaseSensitiveSubstringOfAStringDisplayName) {
    const DisplayNameCase cases[] = {
        {"TAVRIX Corvantis Server Management 2.0", REG_SZ, true},
        {"Corvantis", REG_SZ, true},
        {"tavrix corvantis server management 2.0", REG_SZ, false},
        {"CORVANTIS", REG_SZ, false},
        {"TAVRIX Corvantis", REG_EXPAND_SZ, false},
        {"TAVRIX Corvantis", REG_MULTI_SZ, false},
    };
    for (const DisplayNameCase& c : cases) {
        RemoveOurUninstallEntries();
        ASSERT_TRUE(SetText(Entry("Product"), "DisplayName", c.text, c.type));
        EXPECT_EQ(IsProductInstalled(), c.installed) << c.text << " of type " << c.type;
    }
}

TEST_F(Probes, AnEntryWithoutDisplayNameIsSkipped) {
    ASSERT_TRUE(SetText(Entry("A Nameless"), "Publisher", "Corvantis"));
    ProductSearch seen;
    EXPECT_FALSE(IsProductInstalled(&seen));
    EXPECT_GE(seen.entries, 1u);
    EXPECT_STREQ(seen.entry, "");
    ASSERT_TRUE(SetText(Entry("B Product"), "DisplayName", "The Corvantis"));
    EXPECT_TRUE(IsProductInstalled(&seen));
    EXPECT_STREQ(seen.entry, "KovPatchTests B Product");
    EXPECT_STREQ(seen.displayName, "The Corvantis");
}

TEST_F(Probes, TheWalkReachesTheLastOfSeveralHundredEntries) {
    for (int i = 0; i < 300; ++i) {
        char name[32];
        wsprintfA(name, "Filler %03d", i);
        ASSERT_TRUE(SetText(Entry(name), "DisplayName", "Some other program"));
    }
    EXPECT_FALSE(IsProductInstalled());
    ASSERT_TRUE(SetText(Entry("Zz Product"), "DisplayName", "TAVRIX Corvantis"));
    EXPECT_TRUE(IsProductInstalled());
}

TEST_F(Probes, AnEntryThatCannotBeOpenedIsSkipped) {
    // Readable by nobody: its display name would match, but the walk must pass it by.
    const std::string locked = Entry("A Locked");
    ASSERT_TRUE(SetText(locked, "DisplayName", "TAVRIX Corvantis"));
    RestrictedKey lock(HKEY_LOCAL_MACHINE, locked.c_str(), 0);
    ASSERT_TRUE(lock.Restricted());
    RegKey probe;
    ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, locked.c_str(), 0, KEY_QUERY_VALUE, probe.put()));

    EXPECT_FALSE(IsProductInstalled());
    ASSERT_TRUE(SetText(Entry("B Product"), "DisplayName", "Corvantis"));
    EXPECT_TRUE(IsProductInstalled());
}

TEST_F(Probes, DisplayNamesOfTheMaximumSizeAndBeyond) {
    const std::string product = "Corvantis";
    const struct {
        size_t bytes;  // stored, the product's name at its very end
        bool terminated;
        int installed;  // -1: the platform decides whether such a read succeeds; it must not crash
    } cases[] = {
        {1024, true, 1},    // fills the buffer with its terminator
        {1024, false, -1},  // fills it without one: read safely, or refused by the platform
        {1025, false, 0},   // larger than the buffer: the read fails and the entry is skipped
        {64 * 1024, true, 0},
    };
    for (const auto& c : cases) {
        RemoveOurUninstallEntries();
        std::string text(c.bytes - product.size() - (c.terminated ? 1 : 0), 'x');
        text += product;
        if (c.terminated) text.push_back('\0');
        ASSERT_TRUE(SetRaw(Entry("Product"), "DisplayName", REG_SZ, text.data(), DWORD(text.size())));
        const bool installed = IsProductInstalled();
        if (c.installed >= 0) {
            EXPECT_EQ(c.installed == 1, installed) << c.bytes << (c.terminated ? " terminated" : "");
        }
    }
}

TEST_F(Probes, VersionIsComparedUnsignedWithTheMinimum) {
    VersionReading seen;
    EXPECT_FALSE(IsVersionAtLeast(CURRENT_MODULE_VERSION, &seen));  // no key
    EXPECT_EQ(seen.status, ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(SetText(PRODUCT_KEY, "Other", "x"));
    EXPECT_FALSE(IsVersionAtLeast(CURRENT_MODULE_VERSION));  // no value
    const struct {
        DWORD version;
        bool current;
    } cases[] = {{0x0200004F, false}, {0x02000050, true}, {0x02000051, true}, {0xFFFFFFFF, true}, {0, false}};
    for (const auto& c : cases) {
        ASSERT_TRUE(SetDword(PRODUCT_KEY, "Version", c.version));
        EXPECT_EQ(IsVersionAtLeast(CURRENT_MODULE_VERSION, &seen), c.current) << std::hex << c.version;
        EXPECT_EQ(seen.status, ERROR_SUCCESS);
        EXPECT_EQ(seen.version, c.version);
    }
}

TEST_F(Probes, VersionOfAnotherTypeIsReadAsItsFourBytes) {
    const DWORD version = 0x02000060;
    ASSERT_TRUE(SetRaw(PRODUCT_KEY, "Version", REG_BINARY, &version, sizeof version));
    EXPECT_TRUE(IsVersionAtLeast(CURRENT_MODULE_VERSION));
    const unsigned char eight[8] = {0x60, 0, 0, 2};
    ASSERT_TRUE(SetRaw(PRODUCT_KEY, "Version", REG_BINARY, eight, sizeof eight));
    EXPECT_FALSE(IsVersionAtLeast(CURRENT_MODULE_VERSION));
    // A version written as text is read as its first bytes when it fits, else not at all.
    ASSERT_TRUE(SetText(PRODUCT_KEY, "Version", "2.0.0.80"));
    EXPECT_FALSE(IsVersionAtLeast(CURRENT_MODULE_VERSION));
    ASSERT_TRUE(SetText(PRODUCT_KEY, "Version", "999"));  // "999" and its terminator: 0x00393939
    EXPECT_FALSE(IsVersionAtLeast(CURRENT_MODULE_VERSION));
}

TEST_F(Probes, MarkerIsPresentWhateverItsTypeWhenItFitsFourBytes) {
    EXPECT_FALSE(IsPatchMarkerPresent());  // no key
    ASSERT_TRUE(SetDword(SETTINGS_KEY, "PhyMemUsageWH", 90));
    EXPECT_FALSE(IsPatchMarkerPresent());  // no value
    ASSERT_TRUE(SetDword(SETTINGS_KEY, PATCH_MARKER_VALUE, 0));
    EXPECT_TRUE(IsPatchMarkerPresent());
    ASSERT_TRUE(SetText(SETTINGS_KEY, PATCH_MARKER_VALUE, "1"));
    EXPECT_TRUE(IsPatchMarkerPresent());
    const ULONGLONG eightBytes = 1;
    ASSERT_TRUE(SetRaw(SETTINGS_KEY, PATCH_MARKER_VALUE, REG_QWORD, &eightBytes, sizeof eightBytes));
    EXPECT_FALSE(IsPatchMarkerPresent());
}

TEST_F(Probes, WritePatchMarkerCreatesTheKeyWithADwordOne) {
    EXPECT_EQ(WritePatchMarker(), ERROR_SUCCESS);
    DWORD value = 0, size = sizeof value, type = 0;
    ASSERT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, PATCH_MARKER_VALUE, RRF_RT_ANY, &type, &value,
                           &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(IsPatchMarkerPresent());
}

struct PathNameCase {
    const char* pathName;
    const char* directory;
};

TEST_F(Probes, AgentDirectoryIsThePathNameUpToItsLastBackslash) {
    const PathNameCase cases[] = {
        {"C:\\Program Files\\TAVRIX\\Agent\\drovek.exe", "C:\\Program Files\\TAVRIX\\Agent\\"},
        {"C:\\Agent\\", "C:\\Agent\\"},
        {"drovek.exe", "drovek.exe"},
        {"", ""},
    };
    for (const PathNameCase& c : cases) {
        ASSERT_TRUE(SetText(AGENT_KEY, "PathName", c.pathName));
        char buffer[512];
        memset(buffer, 'x', sizeof buffer);
        ASSERT_TRUE(GetAgentDirectory(buffer, sizeof buffer)) << c.pathName;
        EXPECT_STREQ(buffer, c.directory);
    }
}

TEST_F(Probes, AgentDirectoryIsFalseWithoutPathNameAndLeavesTheKeyBehind) {
    char buffer[512] = {};
    EXPECT_FALSE(GetAgentDirectory(buffer, sizeof buffer));
    EXPECT_TRUE(KeyExists(AGENT_KEY));
}

TEST_F(Probes, AgentPathNameStoredWithoutTerminatorIsTerminatedWhereItEnds) {
    const char path[] = "C:\\Agent\\drovek.exe";
    ASSERT_TRUE(SetRaw(AGENT_KEY, "PathName", REG_BINARY, path, sizeof path - 1));
    char buffer[512];
    memset(buffer, 'x', sizeof buffer);
    ASSERT_TRUE(GetAgentDirectory(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "C:\\Agent\\");
}

TEST_F(Probes, AgentPathNameThatDoesNotEndWithinTheBufferIsRefused) {
    char buffer[512];
    const std::string filling(sizeof buffer, 'A');
    ASSERT_TRUE(SetRaw(AGENT_KEY, "PathName", REG_BINARY, filling.data(), sizeof buffer));
    LONG status = ERROR_SUCCESS;
    EXPECT_FALSE(GetAgentDirectory(buffer, sizeof buffer, &status));
    EXPECT_EQ(status, ERROR_MORE_DATA);
    const std::string longer = "C:\\" + std::string(600, 'a') + "\\drovek.exe";
    ASSERT_TRUE(SetText(AGENT_KEY, "PathName", longer));
    EXPECT_FALSE(GetAgentDirectory(buffer, sizeof buffer));
    // Exactly filling the buffer with its terminator is fine.
    const std::string fits = "C:\\" + std::string(sizeof buffer - 4, 'b');
    ASSERT_TRUE(SetText(AGENT_KEY, "PathName", fits));
    EXPECT_TRUE(GetAgentDirectory(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "C:\\");
}

}  // namespace
