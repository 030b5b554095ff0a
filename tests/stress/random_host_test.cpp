// Several host threads drive the built kelvrim.dll with requests drawn at random while it ticks,
// and every reply is checked against what must always hold. KELVRIM_STRESS_SEED repeats a run's
// request streams; how they interleave with each other and with the ticks is the machine's.
#include <gtest/gtest.h>
#include <stdarg.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "module_host.h"
#include "host_checks.h"
#include "pdh_stand_in.h"
#include "watchdog.h"

using namespace host;

namespace {

constexpr uint32_t DEFAULT_SEED = 20240611;
constexpr int WORKERS = 4;
constexpr uint32_t REQUESTS_PER_WORKER = 40000;
constexpr DWORD RUN_CAP_MS = 40000;       // a slow machine runs fewer requests, not longer
constexpr DWORD TEST_BOUND_MS = 90000;    // past this the run is stuck
constexpr DWORD INTERVAL_CHANGE_GAP_MS = 2000;  // re-arming more often would starve the ticks
constexpr DWORD QUIET_MS = 2500;          // a tick already due has run by then
constexpr uint8_t FILL = 0xCC;
constexpr uint32_t WRONG_IDS[] = {0x01020400, 0x01020000, 0x00020100, 0x01020101, 0};

uint32_t SeedFromEnvironment() {
    char text[32];
    const DWORD length = GetEnvironmentVariableA("KELVRIM_STRESS_SEED", text, sizeof text);
    return length && length < sizeof text ? strtoul(text, nullptr, 0) : DEFAULT_SEED;
}

bool IsState(uint16_t state) {
    return state == SP_STATE_NORMAL || state == SP_STATE_WH || state == SP_STATE_FH;
}

int SensorIndex(uint32_t sensorId) {
    for (int i = 0; i < 3; ++i)
        if (SENSOR_IDS[i] == sensorId) return i;
    return -1;
}

void* Junk(Random& random) {  // an unused argument: never a valid address
    return random.OneIn(2) ? nullptr : reinterpret_cast<void*>(static_cast<uintptr_t>(1 + random.Below(0xFFFF)));
}

// GuardedBuffer keeps its guard pages in a table that is not made for several threads.
std::mutex& GuardTableLock() {
    static std::mutex lock;
    return lock;
}

// One pointer argument: null, or exactly `size` bytes of FILL that end at an inaccessible page.
class Arg {
public:
    Arg() = default;
    explicit Arg(size_t size) {
        std::lock_guard<std::mutex> hold(GuardTableLock());
        buffer_.reset(new GuardedBuffer(size, FILL));
    }
    static Arg Count(uint32_t value) {
        Arg count(sizeof value);
        *count.as<uint32_t>() = value;
        return count;
    }
    Arg(Arg&&) = default;
    Arg& operator=(Arg&&) = delete;
    ~Arg() {
        std::lock_guard<std::mutex> hold(GuardTableLock());
        buffer_.reset();
    }

    explicit operator bool() const { return buffer_ != nullptr; }
    void* get() const { return buffer_ ? buffer_->data() : nullptr; }
    size_t size() const { return buffer_ ? buffer_->size() : 0; }
    template <class T>
    T* as() const {
        return buffer_->as<T>();
    }
    uint32_t U32(size_t offset = 0) const { return buffer_->U32(offset); }
    bool Holds(size_t from, size_t to) const { return buffer_->Holds(FILL, from, to); }
    // What the module may not change: taken after the arguments are filled in.
    void Remember() {
        if (buffer_) before_.assign(buffer_->data(), buffer_->data() + buffer_->size());
    }
    bool Unchanged() const { return !buffer_ || memcmp(before_.data(), buffer_->data(), before_.size()) == 0; }
    std::string Show() const {
        if (!buffer_) return "null";
        if (size() == 4) {
            char shown[16];
            snprintf(shown, sizeof shown, U32() < 0x10000 ? "&%u" : "&0x%08X", U32());
            return shown;
        }
        return "[" + std::to_string(size()) + "]";
    }

private:
    std::unique_ptr<GuardedBuffer> buffer_;
    std::vector<uint8_t> before_;
};

Arg Maybe(Random& random, size_t size, uint32_t nullOneIn) { return random.OneIn(nullOneIn) ? Arg() : Arg(size); }
Arg MaybeCount(Random& random, uint32_t value) { return random.OneIn(16) ? Arg() : Arg::Count(value); }

// Every state change reaches the host as long as the host keeps SP_PROP_NOTIFY_NORMAL set, so the
// events of one sensor, in drain order, step from state to state without a gap; a repeat stays
// where it is and is never a repeat of normal.
class EventChain {
public:
    void Begin(int sensor, uint16_t state) { state_[sensor] = state; }
    uint16_t State(int sensor) const { return state_[sensor]; }
    uint32_t Changes() const { return changes_; }
    // Empty when the event fits, else why not.
    std::string Follow(const SPEvent& event) {
        const int sensor = SensorIndex(event.sensorId);
        char why[160] = "";
        if (sensor < 0 || event.groupId != GROUP_ID || event.zero8 || event.zero32 || event.eventClass != 0x10000 ||
            event.eventCode != 0x0A3F || !IsState(event.prevState) || !IsState(event.state))
            snprintf(why, sizeof why, "malformed event: sensor 0x%08X group 0x%08X states 0x%X -> 0x%X",
                     event.sensorId, event.groupId, event.prevState, event.state);
        else if (event.prevState != state_[sensor])
            snprintf(why, sizeof why, "sensor %d: event from state 0x%X but its last event left it in 0x%X", sensor,
                     event.prevState, state_[sensor]);
        else if (event.prevState == event.state && event.state == SP_STATE_NORMAL)
            snprintf(why, sizeof why, "sensor %d: an unchanged normal state was notified", sensor);
        if (*why) return why;
        if (event.state != state_[sensor]) ++changes_;
        state_[sensor] = event.state;
        return {};
    }

private:
    uint16_t state_[3] = {};
    uint32_t changes_ = 0;
};

// What the host threads of one run share.
struct Shared {
    ModuleHost* module = nullptr;
    uint32_t seed = 0;
    std::atomic<bool> stop{false};
    std::atomic<DWORD> lastIntervalChange{0};
    std::atomic<uint32_t> lastValue[3] = {};
    // Drains are serialised by the host, so their order is the queue's.
    std::mutex drainLock;
    std::vector<SPEvent> drained;

