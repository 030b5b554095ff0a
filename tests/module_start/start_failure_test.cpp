// A start that fails part-way leaves nothing behind: no thread, no handle, no published run, and
// the event it had handed out is closed. Each failure is caused here, so the test does not lean
// on anything the platform lacks.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "box_in_process.h"
#include "locked_records.h"
#include "module_test_support.h"
#include "pdh_stand_in.h"
#include "process_counts.h"

namespace {

constexpr wchar_t ENGLISH_LIST_KEY[] = L"Software\\KelvrimTests\\Perflib\\009";

class StartFailure : public ::testing::Test {
protected:
    void SetUp() override {
        SettingsKey::Remove();
        ASSERT_TRUE(pdh_stand_in::Reset());
    }
    void TearDown() override {
        EXPECT_TRUE(pdh_stand_in::RestoreCounterLists());
        SettingsKey::Remove();
    }
};

}  // namespace

TEST_F(StartFailure, LeavesNothingRunningWhereverItFails) {
    ModuleStateGuard guard;
    // What lasts until the process ends (the lock, what the platform sets up for a first window
    // or message box) comes with the first round; the second must leave the counts as they were.
    DWORD threads = 0, handles = 0;

    const struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* box;  // the caption of the box the failure shows, or null
    } cases[] = {
        {"an English list without \"Memory\"",
         [] {
             const wchar_t list[] = L"1\0" L"1847\0" L"28\0" L"Page Faults/sec\0";
             RegSetKeyValueW(HKEY_LOCAL_MACHINE, ENGLISH_LIST_KEY, L"Counter", REG_MULTI_SZ, list, sizeof list);
         },
         nullptr},
        {"a stored limit that cannot be read, once both workers run",
         [] {
             for (const SensorConstants& sensor : sensorConstants)
                 for (const char* suffix : {"WH", "FH"}) SettingsKey::SetDword((std::string(sensor.name) + suffix).c_str(), 50);
             const ULONGLONG tooWide = 95;
             SettingsKey::SetRaw("PageFileUsageFH", REG_QWORD, &tooWide, sizeof tooWide);
         },
         "Error"},
    };
    for (int round = 0; round < 2; ++round)
    for (const Case& c : cases) {
        if (round == 1 && &c == cases) {
            threads = ThreadCount();
            handles = ModuleKindHandleCount();
        }
        c.arrange();
        std::unique_ptr<BoxAnswerer> answerer(c.box ? new BoxAnswerer(c.box) : nullptr);
        SPStartupInfo info = {0, 0xABCD, nullptr};
        SPGlobalProperty settings = {3, 2000};
        EXPECT_EQ(0, SPInitialize(&settings, &info)) << c.what;
        if (answerer) {
            EXPECT_TRUE(answerer->Answered()) << c.what;
        }
        answerer.reset();
        EXPECT_EQ(5u, info.startupCode) << c.what;
        EXPECT_EQ(0xABCDu, info.hostData) << c.what;
        // The event it had handed out is closed, and its value gone from the host's record: a
        // host that closed it in turn could close an object of its own by then.
        EXPECT_EQ(nullptr, info.hostEvent) << c.what;
        EXPECT_EQ(nullptr, Locked()->run) << c.what;
        if (round == 1) {
            EXPECT_EQ(threads, ThreadCount()) << c.what;
            EXPECT_EQ(handles, ModuleKindHandleCount()) << c.what;
        }
        EXPECT_EQ(0, SPUninitialize()) << c.what;
        EXPECT_TRUE(pdh_stand_in::RestoreCounterLists());
        SettingsKey::Remove();
    }

    // The lock exists from the first call on, whatever the outcome.
    UniqueHandle lock(OpenMutexA(SYNCHRONIZE, FALSE, MODULE_LOCK_NAME));
    EXPECT_TRUE(lock);
}
