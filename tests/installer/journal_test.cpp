// The journal's beginning: every service a step names must answer before anything changes. One
// that is not there is noted as such; one that cannot be asked stops the run there, rather than be
// taken for one that is not there and never be started again.
#include <gtest/gtest.h>

#include <string>

#include "journal.h"
#include "probes.h"
#include "registry_helpers.h"
#include "restricted_key.h"

namespace {

const std::string LOG_PATH = "C:\\KovPatchTests\\journal-test.log";

std::string BeginWith(const StepTable& table, bool* begun) {
    DeleteFileA(LOG_PATH.c_str());
    std::string text;
    {
        RunLog log;
        char why[256];
        EXPECT_TRUE(OpenRunLog(log, LOG_PATH.c_str(), why, sizeof why)) << why;
        Journal journal = {};
        *begun = BeginJournal(journal, log, table);
        // What was begun is left as a run would leave it once its steps were done.
        if (*begun) {
            EXPECT_TRUE(DiscardJournal(journal, log));
        }
    }
    text = sim::ReadFileBytes(LOG_PATH);
    DeleteFileA(LOG_PATH.c_str());
    return text;
}

TEST(Journal, AServiceThatCannotBeAskedStopsItBeforeAnyChange) {
    CreateDirectoryA("C:\\KovPatchTests", nullptr);
    DeleteKey(JOURNAL_KEY);
    // A name no service can have: the service manager refuses the question.
    const PatchStep unaskable[] = {{0x80000001, StepKind::Stop, "w3svc\\x"}};
    bool begun = true;
    const std::string log = BeginWith({unaskable, 1}, &begun);
    EXPECT_FALSE(begun);
    EXPECT_NE(log.find("save for a rollback: the state of w3svc\\x cannot be asked, error 123"), std::string::npos) << log;
    EXPECT_FALSE(sim::ValueExists(JOURNAL_KEY, JOURNAL_VALUE)) << "a journal was begun";

    // One that is not there is no obstacle: its state is that there is none.
    const PatchStep absent[] = {{0x80000001, StepKind::Stop, "KovPatchTestsNoSuchService"}};
    const std::string fine = BeginWith({absent, 1}, &begun);
    EXPECT_TRUE(begun) << fine;
    EXPECT_NE(fine.find("journal for a rollback: HKLM\\SOFTWARE\\TAVRIX\\NIVRAEnterprise\\KOVPatch; services "
                        "KovPatchTestsNoSuchService not found;"),
              std::string::npos)
        << fine;
}

// A journal that cannot be removed keeps the copy it names: the copy goes only after the journal.
// The key's DACL refuses what the removal needs (Wine enforces that much of a key's DACL).
TEST(Journal, AJournalThatCannotBeRemovedKeepsItsCopy) {
    const std::string agent = "C:\\KovPatchTests\\JournalAgent\\";
    CreateDirectoryA("C:\\KovPatchTests", nullptr);
    CreateDirectoryA(agent.c_str(), nullptr);
    ASSERT_TRUE(sim::WriteFileBytes(agent + "kelvrim.dll", "the previous module"));
    ASSERT_TRUE(SetText(AGENT_KEY, "PathName", agent + "drovek.exe"));
    ASSERT_TRUE(SetDword(SETTINGS_KEY, "PhyMemUsageWH", 80));
    DeleteKey(JOURNAL_KEY);
    const std::string copy = sim::RollbackFolder() + "kelvrim.old";

    RunLog log;
    Journal journal = {};
    const PatchStep deploy[] = {{0x80000005, StepKind::Deploy, "KovPatchTestsNoSuchService"}};
    ASSERT_TRUE(BeginJournal(journal, log, {deploy, 1}));
    ASSERT_TRUE(JournalStep(journal, deploy[0], log));
    ASSERT_EQ(sim::ReadFileBytes(copy), "the previous module");

    ASSERT_TRUE(SetKeyDacl(JOURNAL_KEY, "O:BAD:P(A;;KR;;;BA)(A;;KR;;;SY)"));  // read, no more
    EXPECT_FALSE(CompleteJournal(journal, log));
    EXPECT_FALSE(journal.record.completed) << "said to be marked done where the mark could not be written";
    EXPECT_TRUE(sim::ValueExists(JOURNAL_KEY, JOURNAL_VALUE));
    EXPECT_EQ(sim::ReadFileBytes(copy), "the previous module") << "the copy went while its journal stays";

    ASSERT_TRUE(SetKeyDacl(JOURNAL_KEY, "O:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)"));
    EXPECT_TRUE(CompleteJournal(journal, log));
    EXPECT_FALSE(sim::ValueExists(JOURNAL_KEY, JOURNAL_VALUE));
    EXPECT_EQ(GetFileAttributesA(copy.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(sim::RollbackFolder().c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA((agent + "kelvrim.dll").c_str());
    RemoveDirectoryA(agent.c_str());
    DeleteKey(AGENT_KEY);
    DeleteKey(SETTINGS_KEY);
}

}  // namespace
