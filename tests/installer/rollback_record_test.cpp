// The rollback record and the settings it keeps: what is written is read back the same, and
// settings records that are not what the installer writes are refused before anything is
// restored from them.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "key_snapshot.h"
#include "registry_helpers.h"
#include "rollback_record.h"

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

TEST(RollbackRecord, WhatIsWrittenIsReadBackTheSame) {
    DeleteKey(TEST_KEY);
    ASSERT_TRUE(SetDword(TEST_KEY, "PhyMemUsageWH", 80));
    ASSERT_TRUE(SetText(TEST_KEY + "\\History\\Deeper", "", "default value"));
    ASSERT_TRUE(SetRaw(TEST_KEY + "\\History", "Binary", REG_BINARY, "\0\1\2", 3));
    RollbackRecord written;
    ASSERT_EQ(TakeKeySnapshot(HKEY_LOCAL_MACHINE, TEST_KEY.c_str(), written.settings), ERROR_SUCCESS);
    written.processId = 4242;
    written.began = 0x01DB6A2B3C4D5E6Full;
    written.lastStep = 6;
    const DWORD states[] = {SERVICE_RUNNING, SERVICE_STOPPED, 0, SERVICE_PAUSED};
    memcpy(written.servicesBefore, states, sizeof states);
    written.moduleKnown = written.moduleExisted = true;
    written.copySize = 3 * 1024 * 1024;
    for (int i = 0; i < 32; ++i) written.copyDigest.bytes[i] = static_cast<BYTE>(0xA0 + i);

    HeapBlock bytes;
    DWORD size = 0;
    ASSERT_TRUE(EncodeRollbackRecord(written, bytes, &size));
    RollbackRecord read;
    char why[256] = {};
    ASSERT_TRUE(DecodeRollbackRecord(static_cast<const BYTE*>(bytes.get()), size, read, why, sizeof why)) << why;
    EXPECT_EQ(read.processId, 4242u);
    EXPECT_EQ(read.began, written.began);
    EXPECT_EQ(read.lastStep, 6);
    EXPECT_EQ(memcmp(read.servicesBefore, states, sizeof states), 0);
    EXPECT_TRUE(read.moduleKnown && read.moduleExisted);
    EXPECT_EQ(read.copySize, written.copySize);
    EXPECT_TRUE(read.copyDigest == written.copyDigest);
    EXPECT_TRUE(read.settings.existed);
    EXPECT_EQ(read.settings.values, 3u);
    EXPECT_EQ(read.settings.subkeys, 2u);
    ASSERT_EQ(read.settings.bytes, written.settings.bytes);
    EXPECT_EQ(memcmp(read.settings.records.get(), written.settings.records.get(), read.settings.bytes), 0);

    // And the settings go back as they were, below the key they belong to.
    DeleteKey(TEST_KEY);
    ASSERT_EQ(RestoreKeySnapshot(HKEY_LOCAL_MACHINE, TEST_KEY.c_str(), read.settings), ERROR_SUCCESS);
    KeySnapshot again;
    ASSERT_EQ(TakeKeySnapshot(HKEY_LOCAL_MACHINE, TEST_KEY.c_str(), again), ERROR_SUCCESS);
    ASSERT_EQ(again.bytes, written.settings.bytes);
    EXPECT_EQ(memcmp(again.records.get(), written.settings.records.get(), again.bytes), 0);
    DeleteKey(TEST_KEY);
}

TEST(RollbackRecord, SettingsRecordsThatTheInstallerDoesNotWriteAreRefused) {
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
