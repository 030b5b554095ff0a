// Unattended runs ended from outside half-way, as a deployment tool's time limit or a power cut
// ends them, and the runs after them: the next run finds the record the killed run left, puts the
// server back as it was before that run, and only then does its own work.
#include "registry_helpers.h"
#include "unattended_run.h"

namespace {

using namespace unattended_run;

// What a patch run may change on the server, to compare before and after.
struct Server {
    ServiceStates services;
    std::string module;
    std::string settings;
};

// The journal's layout, as far as these tests change it: its format version, how many steps it
// has begun, and the hash over all of it but the hash itself.
constexpr size_t VERSION_AT = 8, COUNT_AT = 40, HASH_BYTES = 8;

unsigned long long Fnv1a64(const std::string& bytes) {
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// The record with one 32-bit field changed and its hash made right again.
std::string WithField(std::string record, size_t at, DWORD value) {
    memcpy(&record[at], &value, sizeof value);
    const unsigned long long hash = Fnv1a64(record.substr(0, record.size() - HASH_BYTES));
    memcpy(&record[record.size() - HASH_BYTES], &hash, HASH_BYTES);
    return record;
}

std::string ReadRecord(DWORD* type = nullptr) {
    DWORD size = 0, kind = 0;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, ROLLBACK_KEY, ROLLBACK_VALUE, RRF_RT_ANY, &kind, nullptr, &size) != ERROR_SUCCESS)
        return std::string();
    std::string bytes(size, '\0');
    if (RegGetValueA(HKEY_LOCAL_MACHINE, ROLLBACK_KEY, ROLLBACK_VALUE, RRF_RT_ANY, &kind, &bytes[0], &size) != ERROR_SUCCESS)
        return std::string();
    if (type) *type = kind;
    bytes.resize(size);
    return bytes;
}

void WriteRecord(const std::string& bytes, DWORD type = REG_BINARY) {
    ASSERT_TRUE(SetRaw(ROLLBACK_KEY, ROLLBACK_VALUE, type, bytes.data(), static_cast<DWORD>(bytes.size())));
}

// Where a run is ended, and how the server is made to hold it there long enough.
struct KillPoint {
    const char* name;
    std::function<void()> arrange;
    std::function<bool(const std::string& log)> when;
};

std::vector<KillPoint> KillPoints() {
    return {
        {"while it waits for SNMP to stop", [] { sim::SetBehaviour("SNMP", "OnStop", "after-polls"); },
         [](const std::string&) { return stand_in::GetString("SNMP", "State") == "stop-pending"; }},
        {"right after the module is deployed", [] { sim::SetBehaviour("drovek", "OnStart", "slow-once"); },
         [](const std::string& log) { return Logged(log, "step 0x80000005, deploy kelvrim.dll: *moved over it"); }},
        {"while it starts the services again", [] { sim::SetBehaviour("SNMP", "OnStart", "slow-once"); },
         [](const std::string& log) { return Logged(log, "step 0x80000006, start drovek: *"); }},
    };
}

class Interrupted : public Unattended {
protected:
    void SetUp() override {
        Unattended::SetUp();
        // A subkey beside the old limits: the record keeps the whole key.
        const char last[] = "2026-12-01";
        const std::string history = std::string(sim::SETTINGS_KEY) + "\\History";
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, history.c_str(), "Last", REG_SZ, last, sizeof last));
    }

    Server Now() {
        Server server;
        for (const char* service : sim::SERVICES) {
            // A service on its way somewhere is counted where it is going.
            DWORD state = sim::ServiceState(service);
            for (int i = 0; i < 200 && (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING); ++i) {
                Sleep(50);
                state = sim::ServiceState(service);
            }
            server.services.push_back({service, state});
        }
        server.module = sim::ReadFileBytes(MODULE_FILE);
        server.settings = KeyContents(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY);
        return server;
    }

    void ExpectServer(const Server& expected, const char* what) {
        SCOPED_TRACE(what);
        ExpectStates(expected.services);
        EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == expected.module) << "the module is not the one expected";
        EXPECT_EQ(KeyContents(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY), expected.settings);
        ExpectHostRunsTheModuleOnDisk();
    }
    // A running host has loaded the module that is on disk now: one that kept the new module while
    // the old one was put back would not have.
    static void ExpectHostRunsTheModuleOnDisk() {
        if (sim::ServiceState("drovek") != RUNNING) return;
        const std::string module = sim::ReadFileBytes(MODULE_FILE);
        EXPECT_EQ(stand_in::GetDword("drovek", "ModuleHash"), stand_in::HashBytes(module.data(), module.size()))
            << "drovek runs another module than the one on disk";
    }

    // Runs /quiet until the kill point and ends it there; the process id of the run.
    std::string Kill(const KillPoint& point, int variant) {
        point.arrange();
        std::string arguments;
        bool killed = false;
        const Outcome outcome = Watch(variant, point.when, &killed, &arguments);
        EXPECT_TRUE(killed) << "the run ended before " << point.name;
        EXPECT_TRUE(sim::ValueExists(ROLLBACK_KEY, ROLLBACK_VALUE)) << "the killed run left no record";
        return outcome.log.empty() ? std::string() : outcome.log.front().process;
    }

    // The lines of a run that found the killed run's record and healed it: up to "rolled back".
    static size_t ExpectHealed(const Outcome& outcome, const std::string& killedProcess) {
        std::string logged;
        for (const LogLine& line : outcome.log) logged += "  " + line.text + "\n";
        EXPECT_GE(outcome.log.size(), 3u) << logged;
        if (outcome.log.size() < 3) return 0;
        EXPECT_TRUE(Matches(outcome.log[1].text.c_str(),
                            ("interrupted run found: began 20*-*-* *:*:*, process " + killedProcess +
                             "; last step begun: 0x8000000*, *")
                                .c_str()))
            << logged;
        size_t end = 2;
        while (end < outcome.log.size() && outcome.log[end].text != "rolled back") {
            EXPECT_EQ(outcome.log[end].text.compare(0, 6, "undo: "), 0) << logged;
            ++end;
        }
        EXPECT_LT(end, outcome.log.size()) << logged;
        return end + 1;
    }
};

