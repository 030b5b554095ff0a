// The counter-library stand-in, seen the way the sensor module and its hosts see it: Perflib
// opens, counter paths, one-second windows, and the switches tests use.
#include <gtest/gtest.h>
#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <string>
#include <vector>

#include "pdh_stand_in.h"
#include "probe.h"

namespace {

constexpr wchar_t PERFLIB[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\";

// Each test starts from the machine's real rate with nothing counted, and leaves it so.
class StandIn : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pdh_stand_in::Reset()); }
    void TearDown() override { pdh_stand_in::Reset(); }
};

// The "Counter" list of a Perflib language key as a module reads it; empty when it cannot.
std::wstring ReadList(const std::wstring& language) {
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (PERFLIB + language).c_str(), 0, KEY_ALL_ACCESS,
                      key.put()) != ERROR_SUCCESS)
        return std::wstring();
    DWORD bytes = 0;
    if (RegQueryValueExW(key.get(), L"Counter", nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return std::wstring();
    std::wstring list(bytes / sizeof(wchar_t), L'\0');
    if (RegQueryValueExW(key.get(), L"Counter", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&list[0]), &bytes) != ERROR_SUCCESS)
        return std::wstring();
    return list;
}

std::vector<std::wstring> Strings(const std::wstring& list) {
    std::vector<std::wstring> strings;
    for (size_t at = 0; at < list.size(); at += strings.back().size() + 1)
        strings.emplace_back(list.c_str() + at);
    return strings;
}

std::wstring NameAt(const std::vector<std::wstring>& strings, const wchar_t* index) {
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
        if (strings[i] == index) return strings[i + 1];
    return L"<none>";
}

std::wstring BesideMe(const wchar_t* file) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + file;
}

// Runs a program to its end within a bound; its exit code, or ~0u when it did not end in time.
DWORD RunBounded(const std::wstring& commandLine, DWORD boundMs) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return ~0u;
    UniqueHandle handle(process.hProcess), thread(process.hThread);
    DWORD code = ~0u;
    if (WaitForSingleObject(handle.get(), boundMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(handle.get(), &code);
    else
        TerminateProcess(handle.get(), 1);
    return code;
}

DWORD ProbeResult(const wchar_t* name) {
    DWORD value = ~0u, bytes = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, PROBE_RESULTS_KEY, name, RRF_RT_REG_DWORD, nullptr, &value,
                 &bytes);
    return value;
}

// A query with the page-fault counter, closed at the end of the scope.
struct PageFaultQuery {
    PDH_HQUERY query = nullptr;
    PDH_HCOUNTER counter = nullptr;
    PageFaultQuery() {
        EXPECT_EQ(ERROR_SUCCESS, PdhOpenQueryA(nullptr, 0, &query));
        EXPECT_EQ(ERROR_SUCCESS, PdhAddCounterW(query, L"\\Memory\\Page Faults/sec", 0, &counter));
    }
    ~PageFaultQuery() { PdhCloseQuery(query); }
    // One window as the module's sampler takes it, without its one-second wait; the status of
    // the first failing call.
    PDH_STATUS Window(PDH_FMT_COUNTERVALUE& value, DWORD format = PDH_FMT_LONG) {
        PDH_STATUS status = PdhCollectQueryData(query);
        if (status == ERROR_SUCCESS) status = PdhCollectQueryData(query);
        if (status == ERROR_SUCCESS)
            status = PdhGetFormattedCounterValue(counter, format, nullptr, &value);
        return status;
    }
};

}  // namespace

TEST_F(StandIn, PerflibOpensGiveRealisticLists) {
    const struct {
        const wchar_t* language;
        const wchar_t* memory;
        const wchar_t* pageFaults;
    } cases[] = {
        {L"009", L"Memory", L"Page Faults/sec"},
        {L"007", L"Speicher", L"Seitenfehler/s"},
    };
    size_t englishStrings = 0;
    for (const auto& c : cases) {
        const std::wstring list = ReadList(c.language);
        EXPECT_GT(list.size() * 2, 200u * 1024) << c.language;
        EXPECT_LT(list.size() * 2, 1024u * 1024) << c.language;  // read whole on the first try
        ASSERT_GE(list.size(), 2u);
        EXPECT_EQ(std::wstring(2, L'\0'), list.substr(list.size() - 2));  // the closing empty string

        std::vector<std::wstring> strings = Strings(list);
        ASSERT_GT(strings.size(), 7u);
        const std::vector<std::wstring> head(strings.begin(), strings.begin() + 6);
        EXPECT_EQ((std::vector<std::wstring>{L"1", L"1847", L"2", L"System", L"4", c.memory}), head);
        EXPECT_EQ(c.pageFaults, NameAt(strings, L"28"));
        EXPECT_TRUE(strings.back().empty());
        // The module pairs the two lists by position.
        if (!englishStrings) englishStrings = strings.size();
        EXPECT_EQ(englishStrings, strings.size()) << c.language;
    }
}

