// The configuration requests against the module's own state: dispatch, every handler, and the
// refusals that must leave everything as it was.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "../../common/handles.h"
#include "config_requests.h"
#include "sensor_table.h"
#include "locked_records.h"
#include "state.h"

namespace {

constexpr uint32_t CHANGED_ALL = SP_CHANGED_VALUE | SP_CHANGED_THRESHOLD | SP_CHANGED_STATE;
constexpr uint32_t UNKNOWN_SENSOR = 0x01020400;

uint32_t U32At(const void* base, size_t offset) {
    uint32_t value;
    memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return value;
}

uint16_t U16At(const void* base, size_t offset) {
    uint16_t value;
    memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return value;
}

void* AsParam(uint32_t value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); }

// Everything a request may change, to show that a refusal changed none of it.
struct Snapshot {
    SPSensorRecord sensors[SP_SENSOR_COUNT];
    SPGlobalProperty property;
    std::vector<SPEvent> events;
    uint32_t reasons;
    MemoryFigures figures;

    static Snapshot Take() {
        Snapshot s;
        Locked records;  // all of it at one instant
        memcpy(s.sensors, records->sensorTable, sizeof s.sensors);
        s.property = records->globalProperty;
        s.events.assign(records->eventQueue.items, records->eventQueue.items + records->eventQueue.count);
        s.reasons = records->pendingReasons;
        s.figures = records->memoryFigures;
        return s;
    }
    bool operator==(const Snapshot& o) const {
        return memcmp(sensors, o.sensors, sizeof sensors) == 0 && memcmp(&property, &o.property, sizeof property) == 0 &&
               events.size() == o.events.size() &&
               (events.empty() || memcmp(events.data(), o.events.data(), events.size() * sizeof(SPEvent)) == 0) &&
               reasons == o.reasons && memcmp(&figures, &o.figures, sizeof figures) == 0;
    }
};

// The limit stored for a sensor name and suffix, or nothing.
bool StoredLimit(const char* name, const char* suffix, DWORD& value) {
    std::string valueName = std::string(name) + suffix;
    DWORD bytes = sizeof value;
    return RegGetValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, valueName.c_str(), RRF_RT_REG_DWORD, nullptr, &value,
                        &bytes) == ERROR_SUCCESS;
}

// Three set-up sensors with readings 50, 92 (at WH) and 31000 (above FH), default limits, every
// change bit set; a clean queue, no reasons, a real host event, no settings key.
class ConfigRequests : public ::testing::Test {
protected:
    void SetUp() override {
        Locked records;
        const uint32_t values[SP_SENSOR_COUNT] = {50, 92, 31000};
        for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) {
            const SensorConstants& c = sensorConstants[i];
            SPSensorRecord& s = records->sensorTable[i];
            memset(&s, 0, sizeof s);
            s.sensorId = SensorIdOf(i);
            s.groupId = SENSOR_GROUP_ID;
            s.descriptorCode = c.descriptorCode;
            s.descriptorClass = SENSOR_DESCRIPTOR_CLASS;
            s.sampleTime = 1700000000 + i;
            s.changeFlags = CHANGED_ALL;
            s.value = values[i];
            s.descriptorValue = c.descriptorValue;
            s.limits[SP_SLOT_FH] = c.defaultFH;
            s.limits[SP_SLOT_WH] = c.defaultWH;
            s.state = ClassifyValue(s.value, s.limits);
            s.prevState = SP_STATE_NORMAL;
            s.stateTime = 1600000000 + i;
            strcpy(s.name, c.name);
        }
        records->globalProperty = {SP_PROP_NOTIFY_NORMAL, 5000};
        records->eventQueue.Clear();
        records->pendingReasons = 0;
        records->memoryFigures = {1048576, 524288, 2097152, 1572864, 2097024, 1900000};
        run.hostEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        records->run = &run;
        LONG deleted = RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
        ASSERT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND);
    }
    void TearDown() override {
        Locked()->run = nullptr;
        run.hostEvent.reset();
        Locked()->eventQueue.Clear();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
    }
    bool HostEventSet() const { return WaitForSingleObject(run.hostEvent.get(), 0) == WAIT_OBJECT_0; }
    ModuleRun run;  // published for each test, as a start leaves it
};

// --- Dispatch ---