    bool MayChangeInterval() {
        DWORD last = lastIntervalChange;
        const DWORD now = GetTickCount();
        return now - last >= INTERVAL_CHANGE_GAP_MS && lastIntervalChange.compare_exchange_strong(last, now);
    }
};

struct Worker {
    int index = 0;
    Shared* shared = nullptr;
    Random random{0};
    uint32_t requests = 0;
    char current[200] = "";  // the request under way, for every report
    std::string failure;

    int Call(uint32_t op, const char* name, const Arg& p1, const Arg& p2, void* p3, const char* p3Text = nullptr) {
        char p3Shown[16];
        if (!p3Text) {
            snprintf(p3Shown, sizeof p3Shown, "0x%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p3)));
            p3Text = p3Shown;
        }
        snprintf(current, sizeof current, "SPConfig(0x%03X, %s%s%s, %s, %s, %s)", op, name ? "\"" : "",
                 name ? name : "null", name ? "\"" : "", p1.Show().c_str(), p2.Show().c_str(), p3Text);
        return shared->module->Config(op, name, p1.get(), p2.get(), p3);
    }
    bool Fail(const char* format, ...) {
        if (!failure.empty()) return false;
        char what[256];
        va_list args;
        va_start(args, format);
        vsnprintf(what, sizeof what, format, args);
        va_end(args);
        char text[600];
        snprintf(text, sizeof text, "seed %u, thread %d, request %u: %s: %s", shared->seed, index, requests, current,
                 what);
        failure = text;
        shared->stop = true;
        return false;
    }
    bool ExpectResult(int expected, int result) {
        return expected == result || Fail("gave %d where %d was due", result, expected);
    }
    // A refused request leaves every buffer it was given as it was.
    bool Untouched(std::initializer_list<const Arg*> args) {
        for (const Arg* arg : args)
            if (!arg->Unchanged()) return Fail("a refused request wrote into a buffer of the host");
        return true;
    }
};

thread_local Worker* runningWorker;

LONG CALLBACK NameTheFaultingRequest(EXCEPTION_POINTERS* info) {
    if (runningWorker && info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        fprintf(stderr, "seed %u, thread %d, request %u faulted: %s\n", runningWorker->shared->seed,
                runningWorker->index, runningWorker->requests, runningWorker->current);
        fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Which row of the request table a name and an operation reach: the get row wins when both could.
enum class Row { NONE, GET, SET };
enum Kind { GLOBAL_PROPERTY, SENSORS, EVENTS, RESET, THRESHOLD, SENSOR_GROUPS, CONFIG_GROUPS, EVENT_REASON,
            CONFIG_ITEM, CONFIG_TYPE, UNKNOWN };
struct Name {
    const char* text;
    Kind kind;
    bool get, set;
};
const Name NAMES[] = {
    {"SP_GBLPROPERTY", GLOBAL_PROPERTY, true, true}, {"SP_SENSORS", SENSORS, true, false},
    {"SP_EVENTS", EVENTS, true, false},              {"SP_RESET", RESET, false, true},
    {"SP_THRESHOLD", THRESHOLD, false, true},        {"SP_SENSORGROUPS", SENSOR_GROUPS, true, false},
    {"SP_CONFIGGROUPS", CONFIG_GROUPS, true, true},  {"SP_EVENTREASON", EVENT_REASON, true, false},
    {"SP_CONFIGITEM", CONFIG_ITEM, true, true},      {"SP_CONFIGTYPE", CONFIG_TYPE, true, true},
    {"SP_Sensors", UNKNOWN, false, false},           {"SP_SENSOR", UNKNOWN, false, false},
    {"SP_EVENTS ", UNKNOWN, false, false},           {"", UNKNOWN, false, false},
    {nullptr, UNKNOWN, false, false},
};

Row RowFor(const Name& name, uint32_t op) {
    if (name.get && (op & SP_OP_GET)) return Row::GET;
    if (name.set && (op & SP_OP_SET)) return Row::SET;
    return Row::NONE;
}

uint32_t DrawInterval(Random& random) {
    const uint32_t pick = random.Below(20);
    if (pick < 16) return 1000 + random.Below(501);
    if (pick < 18) return 1500 + random.Below(2501);
    const uint32_t hostile[] = {0, 1, 999, 0xFFFFFFFF, random.Next()};
    return random.Pick(hostile);
}

// Near the readings the module could have, at times exactly on one, and now and then anything.
uint32_t DrawLimit(Random& random, const Shared& shared, int sensor) {
    const uint32_t scale = sensor < 2 ? 100 : 40000;
    const uint32_t extremes[] = {0, 1, 0xFFFFFFFE, 0xFFFFFFFF};
    switch (random.Below(8)) {
    case 0: return random.Pick(extremes);
    case 1: return random.Next();
    case 2:
    case 3: return shared.lastValue[sensor] + random.Below(3) - 1;
    default: return random.Below(scale + scale / 8);
    }
}

SPThreshold DrawThreshold(Random& random, const Shared& shared, int sensor) {
    SPThreshold threshold;
    threshold.mask = random.Below(16) | (random.OneIn(4) ? random.Next() & ~0xFu : 0);
    for (uint32_t& limit : threshold.limits) limit = DrawLimit(random, shared, sensor);
    return threshold;
}

size_t EntrySize(uint32_t selector) {
    if (selector & SP_SELECT_SUMMARY) return sizeof(SPSensorSummary);
    if (selector & SP_SELECT_STATUS) return sizeof(SPSensorStatus);
    return sizeof(SPSensorRecord);
}

// One reply entry of "SP_SENSORS", whichever its form.
bool CheckSensorEntry(Worker& w, uint32_t selector, const uint8_t* entry, uint32_t expectedId) {
    uint32_t id, group, value;
    memcpy(&id, entry, 4);
    memcpy(&group, entry + 4, 4);
    memcpy(&value, entry + 12, 4);
    if (id != expectedId || group != GROUP_ID) return w.Fail("entry of sensor 0x%08X, group 0x%08X", id, group);
    if (selector & SP_SELECT_SUMMARY) {
        SPSensorSummary summary;
        memcpy(&summary, entry, sizeof summary);
        return (summary.changeFlags & ~7u) == 0 || w.Fail("change bits 0x%X", summary.changeFlags);
    }
    uint32_t limits[4];
    uint16_t state;
    if (selector & SP_SELECT_STATUS) {
        SPSensorStatus status;
        memcpy(&status, entry, sizeof status);
        memcpy(limits, status.limits, sizeof limits);
        state = status.state;
        value = status.value;
    } else {
        SPSensorRecord record;
        memcpy(&record, entry, sizeof record);
        if (strcmp(record.name, SENSOR_NAMES[SensorIndex(id)]) != 0 || (record.changeFlags & ~7u) ||
            record.reserved10 || record.reserved308 || record.reserved312)
            return w.Fail("record of sensor 0x%08X named \"%.40s\", change bits 0x%X", id, record.name,
                          record.changeFlags);
        memcpy(limits, record.limits, sizeof limits);
        state = record.state;
        value = record.value;
    }
    w.shared->lastValue[SensorIndex(id)] = value;
    if (state != Classified(value, limits))
        return w.Fail("sensor 0x%08X in state 0x%X with value %u, WH %u, FH %u", id, state, value,
                      limits[SP_SLOT_WH], limits[SP_SLOT_FH]);
    return true;
}

bool GlobalProperty(Worker& w, uint32_t op, const char* name, Row row) {
    Random& r = w.random;
    const SPGlobalProperty drawn = {r.Next() | SP_PROP_NOTIFY_NORMAL, DrawInterval(r)};
    // Re-arming resets the timer's count-down, so the host changes the interval only now and then.
    bool real = !r.OneIn(8);
    if (row == Row::SET && real) real = w.shared->MayChangeInterval();
    Arg property = real ? Arg(sizeof(SPGlobalProperty)) : Arg();
    if (row == Row::SET && property) *property.as<SPGlobalProperty>() = drawn;
    property.Remember();
    const int result = w.Call(op, name, property, Arg(), Junk(r));
    if (!w.ExpectResult(row != Row::NONE && property ? 1 : 0, result)) return false;
    if (!result || row == Row::SET) return property.Unchanged() || w.Fail("the module wrote into the host's record");
    const uint32_t flags = property.as<SPGlobalProperty>()->flags;
    return (flags & SP_PROP_NOTIFY_NORMAL) || w.Fail("flags 0x%X, never set by this host", flags);
}

bool Sensors(Worker& w, uint32_t op, const char* name, Row row) {
    Random& r = w.random;
    const uint32_t clean[] = {0, SP_SELECT_SUMMARY, SP_SELECT_STATUS, 3, SP_SELECT_ONE,
                              SP_SELECT_ONE | SP_SELECT_SUMMARY, SP_SELECT_ONE | SP_SELECT_STATUS};
    const uint32_t selector = r.OneIn(2) ? r.Next() : r.Pick(clean);
    const bool one = selector & SP_SELECT_ONE;
    const uint32_t count = r.OneIn(2) ? 3 : r.Below(5);
    const uint32_t askedId = r.OneIn(4) ? r.Pick(WRONG_IDS) : SENSOR_IDS[r.Below(3)];
    Arg countArg = MaybeCount(r, count);
    // Sized for what the request writes: one entry for one sensor, else `count` of them.
    Arg reply = Maybe(r, EntrySize(selector) * (one ? 1 : count), 4);
    if (one && reply) *reply.as<uint32_t>() = askedId;
    countArg.Remember();
    reply.Remember();
    char selectorText[16];
    snprintf(selectorText, sizeof selectorText, "0x%X", selector);
    const int result = w.Call(op, name, countArg, reply, AsParam(selector), selectorText);

    int expected = 0;
    if (row == Row::GET && countArg)
        expected = !reply || (count == 3 && (!one || SensorIndex(askedId) >= 0));
    if (!w.ExpectResult(expected, result)) return false;
    if (!result) return w.Untouched({&countArg, &reply});
    if (!reply) return countArg.U32() == 3 || w.Fail("size query answered %u", countArg.U32());
    if (countArg.U32() != 3) return w.Fail("the count became %u", countArg.U32());
    const size_t entry = EntrySize(selector);
    for (uint32_t i = 0; i < (one ? 1u : 3u); ++i)
        if (!CheckSensorEntry(w, selector, reply.as<uint8_t>() + i * entry, one ? askedId : SENSOR_IDS[i]))
            return false;
    return true;
}

// The leading entries that hold an event; the module writes no more than it hands over.
bool TakeEvents(Worker& w, const Arg& buffer, uint32_t capacity, uint32_t& taken) {
    taken = 0;
    while (taken < capacity && buffer.U32(taken * sizeof(SPEvent) + offsetof(SPEvent, eventCode)) == 0x0A3F) ++taken;
    if (!buffer.Holds(taken * sizeof(SPEvent), capacity * sizeof(SPEvent)))
        return w.Fail("bytes written past the %u events handed over", taken);
    const SPEvent* events = buffer.as<SPEvent>();
    w.shared->drained.insert(w.shared->drained.end(), events, events + taken);
    return true;
}

bool Events(Worker& w, uint32_t op, const char* name, Row row) {
    Random& r = w.random;
    std::lock_guard<std::mutex> hold(w.shared->drainLock);
    if (row == Row::GET && r.OneIn(2)) {
        // As a host drains: ask, then fetch that many; asked again when more came in between.
        for (int attempt = 0; attempt < 5; ++attempt) {
            Arg size = Arg::Count(0xDEAD);
            if (!w.ExpectResult(1, w.Call(op, name, size, Arg(), Junk(r)))) return false;
            const uint32_t queued = size.U32();
            Arg count = Arg::Count(queued);
            Arg events(queued * sizeof(SPEvent));
            events.Remember();
            if (!w.Call(op, name, count, events, Junk(r))) {
                if (!events.Unchanged()) return w.Fail("a refused fetch wrote events");
                continue;
            }
            uint32_t taken;
            if (!TakeEvents(w, events, queued, taken)) return false;
            if (count.U32() != queued) return w.Fail("the count became %u", count.U32());
            // Only ticks and threshold changes ran since the size query: nothing can have gone.
            return taken == queued || w.Fail("%u events handed over after a size query of %u", taken, queued);
        }
        return true;
    }
    const uint32_t capacity = r.Below(5);
    Arg count = MaybeCount(r, capacity);
    Arg events = Maybe(r, capacity * sizeof(SPEvent), 3);
    count.Remember();
    events.Remember();
    const int result = w.Call(op, name, count, events, Junk(r));
    if (row != Row::GET || !count) return w.ExpectResult(0, result) && w.Untouched({&count, &events});
    if (!events) return w.ExpectResult(1, result);
    if (!result) return w.Untouched({&count, &events});
    if (count.U32() != capacity) return w.Fail("the count became %u", count.U32());
    uint32_t taken;
    return TakeEvents(w, events, capacity, taken);
}

bool Reset(Worker& w, uint32_t op, const char* name, Row row) {
    Random& r = w.random;
    return w.ExpectResult(row == Row::SET, w.Call(op, name, Arg(), Arg(), Junk(r)));
}

bool Threshold(Worker& w, uint32_t op, const char* name, Row row) {
    Random& r = w.random;
    const int sensor = static_cast<int>(r.Below(3));
    const uint32_t sensorId = r.OneIn(6) ? r.Pick(WRONG_IDS) : SENSOR_IDS[sensor];
    const SPThreshold drawn = DrawThreshold(r, *w.shared, sensor);
    Arg id = Maybe(r, sizeof sensorId, 16);
    Arg threshold = Maybe(r, sizeof drawn, 16);
    if (id) *id.as<uint32_t>() = sensorId;
    if (threshold) *threshold.as<SPThreshold>() = drawn;
    id.Remember();
    threshold.Remember();
    const int result = w.Call(op, name, id, threshold, Junk(r));
    const int expected = row == Row::SET && id && threshold && SensorIndex(sensorId) >= 0;
    if (!w.ExpectResult(expected, result)) return false;
    return (id.Unchanged() && threshold.Unchanged()) || w.Fail("the module wrote into the host's request");
}

bool SensorGroups(Worker& w, uint32_t op, const char* name, Row row, bool refused) {
    Random& r = w.random;
    const uint32_t capacity = r.Below(5);
    Arg count = MaybeCount(r, capacity);
    Arg groups = Maybe(r, capacity * sizeof(SPSensorGroup), 4);
    count.Remember();
    groups.Remember();
    const int result = w.Call(op, name, count, groups, Junk(r));
    const int expected = !refused && row == Row::GET && count && (!groups || capacity >= 1);
    if (!w.ExpectResult(expected, result)) return false;
    if (!result) return w.Untouched({&count, &groups});
    if (count.U32() != 1) return w.Fail("the count became %u", count.U32());
    if (!groups) return true;
    const SPSensorGroup group = *groups.as<SPSensorGroup>();
    if (group.groupId != GROUP_ID || group.zero4 || group.zero6 || group.groupCode != 2)
        return w.Fail("group 0x%08X, code %u", group.groupId, group.groupCode);
    return groups.Holds(sizeof group, groups.size()) || w.Fail("more than one group written");
}

bool EventReason(Worker& w, uint32_t op, const char* name, Row row) {
    Random& r = w.random;
    Arg reasons = Maybe(r, sizeof(uint32_t), 8);
    reasons.Remember();
    const int result = w.Call(op, name, reasons, Arg(), Junk(r));
    if (!w.ExpectResult(row == Row::GET && reasons, result)) return false;
    if (!result) return w.Untouched({&reasons});
    const uint32_t bits = reasons.U32();
    return bits == 0 || bits == SP_REASON_EVENTS || w.Fail("reasons 0x%X", bits);
}

bool IsAcceptedKey(const SPConfigItemKey& key) {
    switch (key.keyKind) {
    case 1: return key.objectId == GROUP_ID;
    case 2: return (key.objectId >> 16) == 0x0102 && ((key.objectId >> 8) & 0xFF) - 1 < 3;
    case 5: return key.configType == 20;
    default: return false;
    }
}

SPConfigItemKey DrawKey(Random& r) {
    const uint32_t kinds[] = {1, 2, 5, 1, 2, 5, 0, 3, 4, 0xFFFFFFFF};
    const uint32_t objects[] = {GROUP_ID, SENSOR_IDS[0], SENSOR_IDS[1], SENSOR_IDS[2], 0x010203FF,
                                0x01020400, 0x01020000, 0x03030001, 0};
    const uint32_t types[] = {20, 20, 19, 21, 0};
    SPConfigItemKey key = {r.Pick(kinds), r.Next(), r.Pick(objects), r.Pick(types)};
    if (r.OneIn(8)) key.objectId = r.Next();
    return key;
}

bool ConfigItems(Worker& w, uint32_t op, const char* name, Row row) {
    Random& r = w.random;
    const SPConfigItemKey drawn = DrawKey(r);
    const uint32_t capacity = r.Below(5);
    Arg key = Maybe(r, sizeof drawn, 16);
    if (key) *key.as<SPConfigItemKey>() = drawn;
    Arg count = MaybeCount(r, capacity);
    Arg list = Maybe(r, sizeof(SPConfigItemList), 4);
    key.Remember();
    count.Remember();
    list.Remember();
    const int result = w.Call(op, name, key, count, list.get(), list.Show().c_str());
    const int expected = row == Row::GET && key && IsAcceptedKey(drawn) && count && (!list || capacity >= 1);
    if (!w.ExpectResult(expected, result)) return false;
    if (!result) return w.Untouched({&key, &count, &list});
    if (!key.Unchanged()) return w.Fail("the module wrote into the key");
    if (!list) return count.U32() == 1 || w.Fail("size query answered %u", count.U32());
    if (count.U32() != capacity) return w.Fail("the count became %u", count.U32());
    const SPConfigItemList items = *list.as<SPConfigItemList>();
    if (items.listKind != 0 || items.configType != 20 || items.itemCount != 6 || !items.items)
        return w.Fail("list kind %u, type %u, %u items at %p", items.listKind, items.configType, items.itemCount,
                      static_cast<void*>(items.items));
    for (uint32_t i = 0; i < 6; ++i) {
        const SPConfigItem& item = items.items[i];
        if (item.itemId != i + 1 || item.zero4 || item.value.vt != VT_I4 || item.itemFlags != 0x21 ||
            item.itemCode != 'G' || item.zero29[0] || item.zero29[1] || item.zero29[2])
            return w.Fail("item %u: id %u, type %u, flags 0x%X", i, item.itemId, item.value.vt, item.itemFlags);
    }
    return HeapFree(GetProcessHeap(), 0, items.items) || w.Fail("the item array is not a block of the process heap");
}

bool ConfigTypes(Worker& w, uint32_t op, const char* name, Row row) {
    Random& r = w.random;
    const uint32_t sizes[] = {0, 1, 2, 3, 4, 19, 20, 21, 68};
    const uint32_t declared = r.Pick(sizes);
    Arg size = MaybeCount(r, declared);
    // The reply fills the whole record whatever the size says.
    Arg types = Maybe(r, sizeof(SPConfigTypeList), 4);
    size.Remember();
    types.Remember();
    const int result = w.Call(op, name, size, types, Junk(r));
    const int expected = row == Row::GET && size && (!types || declared >= 20);
    if (!w.ExpectResult(expected, result)) return false;
    if (!result) return w.Untouched({&size, &types});
    if (size.U32() != 20) return w.Fail("the size became %u", size.U32());
    if (!types) return true;
    const SPConfigTypeList& list = *types.as<SPConfigTypeList>();
    if (list.listKind != 1 || list.ownerLow || list.ownerHigh || list.typeCount != 1 ||
        list.types != &list.configType || list.configType != 20)
        return w.Fail("type list kind %u, %u types, type %u", list.listKind, list.typeCount, list.configType);
    return types.Holds(offsetof(SPConfigTypeList, reserved16), offsetof(SPConfigTypeList, configType)) ||
           w.Fail("bytes 16 to 63 of the type list were written");
}

bool Unknown(Worker& w, uint32_t op, const char* name) {
    Random& r = w.random;
    Arg count = Arg::Count(3);
    Arg reply(3 * sizeof(SPSensorRecord));
    count.Remember();
    reply.Remember();
    return w.ExpectResult(0, w.Call(op, name, count, reply, Junk(r))) && w.Untouched({&count, &reply});
}

bool RunRequest(Worker& w) {
    const Name name = w.random.Pick(NAMES);
    const uint32_t op = w.random.Below(0x200);
    const Row row = RowFor(name, op);
    switch (name.kind) {
    case GLOBAL_PROPERTY: return GlobalProperty(w, op, name.text, row);
    case SENSORS: return Sensors(w, op, name.text, row);
    case EVENTS: return Events(w, op, name.text, row);
    case RESET: return Reset(w, op, name.text, row);
    case THRESHOLD: return Threshold(w, op, name.text, row);
    case SENSOR_GROUPS: return SensorGroups(w, op, name.text, row, false);
    case CONFIG_GROUPS: return SensorGroups(w, op, name.text, row, true);
    case EVENT_REASON: return EventReason(w, op, name.text, row);
    case CONFIG_ITEM: return ConfigItems(w, op, name.text, row);
    case CONFIG_TYPE: return ConfigTypes(w, op, name.text, row);
    case UNKNOWN: return Unknown(w, op, name.text);
    }
    return false;
}

DWORD WINAPI WorkerMain(void* self) {
    Worker& w = *static_cast<Worker*>(self);
    runningWorker = &w;
    const DWORD start = GetTickCount();
    for (; w.requests < REQUESTS_PER_WORKER && !w.shared->stop; ++w.requests) {
        if (!RunRequest(w) || GetTickCount() - start > RUN_CAP_MS) break;
        if (w.random.OneIn(8)) Sleep(w.random.Below(3));  // let the ticks in now and then
    }
    snprintf(w.current, sizeof w.current, "finished");
    runningWorker = nullptr;
    return 0;
}

template <class F>
DWORD WINAPI RunFunction(void* f) {
    (*static_cast<F*>(f))();
    return 0;
}
template <class F>
HANDLE StartThread(F& f) {
    return CreateThread(nullptr, 0, RunFunction<F>, &f, 0, nullptr);
}

// Waits for all of them (the watchdog bounds the wait) and closes them.
void Join(std::vector<HANDLE>& threads) {
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE thread : threads) CloseHandle(thread);
    threads.clear();
}

// Host-side helpers for the quiet moments before and after the threads run.
std::vector<SPSensorStatus> Statuses(ModuleHost& module) {
    return SensorRecords<SPSensorStatus>(module, SP_SELECT_STATUS);
}

bool SetProperty(ModuleHost& module, uint32_t flags, uint32_t intervalMs) {
    SPGlobalProperty property = {flags, intervalMs};
    return module.Config(SP_OP_SET, "SP_GBLPROPERTY", &property) == 1;
}

class RandomisedHost : public ::testing::Test {
protected:
    void SetUp() override {
        seed = SeedFromEnvironment();
        printf("seed %u (set KELVRIM_STRESS_SEED to repeat it)\n", seed);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
        pdh_stand_in::Reset();
        Arg first(4);  // GuardedBuffer's own reporter is in place from here on; ours goes in front
        handler = AddVectoredExceptionHandler(1, NameTheFaultingRequest);
    }
    void TearDown() override {
        RemoveVectoredExceptionHandler(handler);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
        pdh_stand_in::Reset();
    }
    uint32_t seed = 0;
    PVOID handler = nullptr;
};

}  // namespace

TEST_F(RandomisedHost, EveryReplyKeepsWhatMustAlwaysHold) {
    Random setup(seed);
    std::vector<uint32_t> rates(64);
    for (uint32_t& rate : rates) rate = setup.Below(40000);  // the page-fault reading crosses its limits
    ASSERT_TRUE(pdh_stand_in::SetRates(rates.data(), rates.size()));
    ASSERT_TRUE(WriteSettings({{90, 95}, {90, 95}, {20000, 30000}}));
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());
    const uint32_t flags = SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL;
    ASSERT_TRUE(module.Start(flags));

