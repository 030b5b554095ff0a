// The operating-system check that guards a start.
#include "os_check.h"

#include <mbstring.h>
#include <string.h>

uint32_t ParseServicePack(const char* text) {
    if (!text) return 0;
    const unsigned char* pack = _mbsstr(reinterpret_cast<const unsigned char*>(text),
                                        reinterpret_cast<const unsigned char*>("Pack"));
    if (!pack || pack[4] == '\0') return 0;  // nothing after "Pack" to skip over
    const unsigned char* p = pack + 5;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    uint32_t number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint32_t next = number * 10 + (*p - '0');
        number = next / 10 == number ? next : UINT32_MAX;
    }
    return number;
}

int IsSupportedVersion(const OSVERSIONINFOA& version) {
    switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32_WINDOWS:
        return version.dwMajorVersion > 4 || (version.dwMajorVersion == 4 && version.dwMinorVersion > 0);
    case VER_PLATFORM_WIN32_NT: {
        char servicePack[sizeof version.szCSDVersion + 1] = {};
        memcpy(servicePack, version.szCSDVersion, sizeof version.szCSDVersion);
        const uint32_t pack = ParseServicePack(servicePack);
        return version.dwMajorVersion > 4 || (version.dwMajorVersion == 4 && pack >= 4);
    }
    default:
        return 0;
    }
}

int IsSupportedOs() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return IsSupportedVersion(version);
}