TEST_F(ConfigRequests, MatchesTheLow8BitsOfTheOperationAndTheExactName) {
    ModuleLockScope lock;
    struct Case {
        uint32_t op;
        const char* name;
        int result;
    } cases[] = {
        {SP_OP_GET, "SP_SENSORGROUPS", 1}, {3, "SP_SENSORGROUPS", 1},     {0x101, "SP_SENSORGROUPS", 1},
        {0xFFFFFF01, "SP_SENSORGROUPS", 1}, {0x100, "SP_SENSORGROUPS", 0}, {0, "SP_SENSORGROUPS", 0},
        {SP_OP_SET, "SP_SENSORGROUPS", 0}, {1, "sp_sensorgroups", 0},     {1, "SP_SensorGroups", 0},
        {1, "SP_SENSORGROUPS ", 0},        {1, "SP_SENSORGROUP", 0},      {1, "", 0},
        {1, nullptr, 0},
    };
    for (const Case& c : cases) {
        uint32_t count = 0xDEAD;
        EXPECT_EQ(c.result, DispatchConfigRequest(lock, c.op, c.name, &count, nullptr, nullptr))
            << std::hex << c.op << " " << (c.name ? c.name : "(null)");
        EXPECT_EQ(c.result ? 1u : 0xDEADu, count);
    }
}

TEST_F(ConfigRequests, BothOperationBitsRunTheFirstMatchingRow) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    SPGlobalProperty property = {7, 7};
    EXPECT_EQ(1, DispatchConfigRequest(lock, 3, "SP_GBLPROPERTY", &property, nullptr, nullptr));
    EXPECT_EQ(SP_PROP_NOTIFY_NORMAL, property.flags);  // the get row comes first
    EXPECT_EQ(5000u, property.intervalMs);
    EXPECT_EQ(5000u, records.globalProperty.intervalMs);
}

// Requests without a row for their operation, and the rows that only refuse, change nothing
// even when handed parameters that another row would act on.
TEST_F(ConfigRequests, UnmatchedAndRefusedRequestsChangeNothing) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    struct Case {
        uint32_t op;
        const char* name;
    } cases[] = {
        {SP_OP_SET, "SP_SENSORS"},     {SP_OP_SET, "SP_EVENTS"},       {SP_OP_GET, "SP_RESET"},
        {SP_OP_GET, "SP_THRESHOLD"},   {SP_OP_SET, "SP_SENSORGROUPS"}, {SP_OP_SET, "SP_EVENTREASON"},
        {SP_OP_GET, "SP_CONFIGGROUPS"}, {SP_OP_SET, "SP_CONFIGGROUPS"}, {SP_OP_SET, "SP_CONFIGITEM"},
        {SP_OP_SET, "SP_CONFIGTYPE"},  {SP_OP_GET, "SP_UNKNOWN"},      {SP_OP_SET, "sp_gblproperty"},
    };
    records.pendingReasons = SP_REASON_EVENTS;
    QueueEvent(lock, records.sensorTable[1]);
    for (const Case& c : cases) {
        // param1 reads as a sensor id, a property, a count or an item key; param2 as a threshold.
        uint32_t first[8] = {SensorIdOf(0), 0, SENSOR_GROUP_ID, 20, 0, 0, 0, 0};
        uint32_t second[8] = {0xF, 1, 2, 3, 4, 5, 6, 7};
        uint32_t third[8] = {};
        uint32_t firstBefore[8], secondBefore[8];
        memcpy(firstBefore, first, sizeof first);
        memcpy(secondBefore, second, sizeof second);
        const Snapshot before = Snapshot::Take();
        EXPECT_EQ(0, DispatchConfigRequest(lock, c.op, c.name, first, second, third)) << c.op << " " << c.name;
        EXPECT_TRUE(before == Snapshot::Take()) << c.op << " " << c.name;
        EXPECT_EQ(0, memcmp(first, firstBefore, sizeof first)) << c.name;
        EXPECT_EQ(0, memcmp(second, secondBefore, sizeof second)) << c.name;
        for (uint32_t word : third) EXPECT_EQ(0u, word) << c.name;
    }
}

// A table of its own shows the calling forms and where the walk stops.
struct FormProbe {
    int calls = 0;
    uint32_t op = 0;
    const char* name = nullptr;
    void* params[3] = {};
} probe;
int ProbeParams(const ModuleLockScope&, void* p1, void* p2, void* p3) {
    probe = {probe.calls + 1, 0, nullptr, {p1, p2, p3}};
    return 1;
}
int ProbeAll(const ModuleLockScope&, uint32_t op, const char* name, void* p1, void* p2, void* p3) {
    probe = {probe.calls + 1, op, name, {p1, p2, p3}};
    return 1;
}
int AnswerTwo(const ModuleLockScope&, void*, void*, void*) { return 2; }