TEST_F(StandIn, OnlyOpensUnderPerflibAreRedirected) {
    const std::wstring english = ReadList(L"009");
    ASSERT_FALSE(english.empty());

    // Any case, either character set.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "software\\microsoft\\windows nt\\currentversion\\perflib\\009", 0,
                            KEY_ALL_ACCESS, &key));
    DWORD bytes = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Counter", nullptr, nullptr, nullptr, &bytes));
    RegCloseKey(key);
    EXPECT_EQ(english.size(), bytes);  // one byte a character: the names are ASCII

    // A language with no list is missing, as on a system without it.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(PERFLIB) + L"00C").c_str(), 0,
                            KEY_READ, &key));

    // Opens relative to another key, and of other paths, reach the platform's own keys: its
    // Perflib stub is not the stand-in list.
    RegKey perflib, stub;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib", 0,
                            KEY_READ, perflib.put()));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(perflib.get(), L"009", 0, KEY_READ, stub.put()));
    bytes = 0;
    RegQueryValueExW(stub.get(), L"Counter", nullptr, nullptr, nullptr, &bytes);
    EXPECT_LT(bytes, 4096u);
}

TEST_F(StandIn, AModuleLoadedLaterReadsTheListsToo) {
    HMODULE probe = LoadLibraryW(L"pdh_probe.dll");
    ASSERT_NE(nullptr, probe);
    auto listBytes = reinterpret_cast<ProbeCounterListBytesFn>(
        reinterpret_cast<void*>(GetProcAddress(probe, "ProbeCounterListBytes")));
    ASSERT_NE(nullptr, listBytes);
    EXPECT_EQ(ReadList(L"009").size() * 2, listBytes(L"009"));
    EXPECT_EQ(ReadList(L"007").size() * 2, listBytes(L"007"));
    FreeLibrary(probe);
}

TEST_F(StandIn, AHostLoadingTheModuleAtRunTimeGetsListsAndRates) {
    // The host process does not import the counter library; the module it loads does.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, PROBE_RESULTS_KEY);
    ASSERT_TRUE(pdh_stand_in::SetRates({777}));
    ASSERT_EQ(0u, RunBounded(L"\"" + BesideMe(L"pdh_probe_host.exe") + L"\" load", 30000));
    EXPECT_EQ(1u, ProbeResult(L"Done"));
    EXPECT_EQ(ReadList(L"009").size() * 2, ProbeResult(L"ListBytes"));
    EXPECT_EQ(777u, ProbeResult(L"Rate"));
    EXPECT_EQ(1u, ProbeResult(L"StandIn"));
    EXPECT_EQ(1u, pdh_stand_in::WindowCount());  // counted across processes
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, PROBE_RESULTS_KEY);
}

TEST_F(StandIn, ChangedListsCanBeRestored) {
    const std::wstring english = ReadList(L"009");
    const std::wstring path = std::wstring(pdh_stand_in::LISTS_KEY) + L"\\009";
    const wchar_t tiny[] = L"1\0" L"1847\0" L"4\0" L"Arbeitsspeicher\0" L"28\0" L"Seitenfehler/s\0";
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"Counter",
                                             REG_MULTI_SZ, tiny, sizeof tiny));
    EXPECT_EQ(sizeof tiny, ReadList(L"009").size() * 2);

    // The counter is known by whatever name the lists give it.
    PDH_HQUERY query;
    PDH_HCOUNTER counter;
    ASSERT_EQ(ERROR_SUCCESS, PdhOpenQueryA(nullptr, 0, &query));
    EXPECT_EQ(ERROR_SUCCESS,
              PdhAddCounterW(query, L"\\Arbeitsspeicher\\Seitenfehler/s", 0, &counter));
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_CSTATUS_NO_COUNTER),
              PdhAddCounterW(query, L"\\Arbeitsspeicher\\Page Faults/sec", 0, &counter));
    PdhCloseQuery(query);

    ASSERT_TRUE(pdh_stand_in::RestoreCounterLists());
    EXPECT_EQ(english, ReadList(L"009"));
}