    // Where each sensor's chain of events begins: set-up's state, taken while nothing ticks.
    Shared shared;
    shared.module = &module;
    shared.seed = seed;
    EventChain chain;
    const std::vector<SPEvent> setUpEvents = DrainEvents(module);
    const std::vector<SPSensorStatus> first = Statuses(module);
    ASSERT_EQ(3u, first.size());
    for (int i = 0; i < 3; ++i) {
        chain.Begin(i, first[i].state);
        shared.lastValue[i] = first[i].value;
    }

    std::vector<Worker> workers(WORKERS);
    Watchdog watchdog(TEST_BOUND_MS, [&] {
        fprintf(stderr, "seed %u; what each host thread was doing:\n", seed);
        for (const Worker& w : workers) fprintf(stderr, "  thread %d, request %u: %s\n", w.index, w.requests, w.current);
    });
    ASSERT_TRUE(SetProperty(module, flags, 1000));
    shared.lastIntervalChange = GetTickCount();
    const DWORD start = GetTickCount();
    std::vector<HANDLE> threads;
    for (int i = 0; i < WORKERS; ++i) {
        workers[i].index = i;
        workers[i].shared = &shared;
        workers[i].random = Random((uint64_t(seed) << 8) + i + 1);
        threads.push_back(CreateThread(nullptr, 0, WorkerMain, &workers[i], 0, nullptr));
    }
    Join(threads);
    const DWORD elapsed = GetTickCount() - start;
    uint32_t requests = 0;
    for (const Worker& w : workers) {
        requests += w.requests;
        if (!w.failure.empty()) ADD_FAILURE() << w.failure;
    }
    if (HasFailure()) return;