TEST(ConfigDispatch, CallsEachRowInItsFormAndPassesOverRowsWithoutOne) {
    ModuleLockScope lock;
    const ConfigRequest table[] = {
        {SP_OP_GET, "PARAMS", ProbeParams, CALL_WITH_PARAMS},
        {SP_OP_GET, "ALL", ProbeAll, CALL_WITH_ALL},
        {SP_OP_GET, "BOTH", ProbeParams, CALL_WITH_PARAMS | CALL_WITH_ALL},
        {SP_OP_GET, "NONE", ProbeParams, 0x4},
        {SP_OP_GET, "NONE", AnswerTwo, CALL_WITH_PARAMS},
        {0, nullptr, ConfigHandler(), 0},
        {SP_OP_GET, "AFTER", ProbeParams, CALL_WITH_PARAMS},
    };
    int a, b, c;
    const char* all = "ALL";

    probe = {};
    EXPECT_EQ(1, DispatchRequest(lock, table, 0x301, "PARAMS", &a, &b, &c));
    EXPECT_EQ(1, probe.calls);
    EXPECT_EQ(&a, probe.params[0]);
    EXPECT_EQ(&b, probe.params[1]);
    EXPECT_EQ(&c, probe.params[2]);

    probe = {};
    EXPECT_EQ(1, DispatchRequest(lock, table, 0x301, all, &a, &b, &c));
    EXPECT_EQ(0x301u, probe.op);  // the whole operation, not only the bits that matched
    EXPECT_EQ(all, probe.name);
    EXPECT_EQ(&c, probe.params[2]);

    probe = {};
    EXPECT_EQ(1, DispatchRequest(lock, table, 1, "BOTH", &a, &b, &c));
    EXPECT_EQ(nullptr, probe.name);  // bit 0x1 is tested first

    probe = {};
    EXPECT_EQ(2, DispatchRequest(lock, table, 1, "NONE", &a, &b, &c));
    EXPECT_EQ(0, probe.calls);
    EXPECT_EQ(0, DispatchRequest(lock, table, 1, "AFTER", &a, &b, &c));
    EXPECT_EQ(0, probe.calls);
}

// --- Global property ---

TEST_F(ConfigRequests, GlobalPropertyIsStoredAndReturnedWhole) {
    SPGlobalProperty set = {0xFFFFFFFF, 1234};
    EXPECT_EQ(1, SPConfig(SP_OP_SET, "SP_GBLPROPERTY", &set, nullptr, nullptr));
    SPGlobalProperty got = {};
    EXPECT_EQ(1, SPConfig(SP_OP_GET, "SP_GBLPROPERTY", &got, nullptr, nullptr));
    EXPECT_EQ(0xFFFFFFFFu, got.flags);
    EXPECT_EQ(1234u, got.intervalMs);
}

// --- Sensors ---

// The bytes of one reply entry as the host sees them, field by field at their offsets.
void ExpectEntry(const uint8_t* entry, size_t size, const SPSensorRecord& s, uint32_t changeFlags) {
    EXPECT_EQ(s.sensorId, U32At(entry, 0));
    EXPECT_EQ(s.groupId, U32At(entry, 4));
    if (size == sizeof(SPSensorRecord)) {
        SPSensorRecord expected = s;
        expected.changeFlags = changeFlags;
        EXPECT_EQ(0, memcmp(&expected, entry, size));
        return;
    }
    EXPECT_EQ(s.sampleTime, U32At(entry, 8));
    EXPECT_EQ(s.value, U32At(entry, 12));
    if (size == sizeof(SPSensorSummary)) {
        EXPECT_EQ(changeFlags, U32At(entry, 16));
        return;
    }
    for (int slot = 0; slot < 4; ++slot) EXPECT_EQ(s.limits[slot], U32At(entry, 16 + 4 * slot));
    EXPECT_EQ(s.prevState, U16At(entry, 32));
    EXPECT_EQ(s.state, U16At(entry, 34));
    EXPECT_EQ(s.stateTime, U32At(entry, 36));
}