TEST_F(StandIn, CounterPathsAreMadeAsTheRealLibraryMakesThem) {
    wchar_t object[] = L"Process", counter[] = L"Page Faults/sec", instance[] = L"svchost",
            parent[] = L"services", machine[] = L"HOST";
    const struct {
        wchar_t* machine;
        wchar_t* instance;
        wchar_t* parent;
        DWORD index;
        const wchar_t* path;
    } cases[] = {
        {nullptr, nullptr, nullptr, static_cast<DWORD>(-1), L"\\Process\\Page Faults/sec"},
        {nullptr, nullptr, parent, 3, L"\\Process\\Page Faults/sec"},  // no instance: no index
        {nullptr, instance, nullptr, static_cast<DWORD>(-1), L"\\Process(svchost)\\Page Faults/sec"},
        {nullptr, instance, nullptr, 0, L"\\Process(svchost)\\Page Faults/sec"},
        {nullptr, instance, parent, 2, L"\\Process(services/svchost#2)\\Page Faults/sec"},
        {machine, nullptr, nullptr, 0, L"\\\\HOST\\Process\\Page Faults/sec"},
    };
    for (const auto& c : cases) {
        PDH_COUNTER_PATH_ELEMENTS_W elements = {c.machine, object, c.instance, c.parent, c.index,
                                                counter};
        wchar_t path[260];
        DWORD size = 260;
        EXPECT_EQ(ERROR_SUCCESS, PdhMakeCounterPathW(&elements, path, &size, 0)) << c.path;
        EXPECT_STREQ(c.path, path);
        EXPECT_EQ(wcslen(c.path) + 1, size);
    }

    // Too small a buffer: nothing written, the size needed reported.
    PDH_COUNTER_PATH_ELEMENTS_W elements = {nullptr, object, nullptr, nullptr, 0, counter};
    wchar_t path[8] = L"keep";
    DWORD size = 8;
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_MORE_DATA), PdhMakeCounterPathW(&elements, path, &size, 0));
    EXPECT_EQ(25u, size);
    EXPECT_STREQ(L"keep", path);
}

TEST_F(StandIn, OnlyTheMemoryPageFaultCounterIsServed) {
    // The path as the module builds it: names from the lists, through the path maker.
    const std::vector<std::wstring> english = Strings(ReadList(L"009"));
    std::wstring memory = NameAt(english, L"4"), pageFaults = NameAt(english, L"28");
    PDH_COUNTER_PATH_ELEMENTS_W elements = {nullptr, &memory[0], nullptr, nullptr,
                                            static_cast<DWORD>(-1), &pageFaults[0]};
    wchar_t built[260];
    DWORD size = 260;
    ASSERT_EQ(ERROR_SUCCESS, PdhMakeCounterPathW(&elements, built, &size, 0));

    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD computerLength = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(computer, &computerLength));
    const std::wstring local = std::wstring(L"\\\\") + computer + L"\\Memory\\Page Faults/sec";

    const struct {
        std::wstring path;
        DWORD status;
    } cases[] = {
        {built, ERROR_SUCCESS},
        {L"\\memory\\page faults/sec", ERROR_SUCCESS},
        {L"\\Speicher\\Seitenfehler/s", ERROR_SUCCESS},
        {local, ERROR_SUCCESS},
        {L"\\\\ELSEWHERE\\Memory\\Page Faults/sec", PDH_CSTATUS_NO_MACHINE},
        {L"\\Memory\\Pages/sec", PDH_CSTATUS_NO_COUNTER},
        {L"\\Speicher\\Page Faults/sec", PDH_CSTATUS_NO_COUNTER},
        {L"\\Processor\\Page Faults/sec", PDH_CSTATUS_NO_OBJECT},
        {L"\\Memory(0)\\Page Faults/sec", PDH_CSTATUS_NO_INSTANCE},
        {L"Memory\\Page Faults/sec", PDH_CSTATUS_BAD_COUNTERNAME},
        {L"\\Memory", PDH_CSTATUS_BAD_COUNTERNAME},
    };
    PDH_HQUERY query;
    ASSERT_EQ(ERROR_SUCCESS, PdhOpenQueryA(nullptr, 0, &query));
    for (const auto& c : cases) {
        PDH_HCOUNTER counter = nullptr;
        EXPECT_EQ(static_cast<PDH_STATUS>(c.status), PdhAddCounterW(query, c.path.c_str(), 0, &counter))
            << std::string(c.path.begin(), c.path.end());
    }
    EXPECT_EQ(ERROR_SUCCESS, PdhCloseQuery(query));
}

