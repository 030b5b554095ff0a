// The timer thread: its hidden window, the sampling timer and its message loop.
#include "timer_thread.h"

#include "sampling.h"

// The linker's symbol for the image this code is linked into: the DLL, or a test program that
// links the module's code. (GetModuleHandleEx would do the same, but only from Windows XP on.)
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// Asks the timer thread to re-arm its timer; wParam carries the new interval.
constexpr UINT WM_REARM_SAMPLING_TIMER = WM_APP + 1;
// Any message, as Windows 2000 knows them: the headers' QS_ALLINPUT now carries the raw-input
// bit, which makes the wait fail there.
constexpr DWORD ANY_MESSAGE = QS_MOUSE | QS_KEY | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY | QS_SENDMESSAGE;

struct TimerThreadStart {
    ModuleRun* run;
    HANDLE ready;
};

// Dispatches messages until the stop event is set or the quit message comes.
void RunMessageLoop(HANDLE stop) {
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, ANY_MESSAGE) != WAIT_OBJECT_0 + 1) return;
    }
}

DWORD WINAPI TimerThreadMain(void* param) {
    const TimerThreadStart start = *static_cast<TimerThreadStart*>(param);
    const HWND window = CreateTimerWindow();
    // Without a window there is nothing to tick; the thread still waits for its stop.
    if (window) {
        // Its run, for the window procedure to withdraw the window from as it goes.
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(start.run));
        // Read without the lock, so a start never waits here for a request: an interval set
        // meanwhile re-arms the timer once the run is published.
        SetTimer(window, SAMPLING_TIMER_ID, moduleState.IntervalMs(), nullptr);
    }
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here on
    start.run->timerWindow = window;
    SetEvent(start.ready);

    RunMessageLoop(start.run->stopEvent.get());
    if (IsWindow(window)) {
        // Told to stop: its run is withdrawn already, so no request reaches the window any more and
        // its destruction needs no lock. A stop called by a host thread that holds the named lock
        // then never waits for itself.
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
    return 0;
}

}  // namespace

HINSTANCE ModuleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

UniqueHandle StartTimerThread(ModuleRun& run) {
    UniqueHandle ready(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!ready) return UniqueHandle();
    TimerThreadStart start = {&run, ready.get()};
    UniqueHandle thread(CreateThread(nullptr, 0, TimerThreadMain, &start, 0, nullptr));
    // `start` lives on this stack: the thread is done with it once it is ready, or once it ended.
    if (thread) {
        HANDLE waits[] = {ready.get(), thread.get()};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
    return thread;
}

HWND CreateTimerWindow() {
    const HINSTANCE instance = ModuleInstance();
    return RegisterTimerWindowClass(instance, TimerWindowProc) ? CreateHiddenTimerWindow(instance) : nullptr;
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
        // Whatever destroys the window (the stop, or a WM_CLOSE from anywhere in the process),
        // the run stops naming it before it is gone: its value may soon be another window's.
        if (auto* run = reinterpret_cast<ModuleRun*>(GetWindowLongPtrA(window, GWLP_USERDATA))) {
            ModuleLockScope lock;
            run->timerWindow = nullptr;
        }
        PostQuitMessage(0);
        return 0;
    case WM_REARM_SAMPLING_TIMER:
        SetTimer(window, SAMPLING_TIMER_ID, static_cast<UINT>(wParam), nullptr);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

void RearmSamplingTimer(const ModuleLockScope& lock) {
    const GuardedRecords& records = moduleState.Records(lock);
    if (records.run && records.run->timerWindow)
        PostMessageA(records.run->timerWindow, WM_REARM_SAMPLING_TIMER, records.globalProperty.intervalMs, 0);
}
