// Sensor set-up against what the settings key holds, and the persistence of limits.
#include <gtest/gtest.h>

#include <string>

#include "box_in_process.h"
#include "locked_records.h"
#include "module_test_support.h"
#include "sensor_setup.h"

namespace {

// Sorted by name, as SettingsKey::Names lists them.
const std::vector<std::string> allSix = {"Page Faults/secFH", "Page Faults/secWH", "PageFileUsageFH",
                                         "PageFileUsageWH",   "PhyMemUsageFH",     "PhyMemUsageWH"};

void StoreAll(DWORD phyWh, DWORD phyFh) {
    SettingsKey::SetDword("PhyMemUsageWH", phyWh);
    SettingsKey::SetDword("PhyMemUsageFH", phyFh);
    SettingsKey::SetDword("PageFileUsageWH", 101);
    SettingsKey::SetDword("PageFileUsageFH", 102);
    SettingsKey::SetDword("Page Faults/secWH", 0xFFFFFFFE);
    SettingsKey::SetDword("Page Faults/secFH", 0xFFFFFFFF);
}

}  // namespace

TEST(SetupSensors, WithoutAKeyWritesTheDefaults) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    SettingsKey key;
    records.globalProperty.intervalMs = 1999;
    records.pageFaultSum = 777;
    ASSERT_EQ(ERROR_SUCCESS, SetupSensors(lock));

    EXPECT_EQ(allSix, SettingsKey::Names());
    const DWORD defaults[] = {30000, 20000, 95, 90, 95, 90};
    for (size_t i = 0; i < allSix.size(); ++i) EXPECT_EQ(defaults[i], SettingsKey::Get(allSix[i].c_str()));

    const char* names[] = {"PhyMemUsage", "PageFileUsage", "Page Faults/sec"};
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) {
        const SPSensorRecord& s = records.sensorTable[i];
        EXPECT_EQ(SensorIdOf(i), s.sensorId);
        EXPECT_EQ(SENSOR_GROUP_ID, s.groupId);
        EXPECT_EQ(i == 2 ? 0x13 : 0xC1, s.descriptorCode);
        EXPECT_EQ(5, s.descriptorClass);
        EXPECT_EQ(i == 2 ? 1000u : 50u, s.descriptorValue);
        EXPECT_STREQ(names[i], s.name);
        EXPECT_EQ(0u, s.limits[0]);
        EXPECT_EQ(0u, s.stateTime);
        EXPECT_NE(0u, s.sampleTime);
    }
    EXPECT_EQ(777u, records.sensorTable[2].value);  // divisor 1 at 1999 ms
}

TEST(SetupSensors, StoredLimitsOfAnyValueAreUsedAndNothingIsWritten) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    SettingsKey key;
    StoreAll(0, 0xFFFFFFFF);  // WH 0: physical memory starts in WH
    PublishedRun run;
    records.sensorTable[0].stateTime = 1234;  // kept from an earlier run: the first event carries it
    ASSERT_EQ(ERROR_SUCCESS, SetupSensors(lock));

    EXPECT_EQ(0u, records.sensorTable[0].limits[SP_SLOT_WH]);
    EXPECT_EQ(0xFFFFFFFFu, records.sensorTable[0].limits[SP_SLOT_FH]);
    EXPECT_EQ(101u, records.sensorTable[1].limits[SP_SLOT_WH]);
    EXPECT_EQ(0xFFFFFFFEu, records.sensorTable[2].limits[SP_SLOT_WH]);
    EXPECT_EQ(SP_STATE_WH, records.sensorTable[0].state);
    std::vector<SPEvent> events = QueuedEvents();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(1234u, events[0].eventTime);
    EXPECT_EQ(SP_STATE_NORMAL, events[0].prevState);
    EXPECT_EQ(SP_STATE_WH, events[0].state);
    EXPECT_EQ(0u, records.sensorTable[0].stateTime);
    EXPECT_TRUE(run.EventSet());
    EXPECT_EQ(allSix, SettingsKey::Names());
}

TEST(SetupSensors, FirstClassificationTestsWhFirst) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    SettingsKey key;
    StoreAll(100, 0);  // FH below WH: every reading below WH is normal at set-up
    ASSERT_EQ(ERROR_SUCCESS, SetupSensors(lock));
    ASSERT_LT(records.sensorTable[0].value, 100u);
    EXPECT_EQ(SP_STATE_NORMAL, records.sensorTable[0].state);
    EXPECT_EQ(0u, records.eventQueue.count);
}

TEST(SetupSensors, AKeyWithOnlyTheInstallerMarkerGetsTheDefaults) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    SettingsKey key;
    SettingsKey::SetDword("12C954DC-D880-4a30-8354-56807FDF4CAC", 1);
    ASSERT_EQ(ERROR_SUCCESS, SetupSensors(lock));
    EXPECT_EQ(90u, records.sensorTable[0].limits[SP_SLOT_WH]);
    EXPECT_EQ(20000u, SettingsKey::Get("Page Faults/secWH"));
    EXPECT_EQ(1u, SettingsKey::Get("12C954DC-D880-4a30-8354-56807FDF4CAC"));  // never touched
}