TEST_F(StandIn, HandlesAreCheckedAsTheRealLibraryChecksThem) {
    PDH_HQUERY query;
    PDH_HCOUNTER counter;
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_ARGUMENT), PdhOpenQueryW(nullptr, 0, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, PdhOpenQueryW(nullptr, 0, &query));
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_NO_DATA), PdhCollectQueryData(query));  // no counters yet
    ASSERT_EQ(ERROR_SUCCESS, PdhAddCounterW(query, L"\\Memory\\Page Faults/sec", 0, &counter));
    EXPECT_EQ(ERROR_SUCCESS, PdhRemoveCounter(counter));
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_HANDLE), PdhRemoveCounter(counter));
    EXPECT_EQ(ERROR_SUCCESS, PdhCloseQuery(query));
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_HANDLE), PdhCloseQuery(query));
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_HANDLE), PdhCollectQueryData(query));
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_HANDLE),
              PdhAddCounterW(query, L"\\Memory\\Page Faults/sec", 0, &counter));
    PDH_FMT_COUNTERVALUE value;
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_HANDLE),
              PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, nullptr, &value));
    EXPECT_EQ(0u, pdh_stand_in::CollectCount());
}

TEST_F(StandIn, WindowsReportTheSetRatesAndTheLastRepeats) {
    ASSERT_TRUE(pdh_stand_in::SetRates({10, 20, 4000000000u}));
    PageFaultQuery q;
    const LONG expected[] = {10, 20, static_cast<LONG>(4000000000u), static_cast<LONG>(4000000000u)};
    uint32_t sum = 0;
    for (LONG rate : expected) {
        PDH_FMT_COUNTERVALUE value = {};
        ASSERT_EQ(ERROR_SUCCESS, q.Window(value));
        EXPECT_EQ(static_cast<DWORD>(PDH_CSTATUS_VALID_DATA), value.CStatus);
        EXPECT_EQ(rate, value.longValue);
        sum += static_cast<uint32_t>(value.longValue);
    }
    EXPECT_EQ(10u + 20u + 4000000000u + 4000000000u, sum);  // exact in 32-bit arithmetic
    EXPECT_EQ(4u, pdh_stand_in::WindowCount());
    EXPECT_EQ(8u, pdh_stand_in::CollectCount());

    // Asking again about the same window neither moves on nor counts.
    PDH_FMT_COUNTERVALUE value = {};
    DWORD type = 0;
    ASSERT_EQ(ERROR_SUCCESS, PdhGetFormattedCounterValue(q.counter, PDH_FMT_LARGE, &type, &value));
    EXPECT_EQ(4000000000LL, value.largeValue);
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_COUNTER), type);
    EXPECT_EQ(4u, pdh_stand_in::WindowCount());

    // Rates set anew start over once the count is reset.
    ASSERT_TRUE(pdh_stand_in::Reset());
    ASSERT_TRUE(pdh_stand_in::SetRates({5}));
    ASSERT_EQ(ERROR_SUCCESS, q.Window(value));
    EXPECT_EQ(5, value.longValue);
}

TEST_F(StandIn, ARateNeedsTwoCollections) {
    ASSERT_TRUE(pdh_stand_in::SetRates({10}));
    PageFaultQuery q;
    PDH_FMT_COUNTERVALUE value = {};
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_DATA),
              PdhGetFormattedCounterValue(q.counter, PDH_FMT_LONG, nullptr, &value));
    ASSERT_EQ(ERROR_SUCCESS, PdhCollectQueryData(q.query));
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_DATA),
              PdhGetFormattedCounterValue(q.counter, PDH_FMT_LONG, nullptr, &value));
    EXPECT_EQ(static_cast<DWORD>(PDH_CSTATUS_INVALID_DATA), value.CStatus);
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_ARGUMENT),
              PdhGetFormattedCounterValue(q.counter, PDH_FMT_LONG, nullptr, nullptr));
    EXPECT_EQ(0u, pdh_stand_in::WindowCount());
}

