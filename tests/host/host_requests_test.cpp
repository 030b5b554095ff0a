// The built kelvrim.dll driven only through its three exports, as the host service drives it.
// Every reply lands in a buffer that ends at an inaccessible page.
#include <gtest/gtest.h>
#include <time.h>

#include <optional>
#include <vector>

#include "module_host.h"
#include "pdh_stand_in.h"

using namespace host;

namespace {

struct Form {
    const char* name;
    uint32_t selector;
    size_t entrySize;
};
const Form FULL = {"full", 0, 316};
const Form SUMMARY = {"summary", SP_SELECT_SUMMARY, 20};
const Form STATUS = {"status", SP_SELECT_STATUS, 40};
const Form FORMS[] = {FULL, SUMMARY, STATUS};

void* AsParam(uint32_t value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); }

uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value;
    memcpy(&value, &bytes[offset], sizeof value);
    return value;
}

uint16_t ExpectedState(uint32_t value, const Limits& limits) {
    if (value >= limits.fh) return SP_STATE_FH;
    if (value >= limits.wh) return SP_STATE_WH;
    return SP_STATE_NORMAL;
}

// The module reads 0 where the system's own figures make no sense (no total, more available than
// total, as some emulators report).
uint32_t UsagePercent(uint32_t availKB, uint32_t totalKB) {
    if (totalKB == 0 || availKB > totalKB) return 0;
    return static_cast<uint32_t>(100.0 - (availKB * 100.0) / totalKB);
}

// Each module starts from a freshly loaded library over a settings key the test writes, with an
// interval long enough that no tick changes a reading while the test looks at it.
class Host : public ::testing::Test {
protected:
    void StartWith(const Limits (&limits)[3], uint32_t flags = SP_PROP_NOTIFY_NORMAL) {
        module.reset();
        ASSERT_EQ(nullptr, GetModuleHandleA("kelvrim.dll")) << "an earlier module was not unloaded";
        ASSERT_TRUE(WriteSettings(limits));
        ASSERT_TRUE(pdh_stand_in::Reset());  // the machine's real page-fault rate, no failures
        startTime = time(nullptr);
        module.emplace();
        ASSERT_TRUE(module->Loaded());
        ASSERT_TRUE(module->Start(flags));
    }
    void TearDown() override { module.reset(); }

    // All three sensors in one form, read into a buffer of exactly that size.
    std::vector<uint8_t> ReadSensors(const Form& form) {
        GuardedBuffer buffer(3 * form.entrySize);
        GuardedCount count(3);
        EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_SENSORS", count.get(), buffer.data(), AsParam(form.selector)));
        EXPECT_EQ(3u, count.value());
        return std::vector<uint8_t>(buffer.data(), buffer.data() + buffer.size());
    }
    SPSensorStatus Status(int sensor) {
        std::vector<uint8_t> all = ReadSensors(STATUS);
        SPSensorStatus status;
        memcpy(&status, &all[sensor * sizeof status], sizeof status);
        return status;
    }
    uint32_t QueuedEvents() {
        GuardedCount count(0xDEAD);
        EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTS", count.get()));
        return count.value();
    }
    std::vector<SPEvent> DrainEvents() {
        const uint32_t queued = QueuedEvents();
        GuardedBuffer buffer(queued * sizeof(SPEvent));
        GuardedCount count(queued);
        EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTS", count.get(), buffer.data()));
        std::vector<SPEvent> events(queued);
        if (queued) memcpy(events.data(), buffer.data(), buffer.size());
        return events;
    }
    int SetLimits(uint32_t sensorId, uint32_t mask, uint32_t l0, uint32_t l1, uint32_t fh, uint32_t wh,
                  uint32_t op = SP_OP_SET) {
        GuardedBuffer id(4);
        *id.as<uint32_t>() = sensorId;
        GuardedBuffer threshold(sizeof(SPThreshold));
        *threshold.as<SPThreshold>() = {mask, {l0, l1, fh, wh}};
        return module->Config(op, "SP_THRESHOLD", id.data(), threshold.data());
    }

    std::optional<ModuleHost> module;
    time_t startTime = 0;
};

