// Requests of every kind from several host threads while another thread starts and stops the
// module a few hundred times. The host contract keeps them apart; a host that does not must still
// get sound replies, no crash and no hang, and must never see the module touch a handle it has
// closed: on Windows that value may already be another object of the host's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "host_checks.h"
#include "module_host.h"
#include "pdh_stand_in.h"
#include "process_counts.h"
#include "watchdog.h"

using namespace host;

namespace {

constexpr int REQUEST_THREADS = 4;
constexpr int WARM_UP_CYCLES = 50;
constexpr int CYCLES = 300;
constexpr DWORD STOP_BOUND_MS = 2000;
constexpr DWORD TEST_BOUND_MS = 240000;

struct Shared {
    ModuleHost* module = nullptr;
    FirstFailure failure;
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> requests{0};
    std::atomic<HANDLE> lastClosed{nullptr};  // the host event the last stop closed
    std::atomic<uint32_t> bystanderHits{0};   // bystander events that took that value
};

// One request of the kind `kind` (0 to 14, every row of the table and a name it lacks), its reply
// checked against what holds whether the module runs or not.
void OneRequest(Shared& shared, Random& r, uint32_t kind) {
    ModuleHost& m = *shared.module;
    FirstFailure& failure = shared.failure;
    switch (kind) {
    case 0: {
        SPGlobalProperty property = {};
        if (m.Config(SP_OP_GET, "SP_GBLPROPERTY", &property) != 1 || !(property.flags & SP_PROP_NOTIFY_NORMAL))
            failure.Add("SP_GBLPROPERTY get gave flags 0x%X", property.flags);
        break;
    }
    case 1: {
        SPGlobalProperty property = {SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL, 1 + r.Below(30)};
        if (m.Config(SP_OP_SET, "SP_GBLPROPERTY", &property) != 1) failure.Add("SP_GBLPROPERTY set refused");
        break;
    }
    case 2: {
        const uint32_t selectors[] = {0, SP_SELECT_SUMMARY, SP_SELECT_STATUS, SP_SELECT_ONE};
        const uint32_t selector = selectors[r.Below(4)];
        SPSensorRecord records[3];
        memset(records, 0xCC, sizeof records);
        const int which = static_cast<int>(r.Below(3));
        records[0].sensorId = SENSOR_IDS[which];
        uint32_t count = 3;
        if (m.Config(SP_OP_GET, "SP_SENSORS", &count, records, AsParam(selector)) != 1 || count != 3) {
            failure.Add("SP_SENSORS (selector 0x%X) refused or changed the count to %u", selector, count);
            break;
        }
        if (selector == SP_SELECT_ONE) {
            const SPSensorRecord& s = records[0];
            if (s.sensorId != SENSOR_IDS[which] || strcmp(s.name, SENSOR_NAMES[which]) != 0 ||
                s.state != Classified(s.value, s.limits))
                failure.Add("sensor 0x%08X read as \"%.32s\", state 0x%X for value %u, WH %u, FH %u", s.sensorId,
                            s.name, s.state, s.value, s.limits[SP_SLOT_WH], s.limits[SP_SLOT_FH]);
        } else if (selector == 0) {
            for (int i = 0; i < 3; ++i)
                if (records[i].sensorId != SENSOR_IDS[i] || strcmp(records[i].name, SENSOR_NAMES[i]) != 0 ||
                    records[i].state != Classified(records[i].value, records[i].limits))
                    failure.Add("sensor %d read as 0x%08X \"%.32s\", state 0x%X for value %u", i, records[i].sensorId,
                                records[i].name, records[i].state, records[i].value);
        }
        break;
    }
    case 3: {
        uint32_t queued = 0;
        if (m.Config(SP_OP_GET, "SP_EVENTS", &queued, nullptr) != 1) failure.Add("SP_EVENTS size query refused");
        std::vector<SPEvent> events(queued + 1);
        events[queued].eventCode = 0;
        uint32_t count = queued;
        if (m.Config(SP_OP_GET, "SP_EVENTS", &count, events.data()) == 1) {
            // Another thread may have taken some in between: those handed over come first.
            uint32_t taken = 0;
            while (taken < queued && events[taken].eventCode == 0x0A3F && events[taken].groupId == GROUP_ID) ++taken;
            for (uint32_t i = taken; i <= queued; ++i)
                if (events[i].eventCode != 0 || events[i].sensorId != 0)
                    failure.Add("event %u of the %u asked for written malformed, or past them", i, queued);
        }
        break;
    }
    case 4:
        if (m.Config(SP_OP_SET, "SP_RESET") != 1) failure.Add("SP_RESET refused");
        break;
    case 5: {
        // WH never above FH, so a sensor's state is always the classification of its value.
        const int sensor = static_cast<int>(r.Below(3));
        const uint32_t scale = sensor < 2 ? 100 : 40000;
        const uint32_t wh = r.Below(scale);
        SPThreshold threshold = {(r.Below(2) ? 0xCu : 0x3u), {r.Next(), r.Next(), wh + r.Below(scale), wh}};
        uint32_t id = SENSOR_IDS[sensor];
        if (m.Config(SP_OP_SET, "SP_THRESHOLD", &id, &threshold) != 1) failure.Add("SP_THRESHOLD refused");
        break;
    }
    case 6: {
        uint32_t count = 1;
        SPSensorGroup group = {};
        if (m.Config(SP_OP_GET, "SP_SENSORGROUPS", &count, &group) != 1 || group.groupId != GROUP_ID)
            failure.Add("SP_SENSORGROUPS gave group 0x%08X", group.groupId);
        break;
    }
    case 7:
    case 8: {
        uint32_t count = 1;
        SPSensorGroup group = {};
        if (m.Config(kind == 7 ? SP_OP_GET : SP_OP_SET, "SP_CONFIGGROUPS", &count, &group) != 0)
            failure.Add("SP_CONFIGGROUPS carried out");
        break;
    }
    case 9: {
        uint32_t reasons = 0xDEAD;
        if (m.Config(SP_OP_GET, "SP_EVENTREASON", &reasons) != 1 || (reasons != 0 && reasons != SP_REASON_EVENTS))
            failure.Add("SP_EVENTREASON gave 0x%X", reasons);
        break;
    }
    case 10:
    case 11: {
        SPConfigItemKey key = {2, 0, SENSOR_IDS[r.Below(3)], 0};
        uint32_t count = 1;
        SPConfigItemList list = {};
        const int result = m.Config(kind == 10 ? SP_OP_GET : SP_OP_SET, "SP_CONFIGITEM", &key, &count, &list);
        if (result != (kind == 10) || (result && (list.itemCount != 6 || !list.items)))
            failure.Add("SP_CONFIGITEM gave %d with %u items", result, list.itemCount);
        if (list.items) HeapFree(GetProcessHeap(), 0, list.items);
        break;
    }
    case 12:
    case 13: {
        uint32_t size = sizeof(SPConfigTypeList);
        SPConfigTypeList types = {};
        const int result = m.Config(kind == 12 ? SP_OP_GET : SP_OP_SET, "SP_CONFIGTYPE", &size, &types);
        if (result != (kind == 12) || (result && types.configType != 20))
            failure.Add("SP_CONFIGTYPE gave %d, type %u", result, types.configType);
        break;
    }
    default:
        if (m.Config(SP_OP_GET, "SP_NOSUCHREQUEST") != 0) failure.Add("a name without a row was carried out");
        break;
    }
}

// Another thread of the host, making and dropping events of its own all the while: handle values
// are handed out lowest first, so its events soon take the value of a host event a stop has just
// closed. The module must never set or reset them.
DWORD WINAPI BystanderThread(void* p) {
    Shared& shared = *static_cast<Shared*>(p);
    for (uint32_t n = 0; !shared.stop && !shared.failure.Any(); ++n) {
        const bool signalled = n % 2 == 0;
        UniqueHandle event(CreateEventA(nullptr, TRUE, signalled, nullptr));
        if (event.get() == shared.lastClosed) ++shared.bystanderHits;
        Sleep(n % 3 == 0 ? 1 : 0);
        if ((WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) != signalled)
            shared.failure.Add("an event of the host's was %s by the module (its value %s the last closed host event)",
                               signalled ? "reset" : "set", event.get() == shared.lastClosed ? "is" : "is not");
    }
    return 0;
}

DWORD WINAPI RequestThread(void* p) {
    Shared& shared = *static_cast<Shared*>(p);
    Random r(GetCurrentThreadId());
    while (!shared.stop && !shared.failure.Any()) {
        OneRequest(shared, r, r.Below(15));
        ++shared.requests;
        if (r.Below(16) == 0) Sleep(r.Below(2));
    }
    return 0;
}

// What one round did.
struct Round {
    int cycles;
    DWORD elapsedMs;
    DWORD slowestStopMs;
};

// Requests from REQUEST_THREADS threads while this thread starts and stops the module
// round.cycles times; the module is stopped at the end.
void RunRound(Shared& shared, const SPGlobalProperty& settings, Round& round, std::atomic<int>& cycle,
              std::atomic<const char*>& step) {
    ModuleHost& module = *shared.module;
    SPStartupInfo info = {};
    if (module.Initialize(&settings, &info) != 1) shared.failure.Add("the first start failed");
    shared.stop = false;
    std::vector<HANDLE> requesters;
    for (int i = 0; i < REQUEST_THREADS; ++i)
        requesters.push_back(CreateThread(nullptr, 0, RequestThread, &shared, 0, nullptr));
    requesters.push_back(CreateThread(nullptr, 0, BystanderThread, &shared, 0, nullptr));

    Random r(20261210 + round.cycles);
    const DWORD start = GetTickCount();
    for (int n = 0; n < round.cycles && !shared.failure.Any(); ++n) {
        cycle = n;
        Sleep(r.Below(15));  // running: ticks every few ms, requests in between
        step = "stopping";
        const HANDLE closed = info.hostEvent;
        const DWORD before = GetTickCount();
        if (module.Uninitialize() != 1) shared.failure.Add("cycle %d: the stop gave 0", n);
        shared.lastClosed = closed;
        round.slowestStopMs = std::max(round.slowestStopMs, GetTickCount() - before);

        // An object of the host's that may get the closed event's value: the module must leave
        // it alone. Signalled on even cycles (a stray reset shows), not on odd ones (a stray set).
        step = "stopped";
        const bool signalled = n % 2 == 0;
        UniqueHandle decoy(CreateEventA(nullptr, TRUE, signalled, nullptr));
        Sleep(r.Below(5));
        if ((WaitForSingleObject(decoy.get(), 0) == WAIT_OBJECT_0) != signalled)
            shared.failure.Add("cycle %d: a host event %s by the module after its stop (its value %s the closed one)", n,
                               signalled ? "reset" : "set", decoy.get() == closed ? "is" : "is not");
        decoy.reset();

        step = "starting";
        info = {0, 0, nullptr};
        if (module.Initialize(&settings, &info) != 1 || info.startupCode != 5 || !info.hostEvent)
            shared.failure.Add("cycle %d: the start failed", n);
    }
    step = "joining";
    shared.stop = true;
    WaitForMultipleObjects(static_cast<DWORD>(requesters.size()), requesters.data(), TRUE, INFINITE);
    for (HANDLE t : requesters) CloseHandle(t);
    round.elapsedMs = GetTickCount() - start;
    if (module.Uninitialize() != 1) shared.failure.Add("the last stop gave 0");
}

}  // namespace

