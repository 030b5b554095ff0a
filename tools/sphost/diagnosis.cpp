// The steps of the module's start, repeated one by one; each says what it found.
#include "diagnosis.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "../../common/error_text.h"
#include "../../common/handles.h"
#include "../../common/settings_key.h"
#include "counter_names.h"
#include "counter_query.h"
#include "os_check.h"
#include "pdh_status.h"
#include "sensor_table.h"
#include "timer_window.h"

namespace {

struct Outcome {
    bool ok;
    std::string said;  // what the step found
    std::string mend;  // for a failure: the usual mend, where there is one
};

// What the counter-name step hands on: the names the counter is added under. When they cannot be
// translated the English ones are tried, which is what an English system would use.
struct Findings {
    wchar_t objectName[MAX_PATH] = L"Memory";
    wchar_t counterName[MAX_PATH] = L"Page Faults/sec";
    bool translated = false;
};

constexpr char REBUILD_COUNTERS[] =
    "rebuild the performance counters with \"lodctr /R\" from an elevated prompt, then restart the host service";
constexpr DWORD THREAD_BOUND_MS = 5000;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Error(DWORD error) { return ErrorText(error).text; }

// In the console's code page, where the names of a localized system can be read.
std::string Narrow(const wchar_t* text) {
    const UINT codePage = GetConsoleOutputCP() ? GetConsoleOutputCP() : CP_ACP;
    char narrow[MAX_PATH * 2] = {};
    if (!WideCharToMultiByte(codePage, 0, text, -1, narrow, sizeof narrow - 1, nullptr, nullptr)) return "?";
    return narrow;
}

std::string ListName(uint32_t language) {
    wchar_t name[4];
    LanguageKeyName(language, name);
    return "Perflib\\" + Narrow(name);
}

Outcome WindowsVersion(Findings&) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return {false, "the version cannot be read: " + Error(GetLastError()), ""};
    char servicePack[sizeof version.szCSDVersion + 1] = {};
    memcpy(servicePack, version.szCSDVersion, sizeof version.szCSDVersion);
    const std::string said = Format("%lu.%lu build %lu%s%s", version.dwMajorVersion, version.dwMinorVersion,
                                    version.dwBuildNumber & 0xFFFF, servicePack[0] ? ", " : "", servicePack);
    if (IsSupportedVersion(version)) return {true, said, ""};
    return {false, said + ", which the module refuses: it needs Windows NT 4.0 with Service Pack 4, Windows 98 or a later Windows",
            "run the module on a Windows it supports"};
}

Outcome ListUnread(const std::string& list, LONG status) {
    if (status == ERROR_ACCESS_DENIED)
        return {false, list + " cannot be opened with full access: " + Error(status),
                "run sphost from an elevated prompt, as the host service runs with full access"};
    return {false, list + " cannot be read: " + Error(status), REBUILD_COUNTERS};
}

Outcome CounterNames(Findings& found) {
    CounterNameLists lists;
    const bool read = ReadCounterNameLists(lists);
    const std::string english = ListName(ENGLISH_LANGUAGE);
    if (lists.english.status != ERROR_SUCCESS) return ListUnread(english + " (English)", lists.english.status);
    if (lists.language == 0)
        return {false, "the system's language cannot be told from the version information of user.exe in the system folder", ""};
    const bool localized = lists.language != ENGLISH_LANGUAGE;
    const std::string list = localized ? ListName(lists.language) : english;
    const std::string about = localized ? Format("the system's language, 0x%02X", lists.language)
                                        : std::string("English, the system's language");
    if (!read) return ListUnread(list + " (" + about + ")", lists.localized.status);
    const CounterList& used = localized ? lists.localized : lists.english;

    const wchar_t* const englishNames[2] = {L"Memory", L"Page Faults/sec"};
    wchar_t* const names[2] = {found.objectName, found.counterName};
    for (int i = 0; i < 2; ++i) {
        wchar_t name[MAX_PATH] = {};
        uint32_t capacity = MAX_PATH;
        if (!TranslateCounterName(lists, englishNames[i], name, &capacity)) {
            ListString unused;
            const bool inEnglish = WalkCounterLists(lists.english.chars(), lists.english.length(), lists.english.chars(),
                                                    lists.english.length(), englishNames[i], unused);
            const std::string what =
                inEnglish ? Format("\"%s\" has no name at its place in %s (%s; %lu bytes)", Narrow(englishNames[i]).c_str(),
                                   list.c_str(), about.c_str(), used.bytes)
                          : Format("\"%s\" is not in %s (%lu bytes)", Narrow(englishNames[i]).c_str(), english.c_str(),
                                   lists.english.bytes);
            return {false, what, REBUILD_COUNTERS};
        }
        if (capacity != MAX_PATH)
            return {false, Format("the name of \"%s\" in %s (%s) has %u characters, more than a start takes (%d)",
                                  Narrow(englishNames[i]).c_str(), list.c_str(), about.c_str(), capacity - 1, MAX_PATH - 1),
                    REBUILD_COUNTERS};
        wcscpy(names[i], name);
    }
    found.translated = true;
    return {true,
            Format("\"Memory\" is \"%s\" and \"Page Faults/sec\" is \"%s\" in %s (%s; %lu bytes)",
                   Narrow(found.objectName).c_str(), Narrow(found.counterName).c_str(), list.c_str(), about.c_str(),
                   used.bytes),
            ""};
}