// Where the fields of each shorter form come from in the full record: {reply, record, bytes}.
struct FieldCopy {
    size_t reply, record, size;
};
const FieldCopy SUMMARY_FIELDS[] = {{0, 0, 8}, {8, 12, 4}, {12, 20, 4}, {16, 16, 4}};
const FieldCopy STATUS_FIELDS[] = {{0, 0, 8}, {8, 12, 4}, {12, 20, 4}, {16, 28, 16}, {32, 44, 8}};

TEST_F(Host, SizeQueriesGiveWhatTheFillCallNeeds) {
    StartWith({ALWAYS_FH, ALWAYS_FH, ALWAYS_FH});  // three events from set-up
    struct Case {
        const char* name;
        uint32_t size;
    } cases[] = {{"SP_SENSORS", 3}, {"SP_EVENTS", 3}, {"SP_SENSORGROUPS", 1}, {"SP_CONFIGTYPE", 20}};
    for (const Case& c : cases) {
        for (int twice = 0; twice < 2; ++twice) {  // asking does not consume anything
            GuardedCount count(0xDEAD);
            EXPECT_EQ(1, module->Config(SP_OP_GET, c.name, count.get())) << c.name;
            EXPECT_EQ(c.size, count.value()) << c.name;
        }
    }
    GuardedBuffer key(sizeof(SPConfigItemKey));
    *key.as<SPConfigItemKey>() = {1, 0, GROUP_ID, 0};
    GuardedCount count(0xDEAD);
    EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_CONFIGITEM", key.data(), count.get()));
    EXPECT_EQ(1u, count.value());
}

TEST_F(Host, FullSensorRecordsByteForByte) {
    const Limits limits[3] = {ALWAYS_FH, NEVER, {0, 0xFFFFFFFF}};  // page faults read 0: WH
    StartWith(limits);
    const time_t endTime = time(nullptr);
    const std::vector<uint8_t> all = ReadSensors(FULL);

    const uint8_t descriptorCodes[3] = {0xC1, 0xC1, 0x13};
    const uint32_t descriptorValues[3] = {50, 50, 1000};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(SENSOR_NAMES[i]);
        const uint8_t* rec = &all[i * 316];
        const uint8_t identity[10] = {0x00, uint8_t(i + 1), 0x02, 0x01, 0x00, 0x00, 0x03, 0x03, descriptorCodes[i], 5};
        EXPECT_EQ(0, memcmp(identity, rec, sizeof identity));
        const size_t base = i * 316;
        EXPECT_EQ(0, all[base + 10] | all[base + 11]);
        EXPECT_GE(U32(all, base + 12), uint32_t(startTime));  // sampleTime: set-up's
        EXPECT_LE(U32(all, base + 12), uint32_t(endTime));
        EXPECT_EQ(0u, U32(all, base + 16));  // nothing changed since set-up
        const uint32_t value = U32(all, base + 20);
        EXPECT_LE(value, i < 2 ? 100u : 0u);  // no page-fault cycle has ended yet
        EXPECT_EQ(descriptorValues[i], U32(all, base + 24));
        const uint32_t slots[4] = {0, 0, limits[i].fh, limits[i].wh};
        EXPECT_EQ(0, memcmp(slots, rec + 28, 16));
        EXPECT_EQ(SP_STATE_NORMAL, all[base + 44] | all[base + 45] << 8);  // prevState
        EXPECT_EQ(ExpectedState(value, limits[i]), all[base + 46] | all[base + 47] << 8);
        EXPECT_EQ(0u, U32(all, base + 48));  // stateTime
        char name[256] = {};
        strcpy(name, SENSOR_NAMES[i]);
        EXPECT_EQ(0, memcmp(name, rec + 52, sizeof name));
        EXPECT_EQ(0u, U32(all, base + 308));
        EXPECT_EQ(0u, U32(all, base + 312));
    }
}

