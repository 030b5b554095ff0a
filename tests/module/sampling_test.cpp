// Classification and the notification rules of a tick and of a threshold change.
#include <gtest/gtest.h>

#include "locked_records.h"
#include "module_test_support.h"
#include "sampling.h"

namespace {

SPSensorRecord Sensor(uint32_t fh, uint32_t wh, uint32_t value = 0, uint16_t state = SP_STATE_NORMAL) {
    SPSensorRecord sensor = {};
    sensor.sensorId = SensorIdOf(0);
    sensor.groupId = SENSOR_GROUP_ID;
    strcpy(sensor.name, "PhyMemUsage");
    sensor.limits[SP_SLOT_FH] = fh;
    sensor.limits[SP_SLOT_WH] = wh;
    sensor.value = value;
    sensor.state = sensor.prevState = state;
    return sensor;
}

struct Expected {
    uint16_t prevState, state;
    uint32_t value, eventTime;
};

// Ticks the readings into one sensor at times 1, 2, 3, ... and returns the events queued.
std::vector<SPEvent> Tick(uint32_t flags, std::initializer_list<uint32_t> readings, std::vector<uint16_t>* states) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    records.globalProperty.flags = flags;
    SPSensorRecord sensor = Sensor(95, 90, 0);
    uint32_t time = 0;
    for (uint32_t reading : readings) {
        if (EvaluateSample(lock, reading, ++time, sensor)) QueueEvent(lock, sensor);
        if (states) states->push_back(sensor.state);
    }
    std::vector<SPEvent> events = QueuedEvents();
    records.eventQueue.Clear();
    return events;
}

}  // namespace

TEST(EvaluateSample, NotifiesByTheSwitches) {
    ModuleStateGuard guard;
    const uint16_t N = SP_STATE_NORMAL, W = SP_STATE_WH, F = SP_STATE_FH;
    const struct Case {
        uint32_t flags;
        std::vector<Expected> events;
    } cases[] = {
        {2, {{N, W, 91, 2}, {W, F, 96, 4}, {F, N, 89, 6}}},
        {3, {{N, W, 91, 2}, {W, W, 93, 3}, {W, F, 96, 4}, {F, F, 96, 5}, {F, N, 89, 6}}},
        {0, {{N, W, 91, 2}, {W, F, 96, 4}}},
        {1, {{N, W, 91, 2}, {W, W, 93, 3}, {W, F, 96, 4}, {F, F, 96, 5}}},
    };
    for (const Case& c : cases) {
        std::vector<uint16_t> states;
        std::vector<SPEvent> events = Tick(c.flags, {85, 91, 93, 96, 96, 89}, &states);
        EXPECT_EQ((std::vector<uint16_t>{N, W, W, F, F, N}), states) << "flags " << c.flags;
        ASSERT_EQ(c.events.size(), events.size()) << "flags " << c.flags;
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(c.events[i].prevState, events[i].prevState) << c.flags << "/" << i;
            EXPECT_EQ(c.events[i].state, events[i].state) << c.flags << "/" << i;
            EXPECT_EQ(c.events[i].value, events[i].value) << c.flags << "/" << i;
            EXPECT_EQ(c.events[i].eventTime, events[i].eventTime) << c.flags << "/" << i;
        }
    }
}

TEST(EvaluateSample, KeepsTheRecordFields) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    records.globalProperty.flags = 0;
    SPSensorRecord sensor = Sensor(95, 90, 91, SP_STATE_WH);
    sensor.stateTime = 7;
    sensor.prevState = SP_STATE_NORMAL;

    EXPECT_FALSE(EvaluateSample(lock, 91, 10, sensor));  // same value, same state
    EXPECT_EQ(0u, sensor.changeFlags);
    EXPECT_EQ(10u, sensor.sampleTime);
    EXPECT_EQ(SP_STATE_WH, sensor.prevState);  // equal to state after an unchanged sample
    EXPECT_EQ(7u, sensor.stateTime);

    EXPECT_FALSE(EvaluateSample(lock, 20, 11, sensor));  // back to normal without the notify-normal switch
    EXPECT_EQ(SP_CHANGED_VALUE | SP_CHANGED_STATE, sensor.changeFlags);
    EXPECT_EQ(SP_STATE_WH, sensor.prevState);
    EXPECT_EQ(SP_STATE_NORMAL, sensor.state);
    EXPECT_EQ(11u, sensor.stateTime);

    SPSensorRecord zeroFh = Sensor(0, 90);
    EXPECT_TRUE(EvaluateSample(lock, 0, 12, zeroFh));  // FH of 0 puts every reading in FH
    EXPECT_EQ(SP_STATE_FH, zeroFh.state);
}