    // Quiet again: the last events are drained and every chain ends where its sensor stands.
    ASSERT_TRUE(SetProperty(module, flags, NO_TICKS_MS));
    Sleep(QUIET_MS);
    const std::vector<SPSensorStatus> last = Statuses(module);
    ASSERT_EQ(3u, last.size());
    const std::vector<SPEvent> rest = DrainEvents(module);
    shared.drained.insert(shared.drained.end(), rest.begin(), rest.end());
    for (size_t i = 0; i < shared.drained.size(); ++i) {
        const std::string why = chain.Follow(shared.drained[i]);
        ASSERT_TRUE(why.empty()) << "seed " << seed << ", event " << i << " of " << shared.drained.size() << ": " << why;
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Classified(last[i].value, last[i].limits), last[i].state) << "seed " << seed << ", sensor " << i;
        EXPECT_EQ(last[i].state, chain.State(i)) << "seed " << seed << ", sensor " << i << ": a change never reached the host";
    }
    uint32_t queued = 0xDEAD, reasons = 0xDEAD;
    EXPECT_EQ(1, module.Config(SP_OP_GET, "SP_EVENTS", &queued, nullptr));
    EXPECT_EQ(0u, queued);
    EXPECT_EQ(1, module.Config(SP_OP_GET, "SP_EVENTREASON", &reasons));
    EXPECT_EQ(0u, reasons);
    EXPECT_FALSE(module.EventSet());
    EXPECT_GT(last[0].sampleTime, first[0].sampleTime) << "no tick ran";
    printf("seed %u: %u requests from %d threads in %lu ms; %u set-up events, %u drained, %u state changes\n", seed,
           requests, WORKERS, elapsed, static_cast<unsigned>(setUpEvents.size()), static_cast<unsigned>(shared.drained.size()),
           chain.Changes());
}