TEST_F(Host, SummaryAndStatusCarryTheRecordsFields) {
    StartWith({ALWAYS_FH, NEVER, {0, 0xFFFFFFFF}});
    const std::vector<uint8_t> full = ReadSensors(FULL);
    struct Case {
        const Form& form;
        const FieldCopy* fields;
        size_t count;
    } cases[] = {{SUMMARY, SUMMARY_FIELDS, 4}, {STATUS, STATUS_FIELDS, 5}};
    for (const Case& c : cases) {
        const std::vector<uint8_t> reply = ReadSensors(c.form);
        for (int i = 0; i < 3; ++i) {
            std::vector<uint8_t> expected(c.form.entrySize, 0xEE);
            for (size_t f = 0; f < c.count; ++f)
                memcpy(&expected[c.fields[f].reply], &full[i * 316 + c.fields[f].record], c.fields[f].size);
            EXPECT_EQ(expected, std::vector<uint8_t>(reply.begin() + i * c.form.entrySize,
                                                     reply.begin() + (i + 1) * c.form.entrySize))
                << c.form.name << " " << SENSOR_NAMES[i];
        }
    }
}

TEST_F(Host, AnyReadClearsTheChangeBits) {
    for (const Form& form : FORMS) {
        SCOPED_TRACE(form.name);
        StartWith({NEVER, NEVER, NEVER});
        ASSERT_EQ(1, SetLimits(SENSOR_IDS[1], 0x8, 0, 0, 0, 0));  // WH 0: threshold and state change
        const std::vector<uint8_t> first = ReadSensors(form);
        if (form.selector != SP_SELECT_STATUS) {
            const size_t changeFlags = 16;  // in the full record and in the summary alike
            EXPECT_EQ(0u, U32(first, 0 * form.entrySize + changeFlags));
            EXPECT_EQ(SP_CHANGED_THRESHOLD | SP_CHANGED_STATE, U32(first, 1 * form.entrySize + changeFlags));
        }
        const std::vector<uint8_t> second = ReadSensors(SUMMARY);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(0u, U32(second, i * 20 + 16)) << i;
    }
}

TEST_F(Host, OneSensorReadsWriteOneEntry) {
    StartWith({ALWAYS_FH, NEVER, {0, 0xFFFFFFFF}});
    for (const Form& form : FORMS) {
        const std::vector<uint8_t> all = ReadSensors(form);
        for (int i = 0; i < 3; ++i) {
            GuardedBuffer one(form.entrySize);
            *one.as<uint32_t>() = SENSOR_IDS[i];
            GuardedCount count(3);
            ASSERT_EQ(1, module->Config(SP_OP_GET, "SP_SENSORS", count.get(), one.data(),
                                        AsParam(form.selector | SP_SELECT_ONE)));
            EXPECT_EQ(3u, count.value());
            EXPECT_EQ(0, memcmp(&all[i * form.entrySize], one.data(), form.entrySize)) << form.name << " " << i;
        }
    }
    struct Refused {
        const char* what;
        uint32_t sensorId, count;
    } refused[] = {{"unknown sensor", 0x01020400, 3}, {"count 1", SENSOR_IDS[0], 1}, {"count 4", SENSOR_IDS[0], 4}};
    for (const Refused& r : refused) {
        GuardedBuffer one(316, 0xAB);
        *one.as<uint32_t>() = r.sensorId;
        GuardedCount count(r.count);
        EXPECT_EQ(0, module->Config(SP_OP_GET, "SP_SENSORS", count.get(), one.data(), AsParam(SP_SELECT_ONE)))
            << r.what;
        EXPECT_EQ(r.sensorId, one.U32(0)) << r.what;
        EXPECT_TRUE(one.Holds(0xAB, 4, 316)) << r.what;
        EXPECT_EQ(r.count, count.value()) << r.what;
    }
}

