// The timer thread's hidden window: its class and the window itself, made the same way by the
// module and by sphost's diagnosis of a start.
#ifndef MODULE_TIMER_WINDOW_H
#define MODULE_TIMER_WINDOW_H

#include <windows.h>

constexpr char TIMER_WINDOW_CLASS[] = "kelvrim";

// Registers the class under `instance` with `procedure`; a class left registered under it by an
// earlier run (its thread ended by force) still serves. False, with the last error set, otherwise.
bool RegisterTimerWindowClass(HINSTANCE instance, WNDPROC procedure);

// A hidden window of the class, or null with the last error set.
HWND CreateHiddenTimerWindow(HINSTANCE instance);

#endif
