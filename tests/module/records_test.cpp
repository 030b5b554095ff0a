// The shared records' constants and the pure helpers that every part of the module relies on.
#include <gtest/gtest.h>
#include <string.h>

#include "sensor_table.h"
#include "locked_records.h"
#include "state.h"

TEST(SensorTable, IdentifiersHaveTheirBytesInMemoryOrder) {
    const uint8_t expected[3][4] = {{0x00, 1, 0x02, 0x01}, {0x00, 2, 0x02, 0x01}, {0x00, 3, 0x02, 0x01}};
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) {
        uint32_t id = SensorIdOf(i);
        EXPECT_EQ(0, memcmp(&id, expected[i], 4)) << i;
    }
    const uint8_t group[4] = {0x00, 0x00, 0x03, 0x03};
    EXPECT_EQ(0, memcmp(&SENSOR_GROUP_ID, group, 4));
}

TEST(SensorTable, StartsZeroWithDefaultGlobalProperty) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    EXPECT_EQ(2u, records.globalProperty.flags);
    EXPECT_EQ(5000u, records.globalProperty.intervalMs);
    EXPECT_EQ(nullptr, FindSensor(records.sensorTable, SensorIdOf(0)));  // nothing set up yet: all records are zero
}

TEST(SensorTable, FindSensorScansFromTheFirst) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    SPSensorRecord saved[SP_SENSOR_COUNT];
    memcpy(saved, records.sensorTable, sizeof saved);
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) records.sensorTable[i].sensorId = SensorIdOf(i);
    EXPECT_EQ(&records.sensorTable[1], FindSensor(records.sensorTable, 0x01020200));
    EXPECT_EQ(nullptr, FindSensor(records.sensorTable, 0x01020400));
    records.sensorTable[2].sensorId = SensorIdOf(1);
    EXPECT_EQ(&records.sensorTable[1], FindSensor(records.sensorTable, 0x01020200));
    memcpy(records.sensorTable, saved, sizeof saved);
}

TEST(Classification, FhIsTestedFirstAndLimitsAreInclusive) {
    struct Case {
        uint32_t value, fh, wh;
        uint16_t state;
    } cases[] = {
        {89, 95, 90, SP_STATE_NORMAL}, {90, 95, 90, SP_STATE_WH},     {94, 95, 90, SP_STATE_WH},
        {95, 95, 90, SP_STATE_FH},     {0, 0, 90, SP_STATE_FH},       {0, 95, 0, SP_STATE_WH},
        {60, 50, 100, SP_STATE_FH},    {40, 50, 100, SP_STATE_NORMAL}, {0xFFFFFFFF, 0xFFFFFFFF, 0, SP_STATE_FH},
    };
    for (const Case& c : cases) {
        uint32_t limits[4] = {7, 7, c.fh, c.wh};
        EXPECT_EQ(c.state, ClassifyValue(c.value, limits)) << c.value << " " << c.fh << " " << c.wh;
    }
}

TEST(Readings, UsageIsWholePercentTruncated) {
    struct Case {
        uint32_t avail, total, percent;
    } cases[] = {
        {1, 10000, 99},  // 99.99 % in use
        {0, 10000, 100}, {10000, 10000, 0}, {371, 1000, 62},  // 62.9 %
        {5, 0, 0},       // no total: no division by zero
        {20, 10, 0},     // more available than total: not a negative percentage
    };
    for (const Case& c : cases) EXPECT_EQ(c.percent, UsagePercent(c.avail, c.total)) << c.avail << "/" << c.total;
}

TEST(Readings, PageFaultDivisorIsWholeSecondsAndNeverZero) {
    const uint32_t cases[][2] = {{5000, 5}, {2500, 2}, {1999, 1}, {1000, 1}, {999, 1}, {0, 1}};
    for (const auto& c : cases) EXPECT_EQ(c[1], PageFaultDivisor(c[0])) << c[0];
}

TEST(Readings, MemoryFiguresAreKilobytesLow32Bits) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    MEMORYSTATUSEX status = {};
    status.ullTotalPhys = 0x123456789ABCDull;
    status.ullAvailPhys = 1023;
    status.ullTotalPageFile = 1024;
    status.ullAvailPageFile = 0x40000000000ull;  // 2^42 bytes = 2^32 KB: low 32 bits are 0
    status.ullTotalVirtual = 0xFFFFFFFFull;
    status.ullAvailVirtual = 2048;
    RefreshMemoryFigures(records.memoryFigures, status);
    EXPECT_EQ(static_cast<uint32_t>(0x123456789ABCDull >> 10), records.memoryFigures.totalPhysKB);
    EXPECT_EQ(0u, records.memoryFigures.availPhysKB);
    EXPECT_EQ(1u, records.memoryFigures.totalPageFileKB);
    EXPECT_EQ(0u, records.memoryFigures.availPageFileKB);
    EXPECT_EQ(0x3FFFFFu, records.memoryFigures.totalVirtualKB);
    EXPECT_EQ(2u, records.memoryFigures.availVirtualKB);
}

TEST(EventQueueGrowth, StopsBeforeTheByteCountOverflows) {
    EXPECT_EQ(16u, NextEventCapacity(0));
    EXPECT_EQ(64u, NextEventCapacity(32));
    uint32_t capacity = 0, steps = 0;
    while (uint32_t next = NextEventCapacity(capacity)) {
        ASSERT_GT(next, capacity);
        ASSERT_LE(uint64_t(next) * sizeof(SPEvent), 0x7FFFFFFFull);
        capacity = next;
        ++steps;
    }
    EXPECT_LT(steps, 40u);  // growth ends: the append that cannot grow drops its event
}