TEST_F(Host, EventsAreDrainedWholeAndRefusedWhenTheCountIsShort) {
    StartWith({ALWAYS_FH, ALWAYS_FH, ALWAYS_FH});
    const std::vector<uint8_t> sensors = ReadSensors(FULL);
    ASSERT_EQ(3u, QueuedEvents());

    GuardedBuffer shortBuffer(2 * sizeof(SPEvent));
    GuardedCount shortCount(2);
    EXPECT_EQ(0, module->Config(SP_OP_GET, "SP_EVENTS", shortCount.get(), shortBuffer.data()));
    EXPECT_TRUE(shortBuffer.Holds(0xCC, 0, shortBuffer.size()));
    EXPECT_EQ(3u, QueuedEvents());

    GuardedBuffer buffer(3 * sizeof(SPEvent));
    GuardedCount count(3);
    ASSERT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTS", count.get(), buffer.data()));
    EXPECT_EQ(3u, count.value());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(SENSOR_NAMES[i]);
        const size_t e = i * sizeof(SPEvent);
        EXPECT_EQ(0u, buffer.U32(e + 0));  // set-up's events carry the stateTime of a fresh load
        EXPECT_EQ(0u, buffer.U32(e + 8));
        EXPECT_EQ(SENSOR_IDS[i], buffer.U32(e + 16));
        EXPECT_EQ(GROUP_ID, buffer.U32(e + 20));
        EXPECT_EQ(SP_STATE_NORMAL, buffer.U16(e + 24));
        EXPECT_EQ(SP_STATE_FH, buffer.U16(e + 26));
        EXPECT_EQ(U32(sensors, i * 316 + 20), buffer.U32(e + 28));
        EXPECT_EQ(0u, buffer.U32(e + 32));
        EXPECT_EQ(0x10000u, buffer.U32(e + 64));
        EXPECT_EQ(0x0A3Fu, buffer.U32(e + 68));
    }

    EXPECT_EQ(0u, QueuedEvents());
    GuardedBuffer nothing(0);
    GuardedCount zero(0);
    EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTS", zero.get(), nothing.data()));

    // A count larger than the queue: only what is queued is written, the count stays the host's.
    ASSERT_EQ(1, SetLimits(SENSOR_IDS[0], 0xC, 0, 0, NEVER.fh, NEVER.wh));  // back to normal
    GuardedBuffer one(sizeof(SPEvent));
    GuardedCount five(5);
    ASSERT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTS", five.get(), one.data()));
    EXPECT_EQ(5u, five.value());
    EXPECT_EQ(SP_STATE_FH, one.U16(24));
    EXPECT_EQ(SP_STATE_NORMAL, one.U16(26));
    EXPECT_EQ(0u, QueuedEvents());
}

TEST_F(Host, EventReasonIsReadOnceAndResetsTheHostsEvent) {
    StartWith({NEVER, NEVER, NEVER});
    EXPECT_FALSE(module->EventSet());
    GuardedCount reasons(0xDEAD);
    EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTREASON", reasons.get()));
    EXPECT_EQ(0u, reasons.value());

    StartWith({ALWAYS_FH, NEVER, NEVER});
    EXPECT_TRUE(module->EventSet());
    EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTREASON", reasons.get()));
    EXPECT_EQ(SP_REASON_EVENTS, reasons.value());
    EXPECT_FALSE(module->EventSet());
    EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTREASON", reasons.get()));
    EXPECT_EQ(0u, reasons.value());
    EXPECT_EQ(1u, QueuedEvents());  // reading the reason leaves the queue alone

    ASSERT_EQ(1, SetLimits(SENSOR_IDS[1], 0x8, 0, 0, 0, 0));
    EXPECT_TRUE(module->EventSet());
    EXPECT_EQ(1, module->Config(SP_OP_GET, "SP_EVENTREASON", reasons.get()));
    EXPECT_EQ(SP_REASON_EVENTS, reasons.value());
}

TEST_F(Host, ThresholdChangesAreWrittenThroughAndReclassifyTheReading) {
    StartWith({NEVER, NEVER, NEVER});
    const uint32_t before = uint32_t(time(nullptr));
    // Page faults read 0 until a sampler cycle ends: WH 0 puts the sensor at WH.
    ASSERT_EQ(1, SetLimits(SENSOR_IDS[2], 0xC, 9, 9, 10, 0));
    Limits stored = {};
    ASSERT_TRUE(ReadSettings(2, stored));
    EXPECT_EQ(0u, stored.wh);
    EXPECT_EQ(10u, stored.fh);
    SPSensorStatus status = Status(2);
    const uint32_t expectedLimits[4] = {0, 0, 10, 0};  // slots 0 and 1 were not in the mask
    EXPECT_EQ(0, memcmp(expectedLimits, status.limits, sizeof expectedLimits));
    EXPECT_EQ(SP_STATE_NORMAL, status.prevState);
    EXPECT_EQ(SP_STATE_WH, status.state);
    EXPECT_GE(status.stateTime, before);
    EXPECT_TRUE(module->EventSet());
    std::vector<SPEvent> events = DrainEvents();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(SENSOR_IDS[2], events[0].sensorId);
    EXPECT_EQ(status.stateTime, events[0].eventTime);
    EXPECT_EQ(SP_STATE_WH, events[0].state);

    // The lower slots are stored and reported but classify nothing.
    ASSERT_EQ(1, SetLimits(SENSOR_IDS[2], 0x3, 5, 6, 0, 0));
    status = Status(2);
    const uint32_t lowerSet[4] = {5, 6, 10, 0};
    EXPECT_EQ(0, memcmp(lowerSet, status.limits, sizeof lowerSet));
    EXPECT_EQ(SP_STATE_WH, status.state);
    EXPECT_EQ(0u, QueuedEvents());

    EXPECT_EQ(0, SetLimits(0x01020400, 0xF, 1, 1, 1, 1));
    EXPECT_EQ(0u, QueuedEvents());
}

