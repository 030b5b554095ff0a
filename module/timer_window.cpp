// The timer window's class and window.
#include "timer_window.h"

bool RegisterTimerWindowClass(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSA windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = TIMER_WINDOW_CLASS;
    return RegisterClassA(&windowClass) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CreateHiddenTimerWindow(HINSTANCE instance) {
    HWND window = CreateWindowExA(0, TIMER_WINDOW_CLASS, TIMER_WINDOW_CLASS, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (!window) return nullptr;
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return window;
}