// The log's lines from `first` on.
Outcome From(const Outcome& outcome, size_t first) {
    Outcome rest = outcome;
    rest.log.erase(rest.log.begin(), rest.log.begin() + std::min(first, rest.log.size()));
    return rest;
}

TEST_F(Interrupted, TheNextRunPutsTheServerBackAndThenPatches) {
    int variant = 0;
    for (const KillPoint& point : KillPoints()) {
        SCOPED_TRACE(point.name);
        if (variant > 0) SetUp();
        const std::string killed = Kill(point, variant++);

        std::string arguments;
        const Outcome rerun = Run(Mode::Quiet, variant++, boxes::Answer(IDYES), &arguments);
        EXPECT_EQ(rerun.run.exitCode, 0u);
        ASSERT_FALSE(rerun.log.empty());
        const size_t healed = ExpectHealed(rerun, killed);
        Outcome fresh = From(rerun, healed);
        fresh.log.insert(fresh.log.begin(), rerun.log.front());
        ExpectLog(fresh, Started(Mode::Quiet, arguments) + ChecksPassed(Mode::Quiet) + StepsSucceeded(8, Mode::Quiet) +
                             Lines{"marker written"} + Ended("patched", 0));
        ExpectStates({{"w3svc", RUNNING}, {"SNMP", RUNNING}, {"lunabe", STOPPED}, {"drovek", RUNNING}});
        EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built) << "the built module is not in place";
        EXPECT_TRUE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));
        ExpectNothingLeft();
    }
}

TEST_F(Interrupted, ARerunThatFailsLeavesTheServerAsItWasBeforeTheKilledRun) {
    int variant = 0;
    for (const KillPoint& point : KillPoints()) {
        SCOPED_TRACE(point.name);
        if (variant > 0) SetUp();
        const Server before = Now();
        const std::string killed = Kill(point, variant++);

        // Once the killed run is put back, the host will not start for the rerun's step 6.
        bool armed = false;
        bool ended = false;
        std::string arguments;
        const Outcome rerun = Watch(variant++, [&](const std::string& log) {
            if (!armed && Logged(log, "rolled back")) armed = sim::SetBehaviour("drovek", "OnStart", "fail-once");
            return false;
        }, &ended, &arguments);
        EXPECT_TRUE(armed);
        EXPECT_FALSE(ended) << "the rerun was ended by force";
        EXPECT_EQ(rerun.run.exitCode, 1603u);
        const size_t healed = ExpectHealed(rerun, killed);
        ASSERT_GT(rerun.log.size(), healed);
        EXPECT_TRUE(std::any_of(rerun.log.begin() + healed, rerun.log.end(), [](const LogLine& line) {
            return line.text == "outcome: Fail to patch! (Error : 0x80000006); exit code 1603";
        }));
        EXPECT_EQ(rerun.log.back().text, "rolled back");
        ExpectServer(before, "as before the killed run");
        ExpectNothingLeft();
    }
}

// How many steps the journal on disk says were begun; 0 where there is none.
DWORD StepsBegun() {
    const std::string record = ReadRecord();
    DWORD count = 0;
    if (record.size() >= COUNT_AT + sizeof count) memcpy(&count, &record[COUNT_AT], sizeof count);
    return count;
}

