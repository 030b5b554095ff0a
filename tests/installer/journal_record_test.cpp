// The journal and the settings it keeps: what is written is read back the same, a journal is read
// only against the table of steps it was written for, whatever it says is checked, and settings
// records that are not what the installer writes are refused before anything is restored from them.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "journal_record.h"
#include "key_snapshot.h"
#include "registry_helpers.h"

namespace {

const std::string TEST_KEY = "SOFTWARE\\KovPatchTests\\Snapshot";

// One settings record as the installer lays it out: kind, name length, type, data size, name, data.
std::string Record(BYTE kind, const std::string& name, DWORD type = 0, const std::string& data = std::string()) {
    std::string bytes(1, static_cast<char>(kind));
    const DWORD lengths[] = {static_cast<DWORD>(name.size()), type, static_cast<DWORD>(data.size())};
    bytes.append(reinterpret_cast<const char*>(lengths), sizeof lengths);
    return bytes + name + data;
}
std::string Key(const std::string& path) { return Record(1, path); }
std::string Value(const std::string& name, const std::string& data = "x") { return Record(2, name, REG_SZ, data); }

bool Load(const std::string& records, DWORD values, DWORD subkeys, const char** why) {
    KeySnapshot snapshot;
    return LoadKeySnapshot(true, values, subkeys, reinterpret_cast<const BYTE*>(records.data()),
                           static_cast<DWORD>(records.size()), snapshot, why);
}

// A journal of a run that began every step, each with what it saved.
JournalRecord EveryStepBegun() {
    JournalRecord journal;
    journal.processId = 4242;
    journal.began = 0x01DB6A2B3C4D5E6Full;
    journal.count = PATCH_STEP_COUNT;
    const DWORD states[] = {SERVICE_RUNNING, SERVICE_STOPPED, 0, SERVICE_PAUSED};
    for (int i = 0; i < PATCH_STEP_COUNT; ++i) {
        JournalEntry& entry = journal.entries[i];
        entry.step = &PATCH_STEPS[i];
        if (entry.step->kind == StepKind::Stop) entry.serviceBefore = states[i];
        if (entry.step->kind != StepKind::Deploy) continue;
        entry.moduleKnown = entry.moduleExisted = true;
        entry.copySize = 3 * 1024 * 1024;
        for (int b = 0; b < 32; ++b) entry.copyDigest.bytes[b] = static_cast<BYTE>(0xA0 + b);
        EXPECT_EQ(TakeKeySnapshot(HKEY_LOCAL_MACHINE, TEST_KEY.c_str(), entry.settings), ERROR_SUCCESS);
    }
    return journal;
}

std::string Encode(const JournalRecord& journal, const StepTable& table = PATCH_TABLE) {
    HeapBlock bytes;
    DWORD size = 0;
    EXPECT_TRUE(EncodeJournal(journal, table, bytes, &size));
    return std::string(static_cast<const char*>(bytes.get()), size);
}

bool Decode(const std::string& bytes, JournalRecord& journal, std::string* why, const StepTable& table = PATCH_TABLE) {
    char text[256] = {};
    const bool read = DecodeJournal(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), table,
                                    journal, text, sizeof text);
    *why = text;
    return read;
}