TEST(ApplyThresholds, SavesOnlyRealChangesAndClassifiesAgain) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    SettingsKey key;
    records.globalProperty.flags = SP_PROP_NOTIFY_NORMAL;
    SPSensorRecord sensor = Sensor(95, 90, 92, SP_STATE_WH);
    sensor.prevState = SP_STATE_NORMAL;

    SPThreshold same = {0xF, {0, 0, 95, 90}};
    EXPECT_FALSE(ApplyThresholds(lock, same, 5, sensor));
    EXPECT_EQ(0u, sensor.changeFlags);
    EXPECT_EQ(SP_STATE_NORMAL, sensor.prevState);  // left as it was, unlike a tick
    EXPECT_TRUE(SettingsKey::Names().empty());     // nothing saved

    SPThreshold lowerSlots = {0x3, {1, 2, 0, 0}};
    EXPECT_FALSE(ApplyThresholds(lock, lowerSlots, 6, sensor));
    EXPECT_EQ(SP_CHANGED_THRESHOLD, sensor.changeFlags);
    EXPECT_EQ(SP_STATE_WH, sensor.state);  // the lower slots never classify
    EXPECT_EQ((std::vector<std::string>{"PhyMemUsageFH", "PhyMemUsageWH"}), SettingsKey::Names());

    SPThreshold raiseWh = {0x8 | 0x100, {0, 0, 0, 93}};  // unknown mask bits are ignored
    EXPECT_TRUE(ApplyThresholds(lock, raiseWh, 7, sensor));  // to normal, notified with the switch on
    EXPECT_EQ(SP_STATE_NORMAL, sensor.state);
    EXPECT_EQ(SP_STATE_WH, sensor.prevState);
    EXPECT_EQ(7u, sensor.stateTime);
    EXPECT_EQ(93u, SettingsKey::Get("PhyMemUsageWH"));
    EXPECT_EQ(95u, SettingsKey::Get("PhyMemUsageFH"));
    const uint32_t limits[4] = {1, 2, 95, 93};
    EXPECT_EQ(0, memcmp(limits, sensor.limits, sizeof limits));
    EXPECT_EQ(92u, sensor.value);  // no new sample
}

TEST(ApplyThresholds, AnEmptyMaskStillRepeatsAboveWh) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    ModuleStateGuard guard;
    SettingsKey key;
    records.globalProperty.flags = SP_PROP_REPEAT;
    SPSensorRecord sensor = Sensor(95, 90, 96, SP_STATE_FH);
    SPThreshold none = {0, {}};
    EXPECT_TRUE(ApplyThresholds(lock, none, 9, sensor));
    EXPECT_EQ(SP_STATE_FH, sensor.prevState);
    EXPECT_EQ(9u, sensor.stateTime);
    EXPECT_EQ(0u, sensor.changeFlags);
    EXPECT_TRUE(SettingsKey::Names().empty());
}

TEST(SampleTick, DoesNothingWhileTheModuleIsIdle) {
    ModuleStateGuard guard;
    Locked()->sensorTable[0] = Sensor(0, 0);
    Locked()->run = nullptr;
    SampleTick();
    EXPECT_EQ(0u, Locked()->sensorTable[0].sampleTime);
    EXPECT_EQ(0u, Locked()->eventQueue.count);
}

TEST(SampleTick, ReadsMemoryAndNotifiesEachSensorInOrder) {
    ModuleStateGuard guard;
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) Locked()->sensorTable[i] = Sensor(0, 0);  // everything is FH
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) Locked()->sensorTable[i].sensorId = SensorIdOf(i);
    Locked()->globalProperty = {SP_PROP_NOTIFY_NORMAL, 4000};
    Locked()->pageFaultSum = 4003;
    PublishedRun run;
    SampleTick();

    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    GlobalMemoryStatusEx(&status);
    EXPECT_EQ(static_cast<uint32_t>(status.ullTotalPhys >> 10), Locked()->memoryFigures.totalPhysKB);
    std::vector<SPEvent> events = QueuedEvents();
    ASSERT_EQ(3u, events.size());
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) {
        EXPECT_EQ(SensorIdOf(i), events[i].sensorId);
        EXPECT_EQ(events[0].eventTime, events[i].eventTime);  // one time for the whole tick
    }
    EXPECT_EQ(1000u, Locked()->sensorTable[2].value);  // 4003 / (4000 / 1000)
    EXPECT_LE(Locked()->sensorTable[0].value, 100u);
    EXPECT_EQ(SP_REASON_EVENTS, Locked()->pendingReasons);
    EXPECT_TRUE(run.EventSet());
}