TEST_F(ConfigRequests, SensorsComeInTheFormTheSelectorAsksFor) {
    struct Case {
        const char* what;
        uint32_t selector;
        uint32_t count;
        uint32_t firstWord;  // for one sensor: the identifier asked for
        int result;
        size_t entrySize;
        uint32_t first, entries;  // which sensors the reply holds
    } cases[] = {
        {"full", 0, 3, 0, 1, 316, 0, 3},
        {"summary", SP_SELECT_SUMMARY, 3, 0, 1, 20, 0, 3},
        {"status", SP_SELECT_STATUS, 3, 0, 1, 40, 0, 3},
        {"summary wins", SP_SELECT_SUMMARY | SP_SELECT_STATUS, 3, 0, 1, 20, 0, 3},
        {"other bits ignored", 0xFFFEFFF8 | SP_SELECT_STATUS, 3, 0, 1, 40, 0, 3},
        {"one full", SP_SELECT_ONE, 3, SensorIdOf(1), 1, 316, 1, 1},
        {"one summary", SP_SELECT_ONE | SP_SELECT_SUMMARY, 3, SensorIdOf(2), 1, 20, 2, 1},
        {"one status", SP_SELECT_ONE | SP_SELECT_STATUS, 3, SensorIdOf(0), 1, 40, 0, 1},
        {"one unknown", SP_SELECT_ONE, 3, UNKNOWN_SENSOR, 0, 316, 0, 0},
        {"one with count 1", SP_SELECT_ONE, 1, SensorIdOf(0), 0, 316, 0, 0},
        {"count 2", SP_SELECT_SUMMARY, 2, 0, 0, 20, 0, 0},
        {"count 4", 0, 4, 0, 0, 316, 0, 0},
        {"count 0", 0, 0, 0, 0, 316, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const Snapshot before = Snapshot::Take();
        std::vector<uint8_t> buffer(3 * 316 + 16, 0xCC);
        memcpy(buffer.data(), &c.firstWord, sizeof c.firstWord);
        const std::vector<uint8_t> untouched = buffer;
        uint32_t count = c.count;

        EXPECT_EQ(c.result, SPConfig(SP_OP_GET, "SP_SENSORS", &count, buffer.data(), AsParam(c.selector)));
        EXPECT_EQ(c.count, count);
        const size_t written = c.entries * c.entrySize;
        for (uint32_t i = 0; i < c.entries; ++i)
            ExpectEntry(&buffer[i * c.entrySize], c.entrySize, before.sensors[c.first + i], CHANGED_ALL);
        EXPECT_EQ(0, memcmp(&buffer[written], &untouched[written], buffer.size() - written));
        for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) {
            const bool read = i >= c.first && i < c.first + c.entries;
            EXPECT_EQ(read ? 0u : CHANGED_ALL, Locked()->sensorTable[i].changeFlags) << i;
            Locked()->sensorTable[i].changeFlags = CHANGED_ALL;
        }
        EXPECT_TRUE(before == Snapshot::Take());  // nothing else changed
    }
}

TEST_F(ConfigRequests, SensorSizeQueryAsksForThreeAndASecondReadShowsNoChanges) {
    uint32_t count = 0;
    EXPECT_EQ(1, SPConfig(SP_OP_GET, "SP_SENSORS", &count, nullptr, AsParam(SP_SELECT_ONE)));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(CHANGED_ALL, Locked()->sensorTable[0].changeFlags);

    SPSensorSummary summaries[3];
    ASSERT_EQ(1, SPConfig(SP_OP_GET, "SP_SENSORS", &count, summaries, AsParam(SP_SELECT_SUMMARY)));
    ASSERT_EQ(1, SPConfig(SP_OP_GET, "SP_SENSORS", &count, summaries, AsParam(SP_SELECT_SUMMARY)));
    for (const SPSensorSummary& s : summaries) EXPECT_EQ(0u, s.changeFlags);
}

// --- Events ---

TEST_F(ConfigRequests, EventsAreHandedOverWholeOrNotAtAll) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    struct Case {
        const char* what;
        uint32_t queued;
        uint32_t count;
        bool buffer;
        int result;
        uint32_t countAfter;
        uint32_t delivered;
    } cases[] = {
        {"size query", 3, 0xDEAD, false, 1, 3, 0},
        {"size query, empty", 0, 0xDEAD, false, 1, 0, 0},
        {"exact count", 3, 3, true, 1, 3, 3},
        {"larger count", 3, 10, true, 1, 10, 3},
        {"short count", 3, 2, true, 0, 2, 0},
        {"empty queue, count 0", 0, 0, true, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        records.eventQueue.Clear();
        for (uint32_t i = 0; i < c.queued; ++i) QueueEvent(lock, records.sensorTable[i % SP_SENSOR_COUNT]);
        std::vector<SPEvent> expected(records.eventQueue.items, records.eventQueue.items + records.eventQueue.count);
        std::vector<uint8_t> buffer(10 * sizeof(SPEvent), 0xCC);
        uint32_t count = c.count;

        EXPECT_EQ(c.result, SPConfig(SP_OP_GET, "SP_EVENTS", &count, c.buffer ? buffer.data() : nullptr, nullptr));
        EXPECT_EQ(c.countAfter, count);
        const size_t written = c.delivered * sizeof(SPEvent);
        if (written) {
            EXPECT_EQ(0, memcmp(buffer.data(), expected.data(), written));
        }
        for (size_t i = written; i < buffer.size(); ++i) ASSERT_EQ(0xCC, buffer[i]) << i;
        EXPECT_EQ(c.delivered || (c.buffer && c.result) ? 0u : c.queued, records.eventQueue.count);
    }
}