std::string PdhStatusText(PDH_STATUS status) {
    // Some failures come back as plain Win32 errors.
    if (static_cast<DWORD>(status) < 0x10000) return Error(static_cast<DWORD>(status));
    const char* name = PdhStatusName(status);
    return Format("PDH status 0x%08lX (%s)", static_cast<unsigned long>(status), name ? name : "not a known name");
}

Outcome PerformanceCounter(Findings& found) {
    const std::string path = "\\" + Narrow(found.objectName) + "\\" + Narrow(found.counterName) +
                             (found.translated ? "" : " (the English names, as they could not be translated)");
    PDH_STATUS status = ERROR_SUCCESS;
    CounterQuery query = OpenCounterQuery(&status);
    if (!query) return {false, "a query cannot be opened: " + PdhStatusText(status), REBUILD_COUNTERS};
    const PDH_HCOUNTER counter = AddCounter(query.get(), found.objectName, found.counterName, &status);
    if (!counter) return {false, path + " cannot be added to a query: " + PdhStatusText(status), REBUILD_COUNTERS};
    RemoveCounter(counter);
    return {true, path + " added to a query", ""};
}

const char* TypeName(DWORD type) {
    static const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    return type < sizeof names / sizeof names[0] ? names[type] : "a type of no name";
}

// The value's first bytes in hexadecimal, as reg.exe shows binary data.
std::string Bytes(HKEY key, const char* name) {
    BYTE data[16] = {};
    DWORD size = sizeof data;
    const LONG read = RegQueryValueExA(key, name, nullptr, nullptr, data, &size);
    if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA) return "";
    if (read == ERROR_MORE_DATA) size = sizeof data;
    std::string text;
    for (DWORD i = 0; i < size; ++i) text += Format("%02X", data[i]);
    return read == ERROR_MORE_DATA ? text + "..." : text;
}

Outcome Settings(Findings&) {
    const std::string keyName = std::string("HKLM\\") + SETTINGS_KEY;
    RegKey key;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_ALL_ACCESS, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) return {true, keyName + " is absent: the start writes the default limits", ""};
    if (opened != ERROR_SUCCESS)
        return {true, keyName + " cannot be opened with full access (" + Error(opened) +
                          "): the start writes the default limits, where it may", ""};

    // As the start does: a key holding no limit gets the defaults; otherwise every limit is read
    // into 4 bytes, in table order, and the first that cannot be read fails the start.
    bool anyLimit = false;
    for (const SensorConstants& sensor : sensorConstants)
        for (const char* suffix : LIMIT_SUFFIX) {
            char name[MAX_PATH];
            LimitValueName(sensor.name, suffix, name);
            anyLimit |= RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND;
        }
    if (!anyLimit) return {true, keyName + " holds no limits: the start writes the default limits", ""};

    std::string said = keyName + ":";
    for (const SensorConstants& sensor : sensorConstants)
        for (int i = 0; i < 2; ++i) {
            char name[MAX_PATH];
            LimitValueName(sensor.name, LIMIT_SUFFIX[i], name);
            DWORD type = REG_NONE, size = 0;
            RegQueryValueExA(key.get(), name, nullptr, &type, nullptr, &size);
            uint32_t limit = 0;
            DWORD limitSize = sizeof limit;
            const LONG read = RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&limit), &limitSize);
            if (read == ERROR_SUCCESS) {
                said += Format(" \"%s\" %s of %lu bytes, %u;", name, TypeName(type), size, limit);
                continue;
            }
            const uint32_t fallback = LIMIT_SLOT[i] == SP_SLOT_WH ? sensor.defaultWH : sensor.defaultFH;
            const std::string mend = Format("store \"%s\" as a REG_DWORD, such as its default: reg add \"%s\" /v \"%s\" /t REG_DWORD /d %u /f",
                                            name, keyName.c_str(), name, fallback);
            if (read == ERROR_FILE_NOT_FOUND)
                return {false, Format("%s: \"%s\" is absent, while other limits are there (%s)", keyName.c_str(), name,
                                      Error(read).c_str()),
                        mend};
            const std::string bytes = Bytes(key.get(), name);
            return {false, Format("%s: \"%s\" holds %s of %lu bytes%s%s%s (%s)", keyName.c_str(), name, TypeName(type), size,
                                  bytes.empty() ? "" : ", ", bytes.c_str(),
                                  read == ERROR_MORE_DATA ? ", more than the 4 bytes of a limit" : ", which cannot be read",
                                  Error(read).c_str()),
                    mend};
        }
    said.pop_back();
    return {true, said, ""};
}

