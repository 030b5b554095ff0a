// A host whose window station no one can see (a service's): the module's one box would wait
// there for ever, so its text goes to the Application event log instead and the start returns.
// Wine's event log keeps nothing that could be read back (OpenEventLog and ReadEventLog are
// stubs); what its ReportEvent receives it traces on its error channel, which no program can read
// from inside. event_log_test.sh runs this test with that trace on and looks for the text this
// test prints.
#include <gtest/gtest.h>

#include <string>

#include "module_host.h"
#include "pdh_stand_in.h"

using namespace host;

namespace {

constexpr DWORD HOST_BOUND_MS = 60000;

// The system's text for an error, up to its line end, as the module shows or logs it.
std::string SystemText(DWORD error) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0x400, text,
                   sizeof text, nullptr);
    std::string line(text);
    return line.substr(0, line.find_first_of("\r\n"));
}

}  // namespace

TEST(HiddenWindowStation, AnUnreadableLimitIsLoggedInsteadOfShownAndTheStartFails) {
    ASSERT_TRUE(pdh_stand_in::Reset());
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    const ULONGLONG eightBytes = 90;  // too wide for a limit: the read fails with ERROR_MORE_DATA
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "PageFileUsageWH", REG_QWORD, &eightBytes, 8));

    const ProgramRun run = RunBeside("hidden_station_host.exe", "", HOST_BOUND_MS);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);

    ASSERT_TRUE(run.ended) << "the start hung on a box no one can see\n" << run.output;
    EXPECT_NE(std::string::npos, run.output.find("window station visible: no")) << run.output;
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("SPInitialize returned 0; startupCode 5; hostEvent 00000000"))
        << run.output;
    printf("expected event text: %s\n", SystemText(ERROR_MORE_DATA).c_str());
}