TEST(StartStopRace, RequestsDuringStartsAndStopsGetSoundRepliesAndNeverAHandleTheModuleClosed) {
    ASSERT_TRUE(pdh_stand_in::Reset());
    ASSERT_TRUE(pdh_stand_in::SetRates({25000}));
    // Whichever way the test ends, later tests find the key and the stand-in as they were.
    struct Cleanup {
        ~Cleanup() {
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
            pdh_stand_in::Reset();
        }
    } cleanup;
    ASSERT_TRUE(WriteSettings({{90, 95}, {90, 95}, {20000, 30000}}));  // page faults read as WH
    Shared shared;
    std::atomic<int> cycle{-1};
    std::atomic<const char*> step{"loading"};
    Watchdog watchdog(TEST_BOUND_MS, [&] {
        fprintf(stderr, "cycle %d: %s; %u requests so far\n", cycle.load(), step.load(), shared.requests.load());
    });
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());
    shared.module = &module;
    const SPGlobalProperty settings = {SP_PROP_REPEAT | SP_PROP_NOTIFY_NORMAL, 10};

    // Before the first start there is no lock to keep requests apart at all, so a start comes
    // first. What lasts until the process ends (the lock, what the platform keeps for its own
    // once windows, timers and waits have been used from several threads) comes with a first,
    // shorter round; the second must leave the counts where the first did.
    SPStartupInfo info = {};
    ASSERT_EQ(1, module.Initialize(&settings, &info));
    ASSERT_EQ(1, module.Uninitialize());
    Round warm = {WARM_UP_CYCLES, 0, 0};
    RunRound(shared, settings, warm, cycle, step);
    ASSERT_EQ("", shared.failure.Text());
    const DWORD threads = ThreadCount();
    const DWORD handles = ModuleKindHandleCount();
    const uint32_t warmRequests = shared.requests;

    const uint32_t warmHits = shared.bystanderHits;
    Round race = {CYCLES, 0, 0};
    RunRound(shared, settings, race, cycle, step);
    ASSERT_EQ("", shared.failure.Text());
    EXPECT_LT(race.slowestStopMs, STOP_BOUND_MS);
    EXPECT_EQ(threads, ThreadCount());
    EXPECT_EQ(handles, ModuleKindHandleCount());
    printf("%d start/stop cycles and %u requests from %d threads in %lu ms; the slowest stop took %lu ms; "
           "%u events of another host thread took the value of a host event just closed\n",
           CYCLES, shared.requests.load() - warmRequests, REQUEST_THREADS, race.elapsedMs, race.slowestStopMs,
           shared.bystanderHits.load() - warmHits);
}