TEST_F(StandIn, CollectionFailsFromTheSetCallOn) {
    ASSERT_TRUE(pdh_stand_in::SetRates({10}));
    ASSERT_TRUE(pdh_stand_in::FailCollectFrom(3));
    PageFaultQuery q;
    PDH_FMT_COUNTERVALUE value = {};
    EXPECT_EQ(ERROR_SUCCESS, q.Window(value));  // calls 1 and 2
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_NO_DATA), PdhCollectQueryData(q.query));
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_NO_DATA), PdhCollectQueryData(q.query));
    EXPECT_EQ(1u, pdh_stand_in::WindowCount());
    EXPECT_EQ(4u, pdh_stand_in::CollectCount());

    ASSERT_TRUE(pdh_stand_in::FailCollectFrom(0));
    EXPECT_EQ(ERROR_SUCCESS, PdhCollectQueryData(q.query));
}

TEST_F(StandIn, WithoutRatesTheMachinesRealRateIsReported) {
    PageFaultQuery q;
    ASSERT_EQ(ERROR_SUCCESS, PdhCollectQueryData(q.query));
    // Fresh pages fault when first touched, so the window cannot be empty.
    const SIZE_T bytes = 32 * 1024 * 1024;
    BYTE* block = static_cast<BYTE*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, block);
    for (SIZE_T at = 0; at < bytes; at += 4096) block[at] = 1;
    Sleep(1000);
    VirtualFree(block, 0, MEM_RELEASE);
    ASSERT_EQ(ERROR_SUCCESS, PdhCollectQueryData(q.query));
    PDH_FMT_COUNTERVALUE value = {};
    ASSERT_EQ(ERROR_SUCCESS, PdhGetFormattedCounterValue(q.counter, PDH_FMT_LONG, nullptr, &value));
    EXPECT_GT(value.longValue, 0);
    EXPECT_LT(value.longValue, 100000000);  // no machine faults a hundred million pages a second
    EXPECT_EQ(1u, pdh_stand_in::WindowCount());
}

TEST_F(StandIn, AServiceGetsTheStandInThroughThePerProgramSetting) {
    // A service is started by the service manager, not by the test: only the program's own
    // setting (and the stand-in beside it) can give it the stand-in.
    ASSERT_TRUE(pdh_stand_in::UseForProgram(L"pdh_probe_host.exe"));
    ASSERT_TRUE(pdh_stand_in::SetRates({4242}));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, PROBE_RESULTS_KEY);

    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    if (ServiceHandle stale{OpenServiceW(manager.get(), PROBE_SERVICE, SERVICE_ALL_ACCESS)})
        DeleteService(stale.get());
    const std::wstring command = L"\"" + BesideMe(L"pdh_probe_host.exe") + L"\" service";
    ServiceHandle service(CreateServiceW(manager.get(), PROBE_SERVICE, PROBE_SERVICE,
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                         command.c_str(), nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
    ASSERT_TRUE(service);
    EXPECT_TRUE(StartServiceW(service.get(), 0, nullptr));
    SERVICE_STATUS status = {};
    for (int i = 0; i < 300; ++i) {
        if (ProbeResult(L"Done") == 1 && QueryServiceStatus(service.get(), &status) &&
            status.dwCurrentState == SERVICE_STOPPED)
            break;
        Sleep(100);
    }
    EXPECT_EQ(1u, ProbeResult(L"Done"));
    EXPECT_EQ(ReadList(L"009").size() * 2, ProbeResult(L"ListBytes"));
    EXPECT_EQ(4242u, ProbeResult(L"Rate"));
    EXPECT_EQ(1u, ProbeResult(L"StandIn"));

    // The manager may not have seen it stop within the bound: end the process by its id.
    if (!QueryServiceStatus(service.get(), &status) || status.dwCurrentState != SERVICE_STOPPED) {
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, ProbeResult(L"ProcessId"))) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
    DeleteService(service.get());
    pdh_stand_in::StopUsingForProgram(L"pdh_probe_host.exe");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, PROBE_RESULTS_KEY);
}