TEST_F(Host, AnUnchangedThresholdWritesNothingButRepeatsAnAlarm) {
    StartWith({ALWAYS_FH, NEVER, NEVER}, SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL);
    DrainEvents();
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY));
    ASSERT_EQ(1, SetLimits(SENSOR_IDS[0], 0, 1, 2, 3, 4));
    Limits stored;
    EXPECT_FALSE(ReadSettings(0, stored));
    std::vector<SPEvent> events = DrainEvents();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(SP_STATE_FH, events[0].prevState);
    EXPECT_EQ(SP_STATE_FH, events[0].state);
}

TEST_F(Host, ResetRestoresTheDefaultLimitsEverywhere) {
    StartWith({ALWAYS_FH, {1, 2}, {3, 4}});
    ASSERT_EQ(1, SetLimits(SENSOR_IDS[0], 0x3, 7, 8, 0, 0));
    EXPECT_EQ(1, module->Config(SP_OP_SET, "SP_RESET"));

    const Limits defaults[3] = {{90, 95}, {90, 95}, {20000, 30000}};
    const uint32_t lower[3][2] = {{7, 8}, {0, 0}, {0, 0}};
    const std::vector<uint8_t> status = ReadSensors(STATUS);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(SENSOR_NAMES[i]);
        SPSensorStatus s;
        memcpy(&s, &status[i * sizeof s], sizeof s);
        const uint32_t expected[4] = {lower[i][0], lower[i][1], defaults[i].fh, defaults[i].wh};
        EXPECT_EQ(0, memcmp(expected, s.limits, sizeof expected));
        EXPECT_EQ(ExpectedState(s.value, defaults[i]), s.state);
        Limits stored = {};
        ASSERT_TRUE(ReadSettings(i, stored));
        EXPECT_EQ(defaults[i].wh, stored.wh);
        EXPECT_EQ(defaults[i].fh, stored.fh);
    }
}

