// Ends the whole test program when a run overstays its bound: a thread stuck inside the module
// cannot be unwound, so the only sound end is the process's, after saying where it stood.
#ifndef TESTS_STRESS_WATCHDOG_H
#define TESTS_STRESS_WATCHDOG_H

#include <windows.h>
#include <stdio.h>

#include <functional>
#include <utility>

class Watchdog {
public:
    // `report` runs on the watchdog's thread, racing with the stuck run: it may only read.
    Watchdog(DWORD boundMs, std::function<void()> report)
        : boundMs_(boundMs), report_(std::move(report)), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
    }
    ~Watchdog() {
        SetEvent(done_);
        WaitForSingleObject(thread_, INFINITE);  // it returns at once once done_ is set
        CloseHandle(thread_);
        CloseHandle(done_);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Watch(void* self) {
        auto* dog = static_cast<Watchdog*>(self);
        if (WaitForSingleObject(dog->done_, dog->boundMs_) != WAIT_TIMEOUT) return 0;
        fprintf(stderr, "FAILED: still running after %lu ms (deadlock?)\n", dog->boundMs_);
        dog->report_();
        fflush(stdout);
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 4);
        return 0;
    }

    DWORD boundMs_;
    std::function<void()> report_;
    HANDLE done_;
    HANDLE thread_ = nullptr;
};

#endif
