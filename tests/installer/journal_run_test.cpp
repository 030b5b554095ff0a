// The journal as unattended runs keep it: each step saves what undoes it just before it runs, and a
// run that is killed, or that cannot remove its journal, is healed or left alone by the next run
// for what it really did. Beside it, readers that hold the module for a moment, as scanners and
// fleet checks do.
#include <atomic>
#include <thread>

#include <string.h>

#include "registry_helpers.h"
#include "unattended_run.h"

#include <sddl.h>

namespace {

using namespace unattended_run;

const std::string STAGING_FILE = AGENT_DIRECTORY + "kelvrim.tmp";

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Opens the file, as a virus scanner or a backup agent does, and holds it for a moment.
UniqueFile OpenAsAReader(const std::string& path) {
    return UniqueFile(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
}

// A reader that opens the module, and the staging file whenever it is there, for 200 ms at a time
// with short pauses, until it is stopped.
class Reader {
public:
    Reader() {
        thread_ = std::thread([this] {
            while (!stop_) {
                UniqueFile module = OpenAsAReader(MODULE_FILE);
                UniqueFile staging = OpenAsAReader(STAGING_FILE);
                if (module || staging) ++holds_;
                Sleep(200);
                module.reset();
                staging.reset();
                Sleep(50);
            }
        });
    }
    ~Reader() {
        stop_ = true;
        thread_.join();
    }
    int Holds() const { return holds_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> holds_{0};
    std::thread thread_;
};

FILETIME LastAccess(const std::string& path) {
    UniqueFile file(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME created = {}, accessed = {}, written = {};
    GetFileTime(file.get(), &created, &accessed, &written);
    return accessed;
}

// Sets the file's last access an hour before its last write, so that the next read of it, and only
// a read, moves it on.
bool AgeLastAccess(const std::string& path) {
    UniqueFile file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    FILETIME created = {}, accessed = {}, written = {};
    if (!file || !GetFileTime(file.get(), &created, &accessed, &written)) return false;
    ULARGE_INTEGER older;
    older.LowPart = written.dwLowDateTime;
    older.HighPart = written.dwHighDateTime;
    older.QuadPart -= 3600ull * 10000000ull;
    accessed.dwLowDateTime = older.LowPart;
    accessed.dwHighDateTime = older.HighPart;
    return SetFileTime(file.get(), nullptr, &accessed, nullptr) != FALSE;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// A run killed after it wrote the new module beside the old one and before it could move it over:
// the next run puts the server back, the staging file included.
TEST_F(Unattended, AKillBetweenTheStagingWriteAndTheMoveLeavesNothingBehind) {
    // The module is held open, as a reader would hold it, so the move waits and the staging file is
    // there long enough to be seen.
    UniqueFile held = OpenAsAReader(MODULE_FILE);
    ASSERT_TRUE(held);
    bool killed = false;
    std::string arguments;
    Watch(0, [](const std::string&) { return Exists(STAGING_FILE); }, &killed, &arguments);
    held.reset();
    ASSERT_TRUE(killed) << "the run ended before its staging file was seen";
    ASSERT_TRUE(Exists(STAGING_FILE));

    // A run at the desktop, answered No: it heals and changes nothing of its own.
    const Outcome next = Run(Mode::Interactive, 1, boxes::Answer(IDNO), &arguments);
    EXPECT_EQ(next.run.exitCode, 1602u);
    EXPECT_TRUE(std::any_of(next.log.begin(), next.log.end(), [](const LogLine& line) {
        return Matches(line.text.c_str(), ("undo: staging file " + STAGING_FILE + ": removed").c_str());
    }));
    ExpectUntouched();
    ExpectNothingLeft();
}

// The journal's layout, as far as these tests change it: its flags, and the hash over all of it
// but the hash itself.
constexpr size_t FLAGS_AT = 36, HASH_BYTES = 8;
constexpr DWORD COMPLETED = 1;

unsigned long long Fnv1a64(const std::string& bytes) {
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

std::string JournalOnDisk() {
    DWORD size = 0;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, ROLLBACK_KEY, ROLLBACK_VALUE, RRF_RT_REG_BINARY, nullptr, nullptr, &size) !=
        ERROR_SUCCESS)
        return std::string();
    std::string bytes(size, '\0');
    RegGetValueA(HKEY_LOCAL_MACHINE, ROLLBACK_KEY, ROLLBACK_VALUE, RRF_RT_REG_BINARY, nullptr, &bytes[0], &size);
    return bytes;
}

// A run that succeeded but could not remove its journal left it marked done, with the copy it
// names: no later run undoes the patch for it, and /check does not call the server interrupted.
// The next run only removes it. (A removal that fails cannot be made under Wine, which lets a key
// be removed whatever its DACL says: the journal such a run leaves is made here from a real one.)
TEST_F(Unattended, AJournalLeftMarkedDoneIsNeverUndone) {
    KillRightAfterTheDeployment(0);
    std::string journal = JournalOnDisk();
    std::string arguments;
    ASSERT_GT(journal.size(), FLAGS_AT + 4 + HASH_BYTES);
    const Outcome patched = Run(Mode::Quiet, 1, boxes::Answer(IDYES), &arguments);
    ASSERT_EQ(patched.run.exitCode, 0u);
    ASSERT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built);

    // What the killed run's journal would have been had that run ended with every step done and
    // then failed to remove it, with the copy it names.
    memcpy(&journal[FLAGS_AT], &COMPLETED, sizeof COMPLETED);
    const unsigned long long hash = Fnv1a64(journal.substr(0, journal.size() - HASH_BYTES));
    memcpy(&journal[journal.size() - HASH_BYTES], &hash, HASH_BYTES);
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, ROLLBACK_KEY, ROLLBACK_VALUE, REG_BINARY, journal.data(),
                              static_cast<DWORD>(journal.size())),
              ERROR_SUCCESS);
    ASSERT_TRUE(SetKeyDacl(ROLLBACK_KEY, "O:BAD:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)"));
    CreateDirectoryA(sim::RollbackFolder().c_str(), nullptr);
    ASSERT_TRUE(sim::WriteFileBytes(sim::RollbackFolder() + "kelvrim.old", shipped));

    const boxes::Run check = boxes::RunAndAnswer(InstallerCommand("/check"), CAPTION, boxes::Answer(IDNO), 60000, true);
    EXPECT_EQ(check.exitCode, 0u);
    EXPECT_EQ(check.output, "state=patched version=0x02000010 marker=present module=carried\r\n");

    const Outcome next = Run(Mode::Quiet, 2, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(next.run.exitCode, 0u);
    ASSERT_GE(next.log.size(), 2u);
    EXPECT_TRUE(Matches(next.log[1].text.c_str(),
                        "record of a completed run found: began *; last step begun: *; "
                        "every step done; it is removed, nothing is undone"))
        << next.log[1].text;
    EXPECT_EQ(next.log.back().text, "outcome: already up to date by the patch marker; exit code 0");
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built) << "a later run undid the patch";
    ExpectNothingLeft();
}

// The settings are saved with the host stopped: a limit the host writes while the run waits for
// an earlier service to stop is no change of the run's, and a rollback keeps it.
TEST_F(Unattended, ALimitTheHostWritesBeforeItStopsSurvivesARollback) {
    sim::SetBehaviour("w3svc", "OnStop", "after-polls");
    sim::SetBehaviour("drovek", "OnStart", "fail-once");  // step 6 fails, and the rollback starts it again
    bool written = false, killed = false;
    std::string arguments;
    const Outcome outcome = Watch(0, [&](const std::string&) {
        if (!written && stand_in::GetString("w3svc", "State") == "stop-pending")
            written = SetDword(sim::SETTINGS_KEY, "PhyMemUsageWH", 77);  // as SP_THRESHOLD writes it
        return false;
    }, &killed, &arguments);
    ASSERT_TRUE(written) << "the run never waited for w3svc";
    EXPECT_EQ(outcome.run.exitCode, 1603u);
    ASSERT_FALSE(outcome.log.empty());
    EXPECT_EQ(outcome.log.back().text, "rolled back");
    EXPECT_EQ(Setting("PhyMemUsageWH"), 77u) << "the rollback put back a limit the run never changed";
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == shipped);
}

