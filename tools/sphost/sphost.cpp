// sphost: a console host for sensor providers, for the people who support the product. It drives a
// provider exactly as the sensor-manager service does, through its three exports, and prints what
// a person needs to see at a glance.
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "../../common/handles.h"
#include "kelvrim.h"
#include "diagnosis.h"
#include "options.h"

namespace {

enum ExitCode { EXIT_DONE = 0, EXIT_USAGE = 1, EXIT_NO_PROVIDER = 2, EXIT_NOT_STARTED = 3, EXIT_REFUSED = 4 };

constexpr DWORD FASTEST_READINGS_MS = 250;  // a tiny interval must not flood the screen

HANDLE stopRequested;

BOOL WINAPI OnConsoleControl(DWORD) {
    SetEvent(stopRequested);
    return TRUE;
}

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);  // a support engineer may be watching through a pipe or a log file
}

// The loaded provider and its three exports.
struct Provider {
    LoadedModule module;
    SPInitializeFn initialize = nullptr;
    SPUninitializeFn uninitialize = nullptr;
    SPConfigFn config = nullptr;
};

template <class Fn>
bool Resolve(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return fn != nullptr;
}

std::string DefaultDllPath() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return "kelvrim.dll";
    std::string dir(path, length);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + "kelvrim.dll";
}

const char* StateName(uint16_t state) {
    switch (state) {
    case SP_STATE_NORMAL: return "normal";
    case SP_STATE_WH: return "WH";
    case SP_STATE_FH: return "FH";
    default: return "?";
    }
}

// hh:mm:ss local time of a provider time stamp (seconds since 1970, UTC); "--:--:--" for 0.
std::string Clock(uint32_t unixTime) {
    if (unixTime == 0) return "--:--:--";
    ULONGLONG ticks = static_cast<ULONGLONG>(unixTime) * 10000000ULL + 116444736000000000ULL;
    FILETIME utc = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME local;
    SYSTEMTIME time;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &time)) return "??:??:??";
    char text[16];
    snprintf(text, sizeof text, "%02u:%02u:%02u", time.wHour, time.wMinute, time.wSecond);
    return text;
}

std::string Now() {
    SYSTEMTIME time;
    GetLocalTime(&time);
    char text[16];
    snprintf(text, sizeof text, "%02u:%02u:%02u", time.wHour, time.wMinute, time.wSecond);
    return text;
}

bool ReadSensors(const Provider& provider, SPSensorRecord (&sensors)[SP_SENSOR_COUNT]) {
    uint32_t count = 0;
    if (!provider.config(SP_OP_GET, "SP_SENSORS", &count, nullptr, nullptr) || count != SP_SENSOR_COUNT) return false;
    return provider.config(SP_OP_GET, "SP_SENSORS", &count, sensors, nullptr) != 0;
}

void PrintReadings(const Provider& provider) {
    SPSensorRecord sensors[SP_SENSOR_COUNT];
    if (!ReadSensors(provider, sensors)) {
        Say("%s  (the provider refused to report its sensors)\n", Now().c_str());
        return;
    }
    const std::string now = Now();
    for (const SPSensorRecord& s : sensors)
        Say("%s  %-16.16s %10u  %-6s %10u %10u\n", now.c_str(), s.name, s.value, StateName(s.state),
            s.limits[SP_SLOT_WH], s.limits[SP_SLOT_FH]);
}

void PrintHeading() {
    Say("%-8s  %-16s %10s  %-6s %10s %10s\n", "time", "sensor", "reading", "state", "WH", "FH");
}

// The provider names its sensors only in the full record; events carry just the identifier.
std::string SensorName(const Provider& provider, uint32_t sensorId) {
    SPSensorRecord sensors[SP_SENSOR_COUNT];
    if (ReadSensors(provider, sensors))
        for (const SPSensorRecord& s : sensors)
            if (s.sensorId == sensorId) return s.name;
    char id[16];
    snprintf(id, sizeof id, "0x%08X", sensorId);
    return id;
}

void DrainEvents(const Provider& provider) {
    uint32_t reasons = 0;
    provider.config(SP_OP_GET, "SP_EVENTREASON", &reasons, nullptr, nullptr);
    // More events may arrive between the size query and the copy: then ask again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        uint32_t count = 0;
        if (!provider.config(SP_OP_GET, "SP_EVENTS", &count, nullptr, nullptr) || count == 0) return;
        std::vector<SPEvent> events(count);
        if (!provider.config(SP_OP_GET, "SP_EVENTS", &count, events.data(), nullptr)) continue;
        for (const SPEvent& e : events) {
            const char* repeated = e.prevState == e.state ? " (still)" : "";
            Say("%s  event  %s: %s -> %s%s, reading %u\n", Clock(e.eventTime).c_str(),
                SensorName(provider, e.sensorId).c_str(), StateName(e.prevState), StateName(e.state), repeated,
                e.value);
        }
        return;
    }
}

// The identifier of a sensor given by name or by number.
bool FindSensorId(const Provider& provider, const std::string& sensor, uint32_t& sensorId) {
    SPSensorRecord sensors[SP_SENSOR_COUNT];
    if (!ReadSensors(provider, sensors)) return false;
    char* end = nullptr;
    const unsigned long number = strtoul(sensor.c_str(), &end, 0);
    for (const SPSensorRecord& s : sensors) {
        if (_stricmp(s.name, sensor.c_str()) == 0 || (!*end && s.sensorId == number)) {
            sensorId = s.sensorId;
            return true;
        }
    }
    return false;
}