// --- Thresholds ---

struct ThresholdCase {
    const char* what;
    uint32_t flags;
    uint32_t sensorId;
    SPThreshold request;
    int result;
    uint32_t limits[4];  // in force afterwards
    uint16_t prevState, state;
    bool event;
    bool saved;  // FH and WH written to the settings key
};

// Sensor 0 reads 50 (NORMAL), sensor 1 reads 92 (WH), sensor 2 reads 31000 (FH).
const ThresholdCase thresholdCases[] = {
    {"FH down to the reading", 2, SensorIdOf(0), {0x4, {0, 0, 50, 0}}, 1, {0, 0, 50, 90},
     SP_STATE_NORMAL, SP_STATE_FH, true, true},
    {"both up: back to normal, notified", 2, SensorIdOf(1), {0xC, {0, 0, 99, 98}}, 1, {0, 0, 99, 98},
     SP_STATE_WH, SP_STATE_NORMAL, true, true},
    {"both up: back to normal, not notified", 0, SensorIdOf(1), {0xC, {0, 0, 99, 98}}, 1, {0, 0, 99, 98},
     SP_STATE_WH, SP_STATE_NORMAL, false, true},
    {"WH above FH: FH wins", 2, SensorIdOf(0), {0xC, {0, 0, 40, 60}}, 1, {0, 0, 40, 60},
     SP_STATE_NORMAL, SP_STATE_FH, true, true},
    {"mask 0 with repeat above WH", 3, SensorIdOf(1), {0, {9, 9, 0, 0}}, 1, {0, 0, 95, 90},
     SP_STATE_WH, SP_STATE_WH, true, false},
    {"mask 0 without repeat", 2, SensorIdOf(1), {0, {9, 9, 0, 0}}, 1, {0, 0, 95, 90},
     SP_STATE_NORMAL, SP_STATE_WH, false, false},
    {"same limits again", 2, SensorIdOf(2), {0xC, {0, 0, 30000, 20000}}, 1, {0, 0, 30000, 20000},
     SP_STATE_NORMAL, SP_STATE_FH, false, false},
    {"lower slots only", 3, SensorIdOf(2), {0xF3, {7, 8, 1, 1}}, 1, {7, 8, 30000, 20000},
     SP_STATE_FH, SP_STATE_FH, true, true},
    {"unknown sensor", 3, UNKNOWN_SENSOR, {0xF, {1, 1, 1, 1}}, 0, {}, 0, 0, false, false},
};

TEST_F(ConfigRequests, ThresholdChangesAreSavedAndReclassifyTheReading) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    for (const ThresholdCase& c : thresholdCases) {
        SCOPED_TRACE(c.what);
        SetUp();
        records.globalProperty.flags = c.flags;
        const Snapshot before = Snapshot::Take();
        uint32_t sensorId = c.sensorId;
        SPThreshold request = c.request;
        const uint32_t start = UnixTime();

        EXPECT_EQ(c.result, SPConfig(SP_OP_SET, "SP_THRESHOLD", &sensorId, &request, nullptr));
        SPSensorRecord* sensor = FindSensor(moduleState.Records(lock).sensorTable, c.sensorId);
        if (!c.result) {
            EXPECT_TRUE(before == Snapshot::Take());
            continue;
        }
        EXPECT_EQ(0, memcmp(c.limits, sensor->limits, sizeof c.limits));
        EXPECT_EQ(c.prevState, sensor->prevState);
        EXPECT_EQ(c.state, sensor->state);
        const SPSensorRecord& old = before.sensors[sensor - records.sensorTable];
        EXPECT_EQ(old.value, sensor->value);
        EXPECT_EQ(old.sampleTime, sensor->sampleTime);
        const bool stamped = c.state != old.state || c.event;
        if (stamped) {
            EXPECT_GE(sensor->stateTime, start);
        } else {
            EXPECT_EQ(old.stateTime, sensor->stateTime);
        }

        ASSERT_EQ(c.event ? 1u : 0u, records.eventQueue.count);
        EXPECT_EQ(c.event ? SP_REASON_EVENTS : 0u, records.pendingReasons);
        EXPECT_EQ(c.event, HostEventSet());
        if (c.event) {
            const SPEvent& e = records.eventQueue.items[0];
            EXPECT_EQ(sensor->stateTime, e.eventTime);
            EXPECT_EQ(c.sensorId, e.sensorId);
            EXPECT_EQ(c.prevState, e.prevState);
            EXPECT_EQ(c.state, e.state);
        }
        DWORD wh = 0, fh = 0;
        EXPECT_EQ(c.saved, StoredLimit(sensor->name, "WH", wh));
        EXPECT_EQ(c.saved, StoredLimit(sensor->name, "FH", fh));
        if (c.saved) {
            EXPECT_EQ(c.limits[SP_SLOT_WH], wh);
            EXPECT_EQ(c.limits[SP_SLOT_FH], fh);
        }
    }
}