unsigned long long Fnv1a64(const std::string& bytes) {
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// The journal with bytes replaced and its hash made right again.
std::string Patched(std::string bytes, size_t at, const std::string& with) {
    bytes.replace(at, with.size(), with);
    const unsigned long long hash = Fnv1a64(bytes.substr(0, bytes.size() - 8));
    memcpy(&bytes[bytes.size() - 8], &hash, 8);
    return bytes;
}

std::string U32(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

TEST(Journal, WhatIsWrittenIsReadBackTheSame) {
    DeleteKey(TEST_KEY);
    ASSERT_TRUE(SetDword(TEST_KEY, "PhyMemUsageWH", 80));
    ASSERT_TRUE(SetText(TEST_KEY + "\\History\\Deeper", "", "default value"));
    ASSERT_TRUE(SetRaw(TEST_KEY + "\\History", "Binary", REG_BINARY, "\0\1\2", 3));
    // Every step begun, up to a run killed while it starts w3svc, the last of them.
    const JournalRecord written = EveryStepBegun();
    JournalRecord read;
    std::string why;
    ASSERT_TRUE(Decode(Encode(written), read, &why)) << why;
    EXPECT_EQ(read.processId, 4242u);
    EXPECT_EQ(read.began, written.began);
    EXPECT_FALSE(read.completed);
    ASSERT_EQ(read.count, PATCH_STEP_COUNT);
    for (int i = 0; i < PATCH_STEP_COUNT; ++i) {
        EXPECT_EQ(read.entries[i].step, &PATCH_STEPS[i]) << i;
        EXPECT_EQ(read.entries[i].serviceBefore, written.entries[i].serviceBefore) << i;
    }
    const JournalEntry& deploy = read.entries[4];
    EXPECT_TRUE(deploy.moduleKnown && deploy.moduleExisted);
    EXPECT_EQ(deploy.copySize, written.entries[4].copySize);
    EXPECT_TRUE(deploy.copyDigest == written.entries[4].copyDigest);
    EXPECT_TRUE(deploy.settings.existed);
    EXPECT_EQ(deploy.settings.values, 3u);
    EXPECT_EQ(deploy.settings.subkeys, 2u);
    ASSERT_EQ(deploy.settings.bytes, written.entries[4].settings.bytes);
    EXPECT_EQ(memcmp(deploy.settings.records.get(), written.entries[4].settings.records.get(), deploy.settings.bytes), 0);

    // And the settings go back as they were, below the key they belong to.
    DeleteKey(TEST_KEY);
    ASSERT_EQ(RestoreKeySnapshot(HKEY_LOCAL_MACHINE, TEST_KEY.c_str(), deploy.settings), ERROR_SUCCESS);
    KeySnapshot again;
    ASSERT_EQ(TakeKeySnapshot(HKEY_LOCAL_MACHINE, TEST_KEY.c_str(), again), ERROR_SUCCESS);
    ASSERT_EQ(again.bytes, deploy.settings.bytes);
    EXPECT_EQ(memcmp(again.records.get(), deploy.settings.records.get(), again.bytes), 0);

    // A journal of a run that began nothing yet, and one whose every step was done.
    JournalRecord none;
    none.completed = true;
    ASSERT_TRUE(Decode(Encode(none), read, &why)) << why;
    EXPECT_TRUE(read.completed);
    EXPECT_EQ(read.count, 0);
    DeleteKey(TEST_KEY);
}

// A journal is read only against the steps it was written for: a build whose table is reordered,
// or names another service, refuses it rather than misread it.
TEST(Journal, AJournalOfAnotherTableOfStepsIsRefused) {
    DeleteKey(TEST_KEY);
    const std::string bytes = Encode(EveryStepBegun());
    PatchStep reordered[PATCH_STEP_COUNT];
    memcpy(reordered, PATCH_STEPS, sizeof reordered);
    std::swap(reordered[0], reordered[1]);  // SNMP stopped before w3svc
    PatchStep renamed[PATCH_STEP_COUNT];
    memcpy(renamed, PATCH_STEPS, sizeof renamed);
    renamed[2].service = "lunabe2";
    for (const StepTable& table : {StepTable{reordered, PATCH_STEP_COUNT}, StepTable{renamed, PATCH_STEP_COUNT},
                                   StepTable{PATCH_STEPS, PATCH_STEP_COUNT - 1}}) {
        JournalRecord read;
        std::string why;
        EXPECT_FALSE(Decode(bytes, read, &why, table));
        EXPECT_EQ(why, "it was written for steps other than this patch's");
    }
}

// Whatever a journal says is checked, field by field, hash or not.
TEST(Journal, WhatNoRunCouldHaveWrittenIsRefused) {
    DeleteKey(TEST_KEY);
    const std::string genuine = Encode(EveryStepBegun());
    // The header: magic, format, size, fingerprint, process, began, flags at 36, entries at 40;
    // the first entry (w3svc's stop) begins at 44: number, kind, name's length and name, state.
    constexpr size_t FLAGS_AT = 36, COUNT_AT = 40, FIRST_ENTRY_AT = 44, FIRST_STATE_AT = FIRST_ENTRY_AT + 12 + 5;
    const struct {
        const char* what;
        std::string bytes;
        const char* why;
    } cases[] = {
        {"a service state no service can have", Patched(genuine, FIRST_STATE_AT, U32(SERVICE_PAUSED + 1)),
         "it is malformed: service state 8 does not exist"},
        {"more steps begun than there are", Patched(genuine, COUNT_AT, U32(PATCH_STEP_COUNT + 1)),
         "it is malformed: 9 steps begun, of 8"},
        {"a step out of place", Patched(genuine, FIRST_ENTRY_AT, U32(0x80000002)),
         "it is malformed: entry 1 is not step 0x80000001"},
        {"an unknown flag", Patched(genuine, FLAGS_AT, U32(2)), "it is malformed: flags 0x2"},
        {"fewer entries than it says", Patched(genuine, COUNT_AT, U32(PATCH_STEP_COUNT - 1)),
         "it is malformed: * bytes after its last entry"},
    };
    for (const auto& c : cases) {
        JournalRecord read;
        std::string why;
        EXPECT_FALSE(Decode(c.bytes, read, &why)) << c.what;
        const std::string pattern = c.why;
        const size_t star = pattern.find('*');
        if (star == std::string::npos) {
            EXPECT_EQ(why, pattern) << c.what;
        } else {
            EXPECT_EQ(why.substr(0, star), pattern.substr(0, star)) << c.what;
        }
    }
    // Every state a service can report, and none, is read.
    for (DWORD state = 0; state <= SERVICE_PAUSED; ++state) {
        JournalRecord read;
        std::string why;
        EXPECT_TRUE(Decode(Patched(genuine, FIRST_STATE_AT, U32(state)), read, &why)) << state << ": " << why;
    }
}

TEST(Journal, SettingsRecordsThatTheInstallerDoesNotWriteAreRefused) {
    const std::string top = Key("");
    const std::string longName(256, 'n');
    const struct {
        const char* what;
        std::string records;
        DWORD values, subkeys;
        const char* why;
    } cases[] = {
        {"nothing at all", "", 0, 0, "settings that do not begin with the key itself"},
        {"a value first", Value("v") + top, 1, 0, "settings that do not begin with the key itself"},
        {"a subkey first", Key("Sub") + top, 0, 1, "settings that do not begin with the key itself"},
        {"a second key of its own", top + top, 0, 1, "a settings subkey path that is not a plain path below the key"},
        {"a path from the root", top + Key("\\SOFTWARE\\Elsewhere"), 0, 1,
         "a settings subkey path that is not a plain path below the key"},
        {"an empty name in the path", top + Key("A\\\\B"), 0, 1,
         "a settings subkey path that is not a plain path below the key"},
        {"a trailing backslash", top + Key("A\\"), 0, 1, "a settings subkey path that is not a plain path below the key"},
        {"a name longer than the registry allows", top + Key(longName), 0, 1,
         "a settings subkey path that is not a plain path below the key"},
        {"a null in a name", top + Value(std::string("a\0b", 3)), 1, 0, "a name with a null character in it"},
        {"a subkey with data", top + Record(1, "Sub", 0, "data"), 0, 1, "a settings subkey with data"},
        {"an unknown kind", top + Record(3, "x"), 0, 0, "a settings record of an unknown kind"},
        {"a record cut short", top + Value("v").substr(0, 10), 1, 0, "a settings record that runs past its end"},
        {"a size past the end", top + Record(2, "v", REG_SZ, "abc").substr(0, 16), 1, 0,
         "a settings record that runs past its end"},
        {"fewer values than stated", top + Value("v"), 2, 0,
         "settings whose counts of values and subkeys do not match their records"},
        {"more subkeys than stated", top + Key("A") + Key("B"), 0, 1,
         "settings whose counts of values and subkeys do not match their records"},
    };
    for (const auto& c : cases) {
        const char* why = "";
        EXPECT_FALSE(Load(c.records, c.values, c.subkeys, &why)) << c.what;
        EXPECT_STREQ(why, c.why) << c.what;
    }
    const char* why = "";
    EXPECT_TRUE(Load(top + Value("") + Key("A") + Value("v", "") + Key("A\\B") + Key(std::string(255, 'k')), 2, 3, &why))
        << why;
    KeySnapshot none;
    EXPECT_FALSE(LoadKeySnapshot(false, 1, 0, nullptr, 0, none, &why));
    EXPECT_TRUE(LoadKeySnapshot(false, 0, 0, nullptr, 0, none, &why));
    EXPECT_FALSE(none.existed);
}

}  // namespace