// While a run holds the lock, /check does not open the module, which that run may be replacing.
// The module's last access shows it: any read moves it on.
TEST_F(Unattended, ACheckNeverOpensTheModuleWhileARunHoldsTheLock) {
    ASSERT_TRUE(AgeLastAccess(MODULE_FILE));
    FILETIME aged = LastAccess(MODULE_FILE);
    sim::ReadFileBytes(MODULE_FILE);
    if (SameTime(aged, LastAccess(MODULE_FILE)))
        GTEST_SKIP() << "this file system does not record a read's access time, so no read can be seen";
    ASSERT_TRUE(AgeLastAccess(MODULE_FILE));
    aged = LastAccess(MODULE_FILE);

    UniqueHandle lock(MakeRunsLock());
    ASSERT_EQ(WaitForSingleObject(lock.get(), 0), WAIT_OBJECT_0);
    const boxes::Run check = boxes::RunAndAnswer(InstallerCommand("/check"), CAPTION, boxes::Answer(IDNO), 60000, true);
    ReleaseMutex(lock.get());
    EXPECT_EQ(check.exitCode, 1618u);
    EXPECT_EQ(check.output, "state=in-progress version=0x02000010 marker=absent module=unknown\r\n");
    EXPECT_TRUE(SameTime(aged, LastAccess(MODULE_FILE))) << "the check read the module while a run held the lock";
}

// Readers that hold the module and the staging file for 200 ms at a time, as a virus scanner, a
// backup agent or a fleet's check does: the deployment's move waits them out, and the run patches.
TEST_F(Unattended, AReaderThatHoldsTheModuleForMomentsDoesNotStopThePatch) {
    std::string arguments;
    Outcome outcome;
    int holds = 0;
    {
        Reader reader;
        outcome = Run(Mode::Quiet, 0, boxes::Answer(IDYES), &arguments);
        holds = reader.Holds();
    }
    EXPECT_GT(holds, 0);
    EXPECT_EQ(outcome.run.exitCode, 0u);
    ASSERT_FALSE(outcome.log.empty());
    EXPECT_EQ(outcome.log.back().text, "outcome: patched; exit code 0");
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built);
    ExpectNothingLeft();
}

}  // namespace