// A run killed just as it began to start the module's host: the host may already be starting on
// the new module, so the heal stops it before the old module goes back, and starts it again on
// the old one.
TEST_F(Interrupted, ARunKilledAsItBeginsToStartTheHostLeavesTheHostOnTheOldModule) {
    const Server before = Now();
    const KillPoint asItStartsTheHost = {"as drovek begins to start",
                                         [] { sim::SetBehaviour("drovek", "OnStart", "slow-once"); },
                                         [](const std::string&) {
                                             return StepsBegun() == 6 &&
                                                    sim::ServiceState("drovek") == SERVICE_START_PENDING;
                                         }};
    const std::string killed = Kill(asItStartsTheHost, 0);
    // The start the killed run asked for goes on: the host comes up on the new module.
    ASSERT_TRUE(sim::WaitForState("drovek", RUNNING, START_WAIT_MS));
    ASSERT_EQ(stand_in::GetDword("drovek", "ModuleHash"), stand_in::HashBytes(built.data(), built.size()));
    std::string arguments;
    const Outcome next = Run(Mode::Interactive, 1, boxes::Answer(IDNO), &arguments);
    EXPECT_EQ(next.run.exitCode, 1602u);
    ExpectHealed(next, killed);
    EXPECT_TRUE(Matches(next.log[1].text.c_str(), "interrupted run found: *; last step begun: 0x80000006, start drovek"))
        << next.log[1].text;
    ExpectServer(before, "after the heal");
    ExpectNothingLeft();
}

// A heal that cannot finish keeps the record and the copy and changes nothing else; once its
// cause is gone the next run finishes it and patches.
TEST_F(Interrupted, AnIncompleteHealIsFinishedByTheRunAfterIt) {
    const Server before = Now();
    const std::string killed = Kill(KillPoints()[1], 0);
    sim::SetBehaviour("drovek", "OnStart", "fail");

    std::string arguments;
    const Outcome second = Run(Mode::Quiet, 1, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(second.run.exitCode, 1603u);
    ASSERT_GE(second.log.size(), 4u);
    EXPECT_TRUE(Matches(second.log[1].text.c_str(), ("interrupted run found: *process " + killed + ";*").c_str()));
    EXPECT_EQ(second.log[second.log.size() - 2].text,
              "outcome: nothing else done, as an interrupted run could not be rolled back; exit code 1603");
    EXPECT_EQ(second.log.back().text, "rollback incomplete: drovek is not running");
    EXPECT_TRUE(sim::ValueExists(ROLLBACK_KEY, ROLLBACK_VALUE)) << "the record went before the heal was done";
    EXPECT_TRUE(sim::ReadFileBytes(sim::RollbackFolder() + "kelvrim.old") == shipped) << "the copy went before the heal was done";
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == shipped);
    EXPECT_EQ(KeyContents(HKEY_LOCAL_MACHINE, sim::SETTINGS_KEY), before.settings);
    EXPECT_FALSE(sim::ValueExists(sim::SETTINGS_KEY, sim::MARKER_VALUE));

    sim::SetBehaviour("drovek", "OnStart", "run");
    const Outcome third = Run(Mode::Quiet, 2, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(third.run.exitCode, 0u);
    ExpectHealed(third, killed);
    EXPECT_EQ(third.log.back().text, "outcome: patched; exit code 0");
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built);
    ExpectNothingLeft();
}

// An interactive run heals too, before its own checks, and then asks as usual.
TEST_F(Interrupted, AnInteractiveRunHealsBeforeItAsks) {
    const Server before = Now();
    const std::string killed = Kill(KillPoints()[2], 0);
    std::string arguments;
    Server atQuestion;
    const Outcome next = Run(Mode::Interactive, 1, [&](const boxes::Box& box) {
        if (box.text == CONSENT) atQuestion = Now();
        return boxes::Answer(IDNO)(box);
    }, &arguments);
    EXPECT_EQ(next.run.exitCode, 1602u);
    EXPECT_EQ(Texts(next.run), std::vector<std::string>{CONSENT});
    const size_t healed = ExpectHealed(next, killed);
    ASSERT_EQ(next.log.size(), healed + 5) << "checks, consent and outcome follow the heal";
    EXPECT_EQ(next.log.back().text, "outcome: declined; exit code 1602");
    ExpectServer(before, "after the run");
    EXPECT_EQ(atQuestion.services, before.services) << "when the question was asked";
    EXPECT_TRUE(atQuestion.module == before.module && atQuestion.settings == before.settings)
        << "when the question was asked";
    ExpectNothingLeft();
}