TEST(SetupSensors, ShortDataAndOtherTypesFillTheLowBytes) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    SettingsKey key;
    StoreAll(90, 95);
    const BYTE one = 0x07;
    SettingsKey::SetRaw("PhyMemUsageWH", REG_BINARY, &one, 1);       // 90 = 0x5A: low byte replaced
    const BYTE two[2] = {0x10, 0x27};
    SettingsKey::SetRaw("Page Faults/secFH", REG_BINARY, two, 2);   // 0x2710 = 10000 over 30000's low bytes
    ASSERT_EQ(ERROR_SUCCESS, SetupSensors(lock));
    EXPECT_EQ(0x07u, records.sensorTable[0].limits[SP_SLOT_WH]);
    EXPECT_EQ((30000u & 0xFFFF0000u) | 0x2710u, records.sensorTable[2].limits[SP_SLOT_FH]);
}

TEST(SetupSensors, LimitsOfEveryStoredTypeAndSize) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    // Whatever the stored type, data of at most 4 bytes fills the limit from its low byte on;
    // anything longer cannot be read and fails the set-up.
    ModuleStateGuard guard;
    const struct Case {
        DWORD type;
        const char* data;
        DWORD bytes;
        uint32_t limit;  // 0xFFFFFFFF: the set-up fails
    } cases[] = {
        {REG_DWORD, "\x07\x00\x00\x00", 4, 7},
        {REG_DWORD_BIG_ENDIAN, "\x00\x00\x00\x07", 4, 0x07000000},
        {REG_SZ, "95", 3, 0x00003539},  // the characters "95" and their terminator
        {REG_EXPAND_SZ, "9", 2, 0x00000039},
        {REG_MULTI_SZ, "1\0", 3, 0x00000031},
        {REG_BINARY, "", 0, 90},  // no data: the default stays whole
        {REG_NONE, "\x01\x02\x03", 3, 0x00030201},
        {REG_SZ, "12345", 6, 0xFFFFFFFF},
        {REG_BINARY, "\x01\x02\x03\x04\x05", 5, 0xFFFFFFFF},
        {REG_QWORD, "\x07\x00\x00\x00\x00\x00\x00\x00", 8, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        SettingsKey key;
        StoreAll(90, 95);
        SettingsKey::SetRaw("PhyMemUsageWH", c.type, c.data, c.bytes);
        const LONG status = SetupSensors(lock);
        if (c.limit == 0xFFFFFFFF) {
            EXPECT_EQ(ERROR_MORE_DATA, status) << c.type << " " << c.bytes;
        } else {
            EXPECT_EQ(ERROR_SUCCESS, status) << c.type << " " << c.bytes;
            EXPECT_EQ(c.limit, records.sensorTable[0].limits[SP_SLOT_WH]) << c.type << " " << c.bytes;
        }
    }
}

TEST(SetupSensors, AnUnreadableLimitShowsTheErrorBoxAndFails) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    const struct Case {
        const char* what;
        bool eightBytes;  // else: the value is missing
        const char* name;
    } cases[] = {
        {"8-byte limit", true, "PageFileUsageFH"},
        {"missing limit", false, "PageFileUsageFH"},
    };
    for (const Case& c : cases) {
        SettingsKey key;
        StoreAll(90, 95);
        RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, c.name);
        if (c.eightBytes) {
            const ULONGLONG big = 95;
            SettingsKey::SetRaw(c.name, REG_QWORD, &big, sizeof big);
        }
        memset(records.sensorTable, 0, sizeof records.sensorTable);
        const LONG status = SetupSensors(lock);
        EXPECT_NE(ERROR_SUCCESS, status) << c.what;
        BoxAnswerer answerer("Error");
        ReportSetupFailure(status);
        EXPECT_FALSE(answerer.Text().empty()) << c.what;  // the system's text for the status
        EXPECT_EQ(SensorIdOf(0), records.sensorTable[0].sensorId) << c.what;  // earlier sensors are set up
        EXPECT_EQ(0u, records.sensorTable[2].sensorId) << c.what;              // later ones untouched
        EXPECT_EQ(0u, records.sensorTable[1].state) << c.what;
    }
}

TEST(SaveThresholds, WritesBothLimitsUnderTheGivenName) {
    SettingsKey key;
    SPSensorRecord sensor = {};
    sensor.limits[SP_SLOT_FH] = 3;
    sensor.limits[SP_SLOT_WH] = 2;
    SaveThresholds(sensor, "Page Faults/sec");
    EXPECT_EQ((std::vector<std::string>{"Page Faults/secFH", "Page Faults/secWH"}), SettingsKey::Names());
    EXPECT_EQ(2u, SettingsKey::Get("Page Faults/secWH"));
    EXPECT_EQ(3u, SettingsKey::Get("Page Faults/secFH"));
}

TEST(WriteRegistryValue, CreatesTheWholePathAndReportsFailure) {
    const char* path = "SOFTWARE\\KelvrimTests\\Deep\\Path";
    RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\KelvrimTests\\Deep");
    const DWORD value = 42;
    EXPECT_EQ(1, WriteRegistryValue(HKEY_CURRENT_USER, path, "v", REG_DWORD, &value, 4));
    DWORD stored = 0, size = 4;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_CURRENT_USER, path, "v", RRF_RT_REG_DWORD, nullptr, &stored, &size));
    EXPECT_EQ(42u, stored);
    const std::string tooLong(20000, 'n');  // value names end at 16,383 characters
    EXPECT_EQ(0, WriteRegistryValue(HKEY_CURRENT_USER, path, tooLong.c_str(), REG_DWORD, &value, 4));
    EXPECT_EQ(0, WriteRegistryValue(reinterpret_cast<HKEY>(0x1234), path, "v", REG_DWORD, &value, 4));
    RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\KelvrimTests\\Deep");
}