TEST_F(ConfigRequests, ResetRestoresEachSensorsDefaultsAndKeepsTheLowerSlots) {
    Locked()->globalProperty.flags = SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL;
    const uint32_t changed[SP_SENSOR_COUNT][4] = {{1, 2, 40, 30}, {0, 0, 95, 90}, {5, 6, 99999, 88888}};
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) memcpy(Locked()->sensorTable[i].limits, changed[i], sizeof changed[i]);
    Locked()->sensorTable[0].state = SP_STATE_FH;
    Locked()->sensorTable[2].state = SP_STATE_NORMAL;

    EXPECT_EQ(1, SPConfig(SP_OP_SET, "SP_RESET", nullptr, nullptr, nullptr));

    const uint32_t defaults[SP_SENSOR_COUNT][4] = {{1, 2, 95, 90}, {0, 0, 95, 90}, {5, 6, 30000, 20000}};
    const uint16_t states[SP_SENSOR_COUNT] = {SP_STATE_NORMAL, SP_STATE_WH, SP_STATE_FH};
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) {
        EXPECT_EQ(0, memcmp(defaults[i], Locked()->sensorTable[i].limits, sizeof defaults[i])) << i;
        EXPECT_EQ(states[i], Locked()->sensorTable[i].state) << i;
    }
    // One event each: back to normal, repeated WH, into FH; in table order.
    ASSERT_EQ(3u, Locked()->eventQueue.count);
    for (uint32_t i = 0; i < SP_SENSOR_COUNT; ++i) EXPECT_EQ(SensorIdOf(i), Locked()->eventQueue.items[i].sensorId);
    EXPECT_EQ(SP_STATE_WH, Locked()->eventQueue.items[1].prevState);
    EXPECT_TRUE(HostEventSet());
    // Only the sensors whose limits changed are written.
    DWORD value = 0;
    EXPECT_TRUE(StoredLimit("PhyMemUsage", "FH", value));
    EXPECT_EQ(95u, value);
    EXPECT_TRUE(StoredLimit("Page Faults/sec", "WH", value));
    EXPECT_EQ(20000u, value);
    EXPECT_FALSE(StoredLimit("PageFileUsage", "WH", value));
}

TEST_F(ConfigRequests, ResetPicksPageFaultDefaultsByName) {
    strcpy(Locked()->sensorTable[0].name, PAGE_FAULT_SENSOR_NAME);
    strcpy(Locked()->sensorTable[2].name, "Page Faults/Sec");
    EXPECT_EQ(1, SPConfig(SP_OP_SET, "SP_RESET", nullptr, nullptr, nullptr));
    EXPECT_EQ(30000u, Locked()->sensorTable[0].limits[SP_SLOT_FH]);
    EXPECT_EQ(95u, Locked()->sensorTable[2].limits[SP_SLOT_FH]);
    EXPECT_EQ(90u, Locked()->sensorTable[2].limits[SP_SLOT_WH]);
}

// --- Groups, reasons ---

TEST_F(ConfigRequests, TheOneSensorGroup) {
    struct Case {
        uint32_t count;
        bool buffer;
        int result;
        uint32_t countAfter;
    } cases[] = {{0xDEAD, false, 1, 1}, {1, true, 1, 1}, {5, true, 1, 1}, {0, true, 0, 0}};
    for (const Case& c : cases) {
        uint8_t buffer[16];
        memset(buffer, 0xCC, sizeof buffer);
        uint32_t count = c.count;
        EXPECT_EQ(c.result, SPConfig(SP_OP_GET, "SP_SENSORGROUPS", &count, c.buffer ? buffer : nullptr, nullptr));
        EXPECT_EQ(c.countAfter, count);
        const uint8_t group[12] = {0x00, 0x00, 0x03, 0x03, 0, 0, 0, 0, 2, 0, 0, 0};
        const bool filled = c.buffer && c.result;
        if (filled) {
            EXPECT_EQ(0, memcmp(group, buffer, sizeof group));
        }
        for (size_t i = filled ? sizeof group : 0; i < sizeof buffer; ++i) EXPECT_EQ(0xCC, buffer[i]) << i;
    }
}