// A copy of the module that no record names is what a save cut short leaves: it is replaced.
// (A read-only file at that name is none of the run's: it is refused, as any file in the way.)
TEST_F(Interrupted, ACopyWithoutARecordDoesNotStopARun) {
    const std::string copy = sim::RollbackFolder() + "kelvrim.old";
    ASSERT_TRUE(CreateDirectoryA(sim::RollbackFolder().c_str(), nullptr));
    ASSERT_TRUE(sim::WriteFileBytes(copy, "half a copy"));
    std::string arguments;
    const Outcome outcome = Run(Mode::Quiet, 0, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(outcome.run.exitCode, 0u);
    ExpectLog(outcome, Started(Mode::Quiet, arguments) + ChecksPassed(Mode::Quiet) + StepsSucceeded(8, Mode::Quiet) +
                           Lines{"marker written"} + Ended("patched", 0));
    ExpectNothingLeft();
}

// A record is input like any other: one that is cut short, damaged, malformed, too large or of an
// unknown format is refused, and nothing at all is changed, the record included.
TEST_F(Interrupted, ARecordThatCannotBeUsedIsRefusedAndNothingChanges) {
    // A genuine record, from a run killed at its first step.
    KillAtTheFirstStep(0);
    const std::string genuine = ReadRecord();
    ASSERT_GT(genuine.size(), COUNT_AT + 4 + HASH_BYTES);
    std::string arguments;

    std::string damaged = genuine;
    damaged[genuine.size() - HASH_BYTES - 1] ^= 0x5A;
    std::string stranger = genuine;
    stranger[0] = 'X';
    const struct {
        const char* what;
        std::string bytes;
        DWORD type;
        const char* why;
    } cases[] = {
        {"cut short", genuine.substr(0, genuine.size() - 11), REG_BINARY,
         "it is truncated: * of its * bytes"},
        {"a few bytes", genuine.substr(0, 10), REG_BINARY, "it is truncated: 10 bytes, too few for any record"},
        {"with bytes after its end", genuine + "xyz", REG_BINARY, "it is malformed: * bytes where it says *"},
        {"damaged", damaged, REG_BINARY, "it is damaged: its check sum does not match"},
        {"not this patch's", stranger, REG_BINARY, "it is not a rollback record of this patch"},
        {"of a later format", WithField(genuine, VERSION_AT, 4), REG_BINARY,
         "its format version 4 is not one this patch knows (3)"},
        {"naming more steps than there are", WithField(genuine, COUNT_AT, 9), REG_BINARY,
         "it is malformed: 9 steps begun, of 8"},
        {"oversized", std::string(1024 * 1024 + 1, 'K'), REG_BINARY,
         "it is oversized: 1048577 bytes, more than the 1048576 a record may have"},
        {"not binary", std::string("\1\0\0\0", 4), REG_DWORD, "it is malformed: a value of type 4, not binary"},
    };
    int variant = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteRecord(c.bytes, c.type);
        const Server before = Now();
        const std::string copy = sim::ReadFileBytes(sim::RollbackFolder() + "kelvrim.old");
        const Outcome outcome = Run(Mode::Quiet, variant++, boxes::Answer(IDYES), &arguments);
        EXPECT_EQ(outcome.run.exitCode, 1603u);
        ExpectLog(outcome, Started(Mode::Quiet, arguments) +
                               Lines{std::string("interrupted run found, but its record in "
                                                 "HKLM\\SOFTWARE\\TAVRIX\\NIVRAEnterprise\\KOVPatch is refused: ") +
                                     c.why} +
                               Ended("nothing changed, as the record of an interrupted run cannot be used", 1603));
        ExpectServer(before, "unchanged");
        DWORD type = 0;
        EXPECT_TRUE(ReadRecord(&type) == c.bytes && type == c.type) << "the record changed";
        EXPECT_TRUE(sim::ReadFileBytes(sim::RollbackFolder() + "kelvrim.old") == copy) << "the rollback folder changed";
    }

    // At the desktop the refusal is one box.
    WriteRecord(genuine.substr(0, 40));
    const Outcome interactive = Run(Mode::Interactive, variant++, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(interactive.run.exitCode, 1603u);
    EXPECT_EQ(Texts(interactive.run),
              std::vector<std::string>{
                  "An interrupted run of this patch left a record that cannot be used, so nothing was changed."});

    // The genuine record is taken: the server is put back and patched.
    WriteRecord(genuine);
    const Outcome healed = Run(Mode::Quiet, variant++, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(healed.run.exitCode, 0u);
    ExpectStates({{"w3svc", RUNNING}, {"SNMP", RUNNING}, {"lunabe", STOPPED}, {"drovek", RUNNING}});
    ExpectNothingLeft();
}

}  // namespace
