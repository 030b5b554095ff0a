// The operating-system check, the service-pack parse, and a stop before any start.
#include <gtest/gtest.h>

#include "module_test_support.h"
#include "os_check.h"

namespace {

OSVERSIONINFOA Version(DWORD platform, DWORD major, DWORD minor, const char* servicePack) {
    OSVERSIONINFOA v = {};
    v.dwOSVersionInfoSize = sizeof v;
    v.dwPlatformId = platform;
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    strcpy(v.szCSDVersion, servicePack);
    return v;
}


}  // namespace

TEST(ServicePack, NumberAfterPackAndOneSeparator) {
    const struct {
        const char* text;
        uint32_t number;
    } cases[] = {
        {"Service Pack 6a", 6}, {"Service Pack 4", 4}, {"", 0},         {"Service Pack", 0},
        {"Pack", 0},            {"Pack7", 0},          {"Pack 12", 12},  {"Service Pack   3", 3},
        {"pack 5", 0},          {"Service Pack x9", 0}, {"Pack 99999999999", UINT32_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(c.number, ParseServicePack(c.text)) << c.text;
    EXPECT_EQ(0u, ParseServicePack(nullptr));
}

TEST(OperatingSystem, RefusesWindows95AndEarlyNt) {
    const struct {
        DWORD platform, major, minor;
        const char* servicePack;
        int accepted;
    } cases[] = {
        {1, 4, 0, "", 0},  {1, 4, 10, "", 1}, {1, 4, 90, "", 1},  {1, 3, 95, "", 0},
        {2, 4, 0, "Service Pack 3", 0},       {2, 4, 0, "Service Pack 4", 1},
        {2, 4, 0, "Service Pack 6a", 1},      {2, 4, 0, "", 0},
        {2, 3, 51, "Service Pack 5", 0},      {2, 5, 0, "", 1},    {2, 10, 0, "", 1},
        {0, 5, 0, "", 0},  {3, 10, 0, "", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.accepted, IsSupportedVersion(Version(c.platform, c.major, c.minor, c.servicePack)))
            << c.platform << " " << c.major << "." << c.minor << " " << c.servicePack;
    }
    OSVERSIONINFOA unterminated = Version(2, 4, 0, "");
    memset(unterminated.szCSDVersion, 'P', sizeof unterminated.szCSDVersion);  // no terminator at all
    EXPECT_EQ(0, IsSupportedVersion(unterminated));
    EXPECT_EQ(1, IsSupportedOs());  // this platform reports a current Windows
}

TEST(Lifecycle, StopBeforeAnyStartDoesNothing) {
    EXPECT_EQ(0, SPUninitialize());
    EXPECT_EQ(0, SPInitialize(nullptr, nullptr));  // no record to fill: refused
}