TEST_F(ConfigRequests, EventReasonIsReturnedOnceAndResetsTheHostEvent) {
    ModuleLockScope lock;
    RaiseReason(lock, SP_REASON_EVENTS);
    ASSERT_TRUE(HostEventSet());
    uint32_t reasons = 0xDEAD;
    EXPECT_EQ(1, SPConfig(SP_OP_GET, "SP_EVENTREASON", &reasons, nullptr, nullptr));
    EXPECT_EQ(SP_REASON_EVENTS, reasons);
    EXPECT_FALSE(HostEventSet());
    EXPECT_EQ(1, SPConfig(SP_OP_GET, "SP_EVENTREASON", &reasons, nullptr, nullptr));
    EXPECT_EQ(0u, reasons);
    EXPECT_FALSE(HostEventSet());
}

// --- Configuration items and types ---

TEST(ConfigItemKeys, AcceptTheGroupTheThreeSensorsAndTypeTwenty) {
    struct Case {
        uint32_t kind, objectId, configType;
        bool accepted;
    } cases[] = {
        {1, 0x03030000, 0, true},  {1, 0x03030001, 0, false}, {1, 0x01020100, 0, false},
        {2, 0x01020100, 0, true},  {2, 0x01020200, 0, true},  {2, 0x01020300, 0, true},
        {2, 0x010203FF, 0, true},  // the lowest byte is not examined
        {2, 0x01020400, 0, false}, {2, 0x01020000, 0, false}, {2, 0x02020100, 0, false},
        {5, 0, 20, true},          {5, 0x03030000, 21, false}, {3, 0x03030000, 20, false},
        {0, 0x03030000, 20, false},
    };
    for (const Case& c : cases) {
        SPConfigItemKey key = {c.kind, 0xFFFFFFFF, c.objectId, c.configType};
        EXPECT_EQ(c.accepted, IsAcceptedItemKey(key)) << c.kind << " " << std::hex << c.objectId << " " << c.configType;
        uint32_t count = 0xDEAD;
        EXPECT_EQ(c.accepted ? 1 : 0, SPConfig(SP_OP_GET, "SP_CONFIGITEM", &key, &count, nullptr));
        EXPECT_EQ(c.accepted ? 1u : 0xDEADu, count);
    }
}

TEST_F(ConfigRequests, ConfigItemsAreTheSixMemoryFiguresOnTheProcessHeap) {
    SPConfigItemKey key = {2, 0, SensorIdOf(0), 0};
    uint32_t count = 5;
    SPConfigItemList list;
    memset(&list, 0xCC, sizeof list);
    ASSERT_EQ(1, SPConfig(SP_OP_GET, "SP_CONFIGITEM", &key, &count, &list));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(0u, list.listKind);
    EXPECT_EQ(20u, list.configType);
    ASSERT_EQ(6u, list.itemCount);
    ASSERT_NE(nullptr, list.items);
    EXPECT_EQ(192u, HeapSize(GetProcessHeap(), 0, list.items));

    const uint32_t figures[6] = {1048576, 524288, 2097152, 1572864, 2097024, 1900000};
    for (uint32_t i = 0; i < 6; ++i) {
        const uint8_t* item = reinterpret_cast<const uint8_t*>(&list.items[i]);
        EXPECT_EQ(i + 1, U32At(item, 0));
        EXPECT_EQ(0u, U32At(item, 4));
        EXPECT_EQ(VT_I4, U16At(item, 8));
        EXPECT_EQ(figures[i], U32At(item, 16));
        EXPECT_EQ(0x21u, U32At(item, 24));
        EXPECT_EQ(0x47u, U32At(item, 28));  // 'G' and three zero bytes
    }
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, list.items));
}