namespace {

constexpr int STARTERS = 3;
constexpr int START_ROUNDS = 150;

struct Starter {
    ModuleHost* module;
    const std::atomic<bool>* go;
    std::atomic<int>* ready;
    SPStartupInfo info;
    int result;
};

// Spins until all starters are ready, so that the starts enter the module together.
DWORD WINAPI StartTogether(void* p) {
    Starter& s = *static_cast<Starter*>(p);
    const SPGlobalProperty settings = {SP_PROP_NOTIFY_NORMAL, NO_TICKS_MS};
    ++*s.ready;
    while (!*s.go) {
    }
    s.result = s.module->Initialize(&settings, &s.info);
    return 0;
}

}  // namespace

TEST(StartStopRace, StartsThatEnterTogetherBuildOneRun) {
    ASSERT_TRUE(pdh_stand_in::Reset());
    struct Cleanup {
        ~Cleanup() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY); }
    } cleanup;
    ASSERT_TRUE(WriteSettings({NEVER, NEVER, NEVER}));
    std::atomic<int> round{-1};
    Watchdog watchdog(TEST_BOUND_MS, [&] { fprintf(stderr, "round %d\n", round.load()); });
    ModuleHost module;
    ASSERT_TRUE(module.Loaded());
    SPStartupInfo warm = {};
    ASSERT_EQ(1, module.Initialize(nullptr, &warm));  // what lasts until the process ends
    ASSERT_EQ(1, module.Uninitialize());
    const DWORD threads = ThreadCount();
    const DWORD handles = ModuleKindHandleCount();

    for (round = 0; round < START_ROUNDS; ++round) {
        std::atomic<bool> go{false};
        std::atomic<int> ready{0};
        Starter starters[STARTERS];
        HANDLE running[STARTERS];
        for (int i = 0; i < STARTERS; ++i) {
            starters[i] = {&module, &go, &ready, {}, -1};
            running[i] = CreateThread(nullptr, 0, StartTogether, &starters[i], 0, nullptr);
        }
        while (ready < STARTERS) Sleep(0);
        go = true;
        WaitForMultipleObjects(STARTERS, running, TRUE, INFINITE);
        // One start builds the run and hands out its event; the others find it under way (0) or
        // running (1) and write nothing.
        int built = 0;
        for (int i = 0; i < STARTERS; ++i) {
            CloseHandle(running[i]);
            if (starters[i].info.startupCode == 5 && starters[i].info.hostEvent) {
                ++built;
                EXPECT_EQ(1, starters[i].result);
            } else {
                EXPECT_EQ(nullptr, starters[i].info.hostEvent) << "round " << round << ", starter " << i;
            }
        }
        ASSERT_EQ(1, built) << "round " << round;
        ASSERT_EQ(1, module.Uninitialize()) << "round " << round;
        ASSERT_EQ(0, module.Uninitialize()) << "round " << round;
    }
    EXPECT_EQ(threads, ThreadCount());
    EXPECT_EQ(handles, ModuleKindHandleCount());
}
