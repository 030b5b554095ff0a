// The hidden window of timerThread, its sampling timer and message loop.
#ifndef MODULE_TIMER_THREAD_H
#define MODULE_TIMER_THREAD_H

#include <windows.h>

constexpr UINT_PTR SAMPLING_TIMER_ID = 100;
constexpr char TIMER_WINDOW_CLASS[] = "kelvrim";

// Thread entry of timerThread; returns the quit message's exit code. `ready` (an event, or null)
// is set once the window, its timer and the thread's message queue exist, so a stop that follows
// at once always finds something to close.
DWORD WINAPI TimerThreadMain(void* ready);

// The module's own instance, which owns the window class.
HINSTANCE ModuleInstance();

HWND CreateTimerWindow();
LRESULT CALLBACK TimerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs SampleTick under the module lock.
void CALLBACK LockedTimerCallback(HWND window, UINT message, UINT_PTR timer, DWORD time);

// Re-arms the sampling timer with the current interval, from any thread. A window's timer can
// only be set by the thread that owns the window, so the request is posted to it; without a
// live window there is nothing to re-arm and the next start uses the new interval.
void RearmSamplingTimer();

#endif