TEST_F(Host, ConfigItemsAreTheMemoryFiguresBehindTheReadings) {
    StartWith({NEVER, NEVER, NEVER});
    const std::vector<uint8_t> sensors = ReadSensors(FULL);
    MEMORYSTATUSEX memory = {};
    memory.dwLength = sizeof memory;
    ASSERT_TRUE(GlobalMemoryStatusEx(&memory));

    struct Key {
        uint32_t kind, objectId, configType;
        bool accepted;
    } keys[] = {
        {1, GROUP_ID, 0, true},         {2, SENSOR_IDS[0], 0, true}, {2, SENSOR_IDS[1], 0, true},
        {2, SENSOR_IDS[2], 0, true},    {5, 0, 20, true},            {2, 0x01020400, 0, false},
        {1, GROUP_ID + 1, 0, false},    {5, 0, 21, false},           {3, GROUP_ID, 20, false},
    };
    for (const Key& k : keys) {
        SCOPED_TRACE(testing::Message() << k.kind << " " << std::hex << k.objectId << " " << k.configType);
        GuardedBuffer key(sizeof(SPConfigItemKey));
        *key.as<SPConfigItemKey>() = {k.kind, 0, k.objectId, k.configType};
        GuardedCount count(0xDEAD);
        EXPECT_EQ(k.accepted ? 1 : 0, module->Config(SP_OP_GET, "SP_CONFIGITEM", key.data(), count.get()));
        EXPECT_EQ(k.accepted ? 1u : 0xDEADu, count.value());

        GuardedBuffer list(sizeof(SPConfigItemList), 0xAB);
        GuardedCount one(1);
        const int filled = module->Config(SP_OP_GET, "SP_CONFIGITEM", key.data(), one.get(), list.data());
        if (!k.accepted) {
            EXPECT_EQ(0, filled);
            EXPECT_TRUE(list.Holds(0xAB, 0, list.size()));
            continue;
        }
        ASSERT_EQ(1, filled);
        EXPECT_EQ(1u, one.value());
        EXPECT_EQ(0u, list.U32(0));
        EXPECT_EQ(20u, list.U32(4));
        ASSERT_EQ(6u, list.U32(8));
        auto* items = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(list.U32(12)));
        ASSERT_NE(nullptr, items);
        EXPECT_EQ(192u, HeapSize(GetProcessHeap(), 0, items));  // the host's to free
        uint32_t figures[6];
        for (uint32_t i = 0; i < 6; ++i) {
            const uint8_t* item = items + i * 32;
            uint32_t id, zero, flags, code;
            uint16_t type;
            memcpy(&id, item, 4);
            memcpy(&zero, item + 4, 4);
            memcpy(&type, item + 8, 2);
            memcpy(&figures[i], item + 16, 4);
            memcpy(&flags, item + 24, 4);
            memcpy(&code, item + 28, 4);
            EXPECT_EQ(i + 1, id);
            EXPECT_EQ(0u, zero);
            EXPECT_EQ(VT_I4, type);
            EXPECT_EQ(0x21u, flags);
            EXPECT_EQ(0x47u, code);
        }
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, items));

        EXPECT_EQ(uint32_t(memory.ullTotalPhys >> 10), figures[0]);
        EXPECT_EQ(uint32_t(memory.ullTotalVirtual >> 10), figures[4]);
        // Available is at most total wherever the system itself says so in this run.
        const DWORDLONG system[6] = {memory.ullTotalPhys,     memory.ullAvailPhys,    memory.ullTotalPageFile,
                                     memory.ullAvailPageFile, memory.ullTotalVirtual, memory.ullAvailVirtual};
        for (int i = 0; i < 6; i += 2) {
            if (system[i + 1] <= system[i]) {
                EXPECT_LE(figures[i + 1], figures[i]) << i;
            }
        }
        // The usage readings are worked out from the same figures.
        EXPECT_EQ(UsagePercent(figures[1], figures[0]), U32(sensors, 0 * 316 + 20));
        EXPECT_EQ(UsagePercent(figures[3], figures[2]), U32(sensors, 1 * 316 + 20));
    }
}

TEST_F(Host, ConfigTypeFillsItsWholeRecordAndNothingElse) {
    StartWith({NEVER, NEVER, NEVER});
    GuardedBuffer small(sizeof(SPConfigTypeList), 0xAB);
    GuardedCount nineteen(19);
    EXPECT_EQ(0, module->Config(SP_OP_GET, "SP_CONFIGTYPE", nineteen.get(), small.data()));
    EXPECT_EQ(19u, nineteen.value());
    EXPECT_TRUE(small.Holds(0xAB, 0, small.size()));

    GuardedBuffer types(sizeof(SPConfigTypeList), 0xAB);
    GuardedCount size(20);
    ASSERT_EQ(1, module->Config(SP_OP_GET, "SP_CONFIGTYPE", size.get(), types.data()));
    EXPECT_EQ(20u, size.value());
    EXPECT_EQ(1u, types.U32(0));
    EXPECT_EQ(0u, types.U32(4));
    EXPECT_EQ(1u, types.U32(8));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(types.data() + 64), types.U32(12));
    EXPECT_TRUE(types.Holds(0xAB, 16, 64));
    EXPECT_EQ(20u, types.U32(64));
}