TEST_F(ConfigRequests, ConfigItemsRefusedWithoutACountOrWithCountZero) {
    SPConfigItemKey key = {1, 0, SENSOR_GROUP_ID, 0};
    SPConfigItemList list;
    memset(&list, 0xCC, sizeof list);
    const SPConfigItemList untouched = list;
    uint32_t count = 0;
    EXPECT_EQ(0, SPConfig(SP_OP_GET, "SP_CONFIGITEM", &key, &count, &list));
    EXPECT_EQ(0, SPConfig(SP_OP_GET, "SP_CONFIGITEM", &key, nullptr, &list));
    EXPECT_EQ(0, SPConfig(SP_OP_GET, "SP_CONFIGITEM", &key, nullptr, nullptr));
    EXPECT_EQ(0, memcmp(&untouched, &list, sizeof list));
}

TEST_F(ConfigRequests, ConfigTypeFillsItsRecordAndLeavesTheMiddleAlone) {
    struct Case {
        uint32_t size;
        bool buffer;
        int result;
        uint32_t sizeAfter;
    } cases[] = {{0xDEAD, false, 1, 20}, {20, true, 1, 20}, {68, true, 1, 20}, {19, true, 0, 19}, {0, true, 0, 0}};
    for (const Case& c : cases) {
        uint8_t buffer[68 + 8];
        memset(buffer, 0xAB, sizeof buffer);
        uint32_t size = c.size;
        EXPECT_EQ(c.result, SPConfig(SP_OP_GET, "SP_CONFIGTYPE", &size, c.buffer ? buffer : nullptr, nullptr));
        EXPECT_EQ(c.sizeAfter, size);
        const bool filled = c.buffer && c.result;
        for (size_t i = 0; i < sizeof buffer; ++i) {
            const bool written = filled && (i < 16 || (i >= 64 && i < 68));
            if (!written) {
                ASSERT_EQ(0xAB, buffer[i]) << c.size << " at " << i;
            }
        }
        if (!filled) continue;
        EXPECT_EQ(1u, U32At(buffer, 0));
        EXPECT_EQ(0u, U32At(buffer, 4));
        EXPECT_EQ(1u, U32At(buffer, 8));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer + 64), U32At(buffer, 12));
        EXPECT_EQ(20u, U32At(buffer, 64));
    }
}

// --- Null pointers ---

TEST_F(ConfigRequests, NullPointersWhereARequestNeedsOneAreRefused) {
    ModuleLockScope lock;
    GuardedRecords& records = moduleState.Records(lock);
    uint32_t id = SensorIdOf(1);
    SPThreshold threshold = {0xF, {1, 2, 3, 4}};
    SPConfigItemKey key = {1, 0, SENSOR_GROUP_ID, 0};
    SPConfigItemList list = {};
    uint8_t buffer[3 * 316];
    struct Case {
        const char* what;
        uint32_t op;
        const char* name;
        void *p1, *p2, *p3;
    } cases[] = {
        {"property get", SP_OP_GET, "SP_GBLPROPERTY", nullptr, nullptr, nullptr},
        {"property set", SP_OP_SET, "SP_GBLPROPERTY", nullptr, nullptr, nullptr},
        {"sensors count", SP_OP_GET, "SP_SENSORS", nullptr, buffer, nullptr},
        {"sensors size query", SP_OP_GET, "SP_SENSORS", nullptr, nullptr, nullptr},
        {"events count", SP_OP_GET, "SP_EVENTS", nullptr, buffer, nullptr},
        {"groups count", SP_OP_GET, "SP_SENSORGROUPS", nullptr, buffer, nullptr},
        {"threshold id", SP_OP_SET, "SP_THRESHOLD", nullptr, &threshold, nullptr},
        {"threshold record", SP_OP_SET, "SP_THRESHOLD", &id, nullptr, nullptr},
        {"event reason", SP_OP_GET, "SP_EVENTREASON", nullptr, nullptr, nullptr},
        {"item key", SP_OP_GET, "SP_CONFIGITEM", nullptr, nullptr, &list},
        {"item count", SP_OP_GET, "SP_CONFIGITEM", &key, nullptr, &list},
        {"type size", SP_OP_GET, "SP_CONFIGTYPE", nullptr, buffer, nullptr},
    };
    records.pendingReasons = SP_REASON_EVENTS;
    QueueEvent(lock, records.sensorTable[2]);
    for (const Case& c : cases) {
        const Snapshot before = Snapshot::Take();
        memset(buffer, 0xCC, sizeof buffer);
        EXPECT_EQ(0, SPConfig(c.op, c.name, c.p1, c.p2, c.p3)) << c.what;
        EXPECT_TRUE(before == Snapshot::Take()) << c.what;
        for (uint8_t b : buffer) ASSERT_EQ(0xCC, b) << c.what;
        EXPECT_EQ(nullptr, list.items) << c.what;
    }
}

}  // namespace
