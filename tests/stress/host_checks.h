// What the host-side stress and race tests share: a repeatable random stream, the classification
// every reply must agree with, a u32 passed where the interface takes a pointer, and the first
// failure of many threads.
#ifndef TESTS_STRESS_HOST_CHECKS_H
#define TESTS_STRESS_HOST_CHECKS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "kelvrim.h"

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint32_t Next() {  // splitmix64
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    template <class T, size_t N>
    T Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

private:
    uint64_t state_;
};

inline uint16_t Classified(uint32_t value, const uint32_t limits[4]) {
    if (value >= limits[SP_SLOT_FH]) return SP_STATE_FH;
    if (value >= limits[SP_SLOT_WH]) return SP_STATE_WH;
    return SP_STATE_NORMAL;
}

inline void* AsParam(uint32_t value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); }

// The first thing that went wrong on any thread, after a prefix. Asking whether anything did takes
// no lock: a contended lock makes the threads library keep an event of its own for it, which a
// handle count taken afterwards would take for a leak.
class FirstFailure {
public:
    explicit FirstFailure(std::string prefix = std::string()) : prefix_(std::move(prefix)) {}
    // Always false, so a check can end with it.
    bool Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char what[300];
        va_list args;
        va_start(args, format);
        vsnprintf(what, sizeof what, format, args);
        va_end(args);
        std::lock_guard<std::mutex> hold(lock_);
        if (text_.empty()) text_ = prefix_ + what;
        any_ = true;
        return false;
    }
    std::string Text() {
        std::lock_guard<std::mutex> hold(lock_);
        return text_;
    }
    bool Any() const { return any_; }

private:
    std::string prefix_;
    std::atomic<bool> any_{false};
    std::mutex lock_;
    std::string text_;
};

#endif