// With WH at 0 no reading is ever normal, and with SP_PROP_REPEAT every classification notifies:
// each tick queues one event per sensor, each accepted threshold change one for its sensor. So
// what the host drains for a sensor, less its own accepted changes there, is the number of ticks,
// the same for all three: an event lost, doubled or misplaced shows as a difference.
TEST_F(RandomisedHost, EveryNotificationReachesTheHostExactlyOnce) {
    constexpr DWORD RUN_MS = 12000;
    constexpr DWORD SIGNAL_BOUND_MS = 5000;  // several ticks, each of which notifies
    Random setup(seed ^ 0xC0FFEEu);
    std::vector<uint32_t> rates(16);
    for (uint32_t& rate : rates) rate = 20000 + setup.Below(12000);  // across the page-fault FH below
    ASSERT_TRUE(pdh_stand_in::SetRates(rates.data(), rates.size()));
    ASSERT_TRUE(WriteSettings({{0, 40}, {0, 40}, {0, 25000}}));
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());
    const uint32_t flags = SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL;
    ASSERT_TRUE(module.Start(flags));

    EventChain chain;  // every sensor starts from normal: set-up's events are its first
    const std::vector<SPEvent> setUpEvents = DrainEvents(module);
    ASSERT_EQ(3u, setUpEvents.size());
    for (const SPEvent& event : setUpEvents) ASSERT_EQ("", chain.Follow(event));

    FirstFailure failure("seed " + std::to_string(seed) + ": ");
    std::atomic<bool> stop{false}, stopDraining{false};
    std::atomic<uint32_t> accepted[3] = {};
    uint32_t drained[3] = {};
    UniqueHandle stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Watchdog watchdog(TEST_BOUND_MS, [&] { fprintf(stderr, "seed %u: %s\n", seed, failure.Text().c_str()); });

    struct Changer {
        Random random;
        std::function<void(Random&)> body;
        void operator()() { body(random); }
    };
    auto changeThresholds = [&](Random& r) {
        const uint32_t masks[] = {0, 0x1, 0x2, 0x4, 0x5, 0x6, 0x7};  // WH stays 0
        for (uint32_t n = 0; !stop; ++n) {
            const int sensor = static_cast<int>(r.Below(3));
            const uint32_t sensorId = r.OneIn(8) ? r.Pick(WRONG_IDS) : SENSOR_IDS[sensor];
            SPThreshold threshold = {r.Pick(masks) | (r.OneIn(4) ? r.Next() & ~0xFu : 0), {}};
            for (uint32_t& limit : threshold.limits) limit = sensor < 2 ? r.Below(110) : 20000 + r.Below(12000);
            uint32_t id = sensorId;
            const uint32_t op = r.Below(0x200) | SP_OP_SET;
            const int result = module.Config(op, "SP_THRESHOLD", &id, &threshold);
            if (result != (SensorIndex(sensorId) >= 0)) {
                failure.Add("SP_THRESHOLD(0x%03X) of 0x%08X gave %d", op, sensorId, result);
                return;
            }
            if (result) ++accepted[sensor];
            if (n % 8 == 0) {
                const std::vector<SPSensorStatus> statuses = Statuses(module);
                for (const SPSensorStatus& status : statuses)
                    if (status.state != Classified(status.value, status.limits) || status.limits[SP_SLOT_WH] != 0) {
                        failure.Add("sensor 0x%08X in state 0x%X with value %u, WH %u, FH %u", status.sensorId,
                                    status.state, status.value, status.limits[SP_SLOT_WH], status.limits[SP_SLOT_FH]);
                        return;
                    }
            }
            Sleep(r.Below(3));
        }
    };
    // Re-arming resets the timer's count-down: the gaps are longer than the longest interval.
    auto changeInterval = [&](Random& r) {
        while (WaitForSingleObject(stopEvent.get(), 2000 + r.Below(1000)) == WAIT_TIMEOUT)
            if (!SetProperty(module, flags | (r.Next() & ~3u), 1000 + r.Below(501))) {
                failure.Add("the interval could not be changed");
                return;
            }
    };
    // The host's own loop: wait for the signal, read the reasons, ask how many, fetch them.
    auto drain = [&](Random&) {
        while (!stopDraining) {
            if (WaitForSingleObject(module.Event(), SIGNAL_BOUND_MS) != WAIT_OBJECT_0) {
                failure.Add("no signal for %lu ms while every tick notifies", SIGNAL_BOUND_MS);
                return;
            }
            uint32_t reasons = 0;
            if (!module.Config(SP_OP_GET, "SP_EVENTREASON", &reasons) || reasons != SP_REASON_EVENTS) {
                failure.Add("signalled, but the reasons read 0x%X", reasons);
                return;
            }
            bool fetched = false;
            for (int attempt = 0; attempt < 50 && !fetched; ++attempt) {
                uint32_t queued = 0;
                module.Config(SP_OP_GET, "SP_EVENTS", &queued, nullptr);
                std::vector<SPEvent> events(queued + 1);
                events[queued].eventCode = 0;  // one past what was asked for: must stay unwritten
                uint32_t count = queued;
                fetched = module.Config(SP_OP_GET, "SP_EVENTS", &count, events.data()) == 1;
                if (!fetched) continue;
                if (events[queued].eventCode != 0) {
                    failure.Add("more events handed over than the %u asked for", queued);
                    return;
                }
                for (uint32_t i = 0; i < queued; ++i) {
                    const std::string why = chain.Follow(events[i]);
                    if (!why.empty()) {
                        failure.Add("%s", why.c_str());
                        return;
                    }
                    ++drained[SensorIndex(events[i].sensorId)];
                }
            }
            if (!fetched) {
                failure.Add("the events could not be fetched in 50 attempts");
                return;
            }
        }
    };

    std::vector<Changer> changers = {{Random(seed + 1), changeThresholds}, {Random(seed + 2), changeThresholds},
                                     {Random(seed + 3), changeInterval}};
    Changer drainer = {Random(0), drain};
    ASSERT_TRUE(SetProperty(module, flags, 1000));
    const DWORD start = GetTickCount();
    std::vector<HANDLE> threads, drainerThread = {StartThread(drainer)};
    for (Changer& changer : changers) threads.push_back(StartThread(changer));
    for (DWORD waited = 0; waited < RUN_MS && failure.Text().empty(); waited += 100) Sleep(100);
    stop = true;
    SetEvent(stopEvent.get());
    Join(threads);
    stopDraining = true;  // it wakes with the next tick at the latest
    Join(drainerThread);
    ASSERT_EQ("", failure.Text());

    ASSERT_TRUE(SetProperty(module, flags, NO_TICKS_MS));
    Sleep(QUIET_MS);
    const DWORD elapsed = GetTickCount() - start;
    for (const SPEvent& event : DrainEvents(module)) {
        ASSERT_EQ("", chain.Follow(event)) << "seed " << seed;
        ++drained[SensorIndex(event.sensorId)];
    }
    const std::vector<SPSensorStatus> last = Statuses(module);
    ASSERT_EQ(3u, last.size());
    const uint32_t ticks = drained[0] - accepted[0];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ticks, drained[i] - accepted[i])
            << "seed " << seed << ", sensor " << i << ": " << drained[i] << " events drained for "
            << accepted[i] << " accepted threshold changes";
        EXPECT_EQ(last[i].state, chain.State(i)) << "seed " << seed << ", sensor " << i;
    }
    EXPECT_GE(ticks, 2u) << "seed " << seed;
    EXPECT_LE(ticks, elapsed / 1000 + 2) << "seed " << seed;
    printf("seed %u: %u ticks and %u + %u + %u accepted threshold changes in %lu ms, %u state changes\n", seed,
           ticks, accepted[0].load(), accepted[1].load(), accepted[2].load(), elapsed, chain.Changes());
}
