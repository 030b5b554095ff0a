// The hidden window of timerThread, its sampling timer and message loop.
#ifndef MODULE_TIMER_THREAD_H
#define MODULE_TIMER_THREAD_H

#include <windows.h>
#include "../common/handles.h"
#include "state.h"
#include "timer_window.h"

constexpr UINT_PTR SAMPLING_TIMER_ID = 100;

// Starts the timer thread of `run` and waits until its window, its timer and its message queue
// exist and run.timerWindow names the window (or the thread has ended), so that a request or a stop that
// follows at once finds them. The thread ends when run.stopEvent is set, or when its window is
// closed. Empty when the thread cannot be started.
UniqueHandle StartTimerThread(ModuleRun& run);

// The module's own instance, which owns the window class.
HINSTANCE ModuleInstance();

HWND CreateTimerWindow();
LRESULT CALLBACK TimerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Re-arms the sampling timer of the running module with the current interval. A window's timer
// can only be set by the thread that owns the window, so the request is posted to it; with no
// running module or no window there is nothing to re-arm and the next start uses the new interval.
void RearmSamplingTimer(const ModuleLockScope& lock);

#endif
