// Answers a message box that this process shows, from a thread of its own, as a user would.
#ifndef TESTS_SUPPORT_BOX_IN_PROCESS_H
#define TESTS_SUPPORT_BOX_IN_PROCESS_H

#include <windows.h>

#include <string>

// Answers one message box with this caption from a thread of its own, recording its text.
class BoxAnswerer {
public:
    explicit BoxAnswerer(const char* caption) : caption_(caption) {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~BoxAnswerer() {
        stop_ = true;
        WaitForSingleObject(thread_, 20000);
        CloseHandle(thread_);
    }
    // The text of the box it answered, or empty when none came within the bound.
    std::string Text() {
        WaitForSingleObject(thread_, 20000);
        return text_;
    }
    bool Answered() {
        WaitForSingleObject(thread_, 20000);
        return answered_;
    }

private:
    static DWORD WINAPI Run(void* p) {
        BoxAnswerer* self = static_cast<BoxAnswerer*>(p);
        for (int i = 0; i < 1500 && !self->stop_; ++i) {
            if (HWND box = FindWindowA("#32770", self->caption_)) {
                char text[1024] = {};
                GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
                self->text_ = text;
                self->answered_ = true;
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                return 0;
            }
            Sleep(10);
        }
        return 0;
    }
    const char* caption_;
    HANDLE thread_;
    volatile bool stop_ = false;
    std::string text_;
    bool answered_ = false;
};

#endif