int ChangeLimits(const Provider& provider, const Options& options) {
    if (options.reset) {
        if (!provider.config(SP_OP_SET, "SP_RESET", nullptr, nullptr, nullptr)) {
            Say("sphost: the provider refused to reset the limits\n");
            return EXIT_REFUSED;
        }
        Say("sphost: every sensor has its default limits again\n");
    }
    if (options.limitsSensor.empty()) return EXIT_DONE;
    uint32_t sensorId = 0;
    if (!FindSensorId(provider, options.limitsSensor, sensorId)) {
        Say("sphost: no sensor \"%s\"; the sensors are listed below\n", options.limitsSensor.c_str());
        PrintHeading();
        PrintReadings(provider);
        return EXIT_REFUSED;
    }
    SPThreshold threshold = {};
    threshold.mask = (1u << SP_SLOT_FH) | (1u << SP_SLOT_WH);
    threshold.limits[SP_SLOT_WH] = options.wh;
    threshold.limits[SP_SLOT_FH] = options.fh;
    if (!provider.config(SP_OP_SET, "SP_THRESHOLD", &sensorId, &threshold, nullptr)) {
        Say("sphost: the provider refused the new limits\n");
        return EXIT_REFUSED;
    }
    Say("sphost: %s now has WH %u and FH %u%s\n", SensorName(provider, sensorId).c_str(), options.wh, options.fh,
        options.wh > options.fh ? " (WH above FH: the sensor goes from normal straight to FH)" : "");
    return EXIT_DONE;
}

// Milliseconds since it was made. GetTickCount64 is missing before Vista and GetTickCount wraps
// after 49.7 days, so the time is summed from differences, which stay right across a wrap.
class Stopwatch {
public:
    ULONGLONG Elapsed() {
        const DWORD now = GetTickCount();
        elapsed_ += now - last_;
        last_ = now;
        return elapsed_;
    }

private:
    DWORD last_ = GetTickCount();
    ULONGLONG elapsed_ = 0;
};

void Watch(const Provider& provider, HANDLE hostEvent, const Options& options) {
    Stopwatch clock;
    const ULONGLONG deadline = options.seconds ? options.seconds * 1000ULL : ~0ULL;
    const DWORD every = options.intervalMs > FASTEST_READINGS_MS ? options.intervalMs : FASTEST_READINGS_MS;
    if (options.seconds)
        Say("sphost: watching for %u s; Ctrl+C stops sooner\n\n", options.seconds);
    else
        Say("sphost: watching until Ctrl+C\n\n");
    PrintHeading();

    ULONGLONG nextReadings = 0;
    for (;;) {
        const ULONGLONG now = clock.Elapsed();
        if (now >= deadline) return;
        if (now >= nextReadings) {
            PrintReadings(provider);
            nextReadings += every;
            if (nextReadings <= now) nextReadings = now + every;  // fell behind: no burst of catch-up lines
        }
        const ULONGLONG until = nextReadings < deadline ? nextReadings : deadline;
        const HANDLE waits[2] = {stopRequested, hostEvent};
        const DWORD woke = WaitForMultipleObjects(hostEvent ? 2 : 1, waits, FALSE,
                                                  until > now ? static_cast<DWORD>(until - now) : 0);
        if (woke == WAIT_OBJECT_0) {
            Say("sphost: Ctrl+C\n");
            return;
        }
        if (woke == WAIT_OBJECT_0 + 1) DrainEvents(provider);
        if (woke == WAIT_FAILED) Sleep(100);  // never spin, whatever the provider handed out
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        fprintf(stderr, "sphost: %s\nsphost --help explains the options.\n", error.c_str());
        return EXIT_USAGE;
    }
    if (options.help) {
        fputs(HELP_TEXT, stdout);
        return EXIT_DONE;
    }
    if (options.diagnose) {
        if (!Diagnose()) return EXIT_NOT_STARTED;
        Say("sphost: every step passed: the module can start here\n");
        return EXIT_DONE;
    }

    Provider provider;
    const std::string dll = options.dll.empty() ? DefaultDllPath() : options.dll;
    // Its own dependencies are looked for beside it first.
    provider.module.reset(LoadLibraryExA(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!provider.module) {
        Say("sphost: cannot load %s (error %lu)\n", dll.c_str(), GetLastError());
        return EXIT_NO_PROVIDER;
    }
    if (!Resolve(provider.module.get(), "SPInitialize", provider.initialize) ||
        !Resolve(provider.module.get(), "SPUninitialize", provider.uninitialize) ||
        !Resolve(provider.module.get(), "SPConfig", provider.config)) {
        Say("sphost: %s is not a sensor provider: it lacks SPInitialize, SPConfig or SPUninitialize\n",
            dll.c_str());
        return EXIT_NO_PROVIDER;
    }

    UniqueHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    stopRequested = stop.get();
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    const SPGlobalProperty settings = {options.flags, options.intervalMs};
    SPStartupInfo info = {};
    if (!provider.initialize(&settings, &info)) {
        Say("sphost: %s did not start\n", dll.c_str());
        if (Diagnose())
            Say("sphost: every step passed here: the start failed at a step these cannot repeat (the memory "
                "status), or for a cause that has passed\n");
        return EXIT_NOT_STARTED;
    }
    Say("sphost: started %s (flags 0x%X, interval %u ms)\n", dll.c_str(), options.flags, options.intervalMs);

    int result = ChangeLimits(provider, options);
    if (result == EXIT_DONE) Watch(provider, info.hostEvent, options);

    // The provider closes the event it handed out; nothing here waits on it any more.
    const int stopped = provider.uninitialize();
    Say("sphost: %s\n", stopped ? "stopped" : "the provider was not running any more");
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    return result;
}