std::string ObjectName(HANDLE object) {
    char name[256] = {};
    DWORD needed = 0;
    if (!object || !GetUserObjectInformationA(object, UOI_NAME, name, sizeof name - 1, &needed)) return "?";
    return name;
}

Outcome Window(Findings&) {
    const std::string desktop = ObjectName(GetProcessWindowStation()) + "\\" + ObjectName(GetThreadDesktop(GetCurrentThreadId()));
    // The module's class and window, under this program's instance: classes are per instance.
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    if (!RegisterTimerWindowClass(instance, DefWindowProcA))
        return {false, Format("the window class \"%s\" cannot be registered: %s", TIMER_WINDOW_CLASS,
                              Error(GetLastError()).c_str()),
                ""};
    const HWND window = CreateHiddenTimerWindow(instance);
    const DWORD error = GetLastError();
    if (window) DestroyWindow(window);
    UnregisterClassA(TIMER_WINDOW_CLASS, instance);
    if (!window)
        return {false, "a window cannot be created on the desktop " + desktop + ": " + Error(error), ""};
    return {true, Format("a hidden window of the class \"%s\" on the desktop %s", TIMER_WINDOW_CLASS, desktop.c_str()), ""};
}

DWORD WINAPI EndAtOnce(void*) { return 0; }

Outcome EventsAndThread(Findings&) {
    for (int i = 0; i < 2; ++i) {
        UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!event) return {false, "an event cannot be created: " + Error(GetLastError()), ""};
    }
    UniqueHandle thread(CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr));
    if (!thread) return {false, "a thread cannot be created: " + Error(GetLastError()), ""};
    if (WaitForSingleObject(thread.get(), THREAD_BOUND_MS) != WAIT_OBJECT_0)
        return {false, Format("a new thread did not run to its end within %lu ms", THREAD_BOUND_MS), ""};
    return {true, "two events and a thread", ""};
}

struct Step {
    const char* name;
    Outcome (*run)(Findings&);
};
// In the order of a start.
constexpr Step STEPS[] = {
    {"Windows version", WindowsVersion},
    {"counter names", CounterNames},
    {"performance counter", PerformanceCounter},
    {"settings", Settings},
    {"window", Window},
    {"events and thread", EventsAndThread},
};

}  // namespace

bool Diagnose() {
    printf("sphost: each step of the module's start that can be seen from outside, repeated (nothing is changed):\n");
    Findings found;
    const Step* failed = nullptr;
    std::string mend;
    for (const Step& step : STEPS) {
        const Outcome outcome = step.run(found);
        printf("  %-20s %s: %s\n", step.name, outcome.ok ? "ok" : "FAILED", outcome.said.c_str());
        fflush(stdout);
        if (!outcome.ok && !failed) {
            failed = &step;
            mend = outcome.mend;
        }
    }
    if (!failed) return true;
    printf("sphost: the start fails at the step \"%s\".%s%s\n", failed->name, mend.empty() ? "" : " The usual mend: ",
           mend.c_str());
    fflush(stdout);
    return false;
}
