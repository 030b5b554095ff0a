#include "timer_thread.h"

#include "sampling.h"
#include "sensor_table.h"
#include "state.h"

namespace {

// Asks the timer thread to re-arm its timer; wParam carries the new interval.
constexpr UINT WM_REARM_SAMPLING_TIMER = WM_APP + 1;

}  // namespace

// The linker's symbol for the image this code is linked into: the DLL, or a test program that
// links the module's code. (GetModuleHandleEx would do the same, but only from Windows XP on.)
extern "C" IMAGE_DOS_HEADER __ImageBase;

HINSTANCE ModuleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

DWORD WINAPI TimerThreadMain(void* ready) {
    timerWindow = CreateTimerWindow();
    timerId = SetTimer(timerWindow, SAMPLING_TIMER_ID, globalProperty.intervalMs, nullptr);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here on
    if (ready) SetEvent(static_cast<HANDLE>(ready));

    BOOL fetched;
    while ((fetched = GetMessageA(&message, nullptr, 0, 0)) != 0) {
        if (fetched == -1) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<DWORD>(message.wParam);
}

HWND CreateTimerWindow() {
    const HINSTANCE instance = ModuleInstance();
    WNDCLASSA windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = TimerWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = TIMER_WINDOW_CLASS;
    // A class left registered by an earlier run (its thread ended by force) still serves.
    if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;

    HWND window = CreateWindowExA(0, TIMER_WINDOW_CLASS, TIMER_WINDOW_CLASS, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                                  nullptr, instance, nullptr);
    if (!window) return nullptr;
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return window;
}

LRESULT CALLBACK TimerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        SampleTick();
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_REARM_SAMPLING_TIMER:
        timerId = SetTimer(window, SAMPLING_TIMER_ID, static_cast<UINT>(wParam), LockedTimerCallback);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

void CALLBACK LockedTimerCallback(HWND, UINT, UINT_PTR, DWORD) {
    // Before the first start there is no lock handle: the wait fails and the tick goes on without.
    const bool locked = moduleLock && WaitForSingleObject(moduleLock, INFINITE) != WAIT_FAILED;
    SampleTick();
    if (locked) ReleaseMutex(moduleLock);
}

void RearmSamplingTimer() {
    if (timerWindow && IsWindow(timerWindow))
        PostMessageA(timerWindow, WM_REARM_SAMPLING_TIMER, globalProperty.intervalMs, 0);
}