TEST_F(Host, TheOneSensorGroup) {
    StartWith({NEVER, NEVER, NEVER});
    GuardedBuffer group(sizeof(SPSensorGroup));
    GuardedCount count(4);
    ASSERT_EQ(1, module->Config(SP_OP_GET, "SP_SENSORGROUPS", count.get(), group.data()));
    EXPECT_EQ(1u, count.value());
    const uint8_t expected[12] = {0x00, 0x00, 0x03, 0x03, 0, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(0, memcmp(expected, group.data(), sizeof expected));
    GuardedCount zero(0);
    EXPECT_EQ(0, module->Config(SP_OP_GET, "SP_SENSORGROUPS", zero.get(), group.data()));
}

TEST_F(Host, DispatchMatchesExactNamesAndTheLowByteOfTheOperation) {
    StartWith({NEVER, NEVER, NEVER});
    struct Case {
        uint32_t op;
        const char* name;
        int result;
    } cases[] = {
        {SP_OP_GET, "SP_SENSORS", 1}, {3, "SP_SENSORS", 1},           {0x101, "SP_SENSORS", 1},
        {0x100, "SP_SENSORS", 0},     {SP_OP_SET, "SP_SENSORS", 0},   {SP_OP_GET, "sp_sensors", 0},
        {SP_OP_GET, "SP_Sensors", 0}, {SP_OP_GET, "SP_SENSORS_", 0},
    };
    for (const Case& c : cases) {
        GuardedBuffer summaries(3 * 20);
        GuardedCount count(3);
        EXPECT_EQ(c.result, module->Config(c.op, c.name, count.get(), summaries.data(), AsParam(SP_SELECT_SUMMARY)))
            << std::hex << c.op << " " << c.name;
        EXPECT_EQ(c.result == 0, summaries.Holds(0xCC, 0, summaries.size())) << c.name;
    }

    // Set requests under a get operation are no requests at all.
    EXPECT_EQ(0, SetLimits(SENSOR_IDS[0], 0xC, 0, 0, 0, 0, SP_OP_GET));
    EXPECT_EQ(NEVER.fh, Status(0).limits[SP_SLOT_FH]);
    EXPECT_EQ(0, module->Config(SP_OP_GET, "SP_RESET"));
    EXPECT_EQ(NEVER.wh, Status(1).limits[SP_SLOT_WH]);
    for (const char* refused : {"SP_CONFIGGROUPS", "SP_CONFIGITEM", "SP_CONFIGTYPE"}) {
        GuardedBuffer p1(16, 0xAB), p2(68, 0xAB);
        EXPECT_EQ(0, module->Config(SP_OP_SET, refused, p1.data(), p2.data())) << refused;
        EXPECT_TRUE(p1.Holds(0xAB, 0, 16) && p2.Holds(0xAB, 0, 68)) << refused;
    }
    EXPECT_EQ(0, module->Config(SP_OP_GET, "SP_CONFIGGROUPS"));

    // Both operation bits: the get row comes first, so the record is read, not stored.
    GuardedBuffer property(sizeof(SPGlobalProperty));
    *property.as<SPGlobalProperty>() = {0x77, 1234};
    EXPECT_EQ(1, module->Config(3, "SP_GBLPROPERTY", property.data()));
    EXPECT_EQ(uint32_t(SP_PROP_NOTIFY_NORMAL), property.U32(0));
    EXPECT_EQ(NO_TICKS_MS, property.U32(4));
}

TEST_F(Host, GlobalPropertyChangeRearmsTheSamplingTimer) {
    StartWith({NEVER, NEVER, NEVER});
    GuardedBuffer property(sizeof(SPGlobalProperty));
    *property.as<SPGlobalProperty>() = {0xFFFFFFFF, NO_TICKS_MS};
    ASSERT_EQ(1, module->Config(SP_OP_SET, "SP_GBLPROPERTY", property.data()));
    GuardedBuffer got(sizeof(SPGlobalProperty));
    ASSERT_EQ(1, module->Config(SP_OP_GET, "SP_GBLPROPERTY", got.data()));
    EXPECT_EQ(0xFFFFFFFFu, got.U32(0));
    EXPECT_EQ(NO_TICKS_MS, got.U32(4));

    const uint32_t setUp = Status(0).sampleTime;
    *property.as<SPGlobalProperty>() = {SP_PROP_NOTIFY_NORMAL, 1000};
    ASSERT_EQ(1, module->Config(SP_OP_SET, "SP_GBLPROPERTY", property.data()));
    // Ticks every second from now on: the sample time moves on within a generous bound.
    const DWORD bound = GetTickCount() + 20000;
    while (Status(0).sampleTime < setUp + 2 && GetTickCount() < bound) Sleep(200);
    EXPECT_GE(Status(0).sampleTime, setUp + 2);
}

}  // namespace
